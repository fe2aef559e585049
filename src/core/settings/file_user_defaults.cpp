#include "core/settings/file_user_defaults.hpp"

#include <errno.h>
#include <stdlib.h>
#include <unistd.h>

#include "core/util/atomic_file.hpp"
#include "core/util/log.hpp"
#include "core/util/xdg_folders.hpp"

namespace kelvo {
namespace {

constexpr std::string_view kTag = "defaults";

bool validKey(std::string_view key) {
    if (key.empty() || key.front() == '.' || key.size() > 200) return false;
    for (char c : key) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                  c == '_' || c == '-';
        if (!ok) return false;
    }
    return true;
}

std::string env(const char* name) {
    const char* v = getenv(name);
    return v ? std::string(v) : std::string();
}

}  // namespace

FileUserDefaults::FileUserDefaults(std::string folder) : folder_(std::move(folder)) {}

std::string FileUserDefaults::standardFolder() {
    if (auto dir = env("KELVO_CONFIG_DIR"); !dir.empty()) return dir;
    return xdgBaseFolder("XDG_CONFIG_HOME", ".config") + "/kelvo";
}

std::string FileUserDefaults::pathFor(std::string_view key) const {
    if (!validKey(key)) return {};
    return folder_ + "/" + std::string(key) + ".json";
}

std::optional<std::string> FileUserDefaults::data(std::string_view key) const {
    std::string path = pathFor(key);
    if (path.empty()) return std::nullopt;
    std::lock_guard g(lock_);
    FileContents got = readWholeFile(path, kMaxValueBytes);
    switch (got.status) {
        case FileContents::Status::ok: return std::move(got.bytes);
        case FileContents::Status::missing: return std::nullopt;
        case FileContents::Status::failed: break;
    }
    Log::w(kTag, [&] { return "cannot read " + path + ": " + got.error.message(); });
    return std::string();
}

bool FileUserDefaults::setData(std::string_view key, std::string_view bytes) {
    std::string path = pathFor(key);
    if (path.empty()) {
        Log::e(kTag, [&] { return "refused to store under the key \"" + std::string(key) + "\""; });
        return false;
    }
    std::lock_guard g(lock_);
    if (auto ec = writeFileAtomically(path, bytes)) {
        Log::e(kTag, [&] { return "cannot write " + path + ": " + ec.message(); });
        return false;
    }
    return true;
}

bool FileUserDefaults::keepAside(std::string_view key) {
    std::string path = pathFor(key);
    if (path.empty()) return false;
    std::string aside = path + ".bad";
    std::lock_guard g(lock_);
    if (::access(path.c_str(), F_OK) != 0 && errno == ENOENT) return true;
    if (::unlink(aside.c_str()) != 0 && errno != ENOENT) {
        Log::e(kTag, [&] { return "cannot replace " + aside + ": " + std::error_code(errno, std::generic_category()).message(); });
        return false;
    }
    // A hard link keeps the original in place until the new file is renamed over it; where links
    // are not supported, moving the file away still keeps its bytes.
    if (::link(path.c_str(), aside.c_str()) != 0 && ::rename(path.c_str(), aside.c_str()) != 0) {
        Log::e(kTag, [&] { return "cannot keep " + path + " aside: " + std::error_code(errno, std::generic_category()).message(); });
        return false;
    }
    syncFolder(folder_);
    Log::w(kTag, [&] { return "kept the unusable " + path + " as " + aside; });
    return true;
}

}  // namespace kelvo
