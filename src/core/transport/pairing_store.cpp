#include "core/transport/pairing_store.hpp"

#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <ctime>

#include "core/transport/secure_transport.hpp"
#include "core/util/base64.hpp"
#include "core/util/json.hpp"
#include "core/util/unique_fd.hpp"
#include "core/util/uuid.hpp"

namespace kelvo {

namespace {

constexpr std::string_view kTag = "pairing";

// Dates are stored as seconds since 2001-01-01 00:00:00 UTC, the reference date of the format.
constexpr std::chrono::seconds kReferenceDate{978'307'200};

double secondsSinceReference(SystemTime date) {
    using namespace std::chrono;
    return duration<double>(date.time_since_epoch() - kReferenceDate).count();
}

std::optional<SystemTime> dateFromReference(double seconds) {
    using namespace std::chrono;
    // Beyond ±10,000 years the time point would overflow.
    if (!std::isfinite(seconds) || std::fabs(seconds) > 3.2e11) return std::nullopt;
    return SystemTime(duration_cast<SystemTime::duration>(kReferenceDate + duration<double>(seconds)));
}

std::string newHostID() {
    std::string id = Uuid::random().text();
    for (auto& c : id) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return id;
}

std::string parentOf(const std::string& path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// mkdir -p; folders we create are the user's alone.
bool makeFolders(const std::string& folder, std::string& error) {
    std::string partial;
    size_t pos = 0;
    while (pos <= folder.size()) {
        size_t next = folder.find('/', pos);
        if (next == std::string::npos) next = folder.size();
        partial = folder.substr(0, next);
        pos = next + 1;
        if (partial.empty()) continue;
        if (mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) {
            error = "mkdir " + partial + ": " + std::strerror(errno);
            return false;
        }
    }
    struct stat st{};
    if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        error = "not a folder: " + folder;
        return false;
    }
    return true;
}

enum class ReadOutcome { ok, missing, failed };

// Reads at most kMaxJsonBytes; a larger file counts as unreadable.
ReadOutcome readBounded(const std::string& path, std::string& out, std::string& error) {
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        if (errno == ENOENT) return ReadOutcome::missing;
        error = std::strerror(errno);
        return ReadOutcome::failed;
    }
    char chunk[65536];
    for (;;) {
        ssize_t n = read(fd.get(), chunk, sizeof chunk);
        if (n == 0) return ReadOutcome::ok;
        if (n < 0) {
            if (errno == EINTR) continue;
            error = std::strerror(errno);
            return ReadOutcome::failed;
        }
        if (out.size() + static_cast<size_t>(n) > kMaxJsonBytes) {
            error = "file too large";
            return ReadOutcome::failed;
        }
        out.append(chunk, static_cast<size_t>(n));
    }
}

}  // namespace

template <>
struct JsonCoding<PairingRecord> {
    static std::optional<PairingRecord> read(const Json& j) {
        JsonReader r(j);
        PairingRecord rec;
        rec.udid = r.required<std::string>("udid");
        rec.name = r.required<std::string>("name");
        rec.service = r.required<std::string>("service");
        auto key = base64Decode(r.required<std::string>("key"));
        auto paired = dateFromReference(r.required<double>("paired"));
        if (!r.ok() || !key || !paired) return std::nullopt;
        rec.key = std::move(*key);
        rec.paired = *paired;
        return rec;
    }
    static Json write(const PairingRecord& rec) {
        JsonWriter w;
        w.set("udid", rec.udid);
        w.set("name", rec.name);
        w.set("service", rec.service);
        w.set("key", base64Encode(rec.key));
        w.set("paired", secondsSinceReference(rec.paired));
        return w.take();
    }
};

std::string PairingRecord::fingerprint() const { return SecureTransport::fingerprint(key); }

std::optional<PairingFile> PairingFile::decode(std::string_view bytes) {
    auto json = parseJsonObject(bytes);
    if (!json) return std::nullopt;
    JsonReader r(*json);
    PairingFile file;
    file.hostID = r.required<std::string>("hostID");
    file.devices = r.required<std::vector<PairingRecord>>("devices");
    return r.finish(std::move(file));
}

std::optional<std::string> PairingFile::encode() const {
    JsonWriter w;
    w.set("hostID", hostID);
    w.set("devices", devices);
    return encodeJson(w.take());
}

PairingStore::PairingStore(std::optional<std::string> path) : path_(std::move(path)) {
    file_.hostID = newHostID();
    load();
}

PairingStore& PairingStore::shared() {
    static PairingStore store(defaultPath());
    return store;
}

std::string PairingStore::defaultPath() {
    const char* data = getenv("XDG_DATA_HOME");
    std::string base;
    if (data && data[0] == '/') {
        base = data;
    } else {
        const char* home = getenv("HOME");
        if (!home || !*home) {
            const passwd* pw = getpwuid(getuid());
            home = pw ? pw->pw_dir : "/tmp";
        }
        base = std::string(home) + "/.local/share";
    }
    return base + "/Kelvo/pairing.json";
}

std::optional<PairingRecord> PairingStore::record(std::string_view udid) const {
    for (const auto& r : file_.devices)
        if (r.udid == udid) return r;
    return std::nullopt;
}

std::optional<PairingRecord> PairingStore::recordForService(std::string_view service) const {
    for (const auto& r : file_.devices)
        if (r.service == service) return r;
    return std::nullopt;
}

void PairingStore::save(PairingRecord record) {
    std::erase_if(file_.devices,
                  [&](const PairingRecord& r) { return r.udid == record.udid || r.service == record.service; });
    file_.devices.push_back(std::move(record));
    persist();
}

void PairingStore::remove(std::string_view udid) {
    std::erase_if(file_.devices, [&](const PairingRecord& r) { return r.udid == udid; });
    persist();
}

void PairingStore::load() {
    if (!path_) return;
    std::string bytes, error;
    switch (readBounded(*path_, bytes, error)) {
        case ReadOutcome::missing: return;  // first run
        case ReadOutcome::failed: break;
        case ReadOutcome::ok:
            if (auto file = PairingFile::decode(bytes)) {
                file_ = std::move(*file);
                return;
            }
            error = "not a valid pairing file";
            break;
    }
    // Replacing the file would change the host identity and forget every tablet for good, so
    // keep it for whoever can repair it.
    Log::e(kTag, "load " + *path_ + ": " + error + "; starting with a new host identity");
    blocked_ = true;
    moveAside();
}

bool PairingStore::moveAside() {
    for (int n = 1; n < 100; ++n) {
        std::string aside = *path_ + ".bad-" + std::to_string(n);
        if (renameat2(AT_FDCWD, path_->c_str(), AT_FDCWD, aside.c_str(), RENAME_NOREPLACE) == 0) {
            Log::e(kTag, "moved the unreadable pairing file to " + aside);
            blocked_ = false;
            return true;
        }
        if (errno == ENOENT) {  // someone else removed it
            blocked_ = false;
            return true;
        }
        if (errno != EEXIST) {
            Log::e(kTag, "cannot move aside " + *path_ + ": " + std::strerror(errno));
            return false;
        }
    }
    Log::e(kTag, "cannot move aside " + *path_ + ": too many earlier copies");
    return false;
}

void PairingStore::persist() {
    if (path_) {
        std::string error;
        auto bytes = file_.encode();
        if (!bytes) {
            error = "cannot encode the records";
        } else if (blocked_ && !moveAside()) {
            error = "the unreadable file is still in the way; changes are kept in memory only";
        } else if (makeFolders(parentOf(*path_), error)) {
            writeFile(*bytes, error);
        }
        if (!error.empty()) Log::e(kTag, "save " + *path_ + ": " + error);
    }
    if (onChange) onChange();
}

// The file holds secrets: it is written to a temporary file that is 0600 from its creation,
// synced, renamed over the old one, and the folder is synced so the rename survives a crash.
bool PairingStore::writeFile(const std::string& bytes, std::string& error) {
    std::string tmp = *path_ + ".XXXXXX";
    UniqueFd fd(mkostemp(tmp.data(), O_CLOEXEC));
    if (!fd) {
        error = std::string("create temporary file: ") + std::strerror(errno);
        return false;
    }
    auto fail = [&](const char* what) {
        error = std::string(what) + ": " + std::strerror(errno);
        unlink(tmp.c_str());
        return false;
    };
    if (fchmod(fd.get(), 0600) != 0) return fail("chmod");
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd.get(), bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return fail("write");
        done += static_cast<size_t>(n);
    }
    if (fsync(fd.get()) != 0) return fail("fsync");
    if (close(fd.release()) != 0) return fail("close");
    if (rename(tmp.c_str(), path_->c_str()) != 0) return fail("rename");
    UniqueFd folder(open(parentOf(*path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder) fsync(folder.get());
    return true;
}

}  // namespace kelvo
