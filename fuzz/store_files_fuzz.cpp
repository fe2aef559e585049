// The settings and pairing stores loading whatever lies in their files (in a temporary folder),
// then saving a change: what loads is what the file decodes to, a file that cannot be used in
// full is kept byte for byte, and what is saved loads back. The first byte picks the store.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/settings/file_user_defaults.hpp"
#include "core/settings/settings_store.hpp"
#include "core/transport/pairing_store.hpp"
#include "quiet_log.hpp"

namespace {

namespace fs = std::filesystem;

// One folder per process, emptied before each input and removed at exit.
struct Folder {
    fs::path path;
    Folder() {
        // Memory-backed when the machine has it: every save syncs its file and folder.
        std::error_code ec;
        const fs::path base = fs::is_directory("/dev/shm", ec) ? fs::path("/dev/shm") : fs::temp_directory_path();
        std::string pattern = (base / "kelvo-store-fuzz-XXXXXX").string();
        if (!mkdtemp(pattern.data())) abort();
        path = pattern;
    }
    ~Folder() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    void clear() const {
        for (const auto& entry : fs::directory_iterator(path)) fs::remove_all(entry.path());
    }
};

void writeFile(const fs::path& path, std::string_view bytes) {
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::optional<std::string> readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void settingsStore(const Folder& folder, std::string_view bytes) {
    using namespace kelvo;
    auto defaults = std::make_shared<FileUserDefaults>(folder.path.string());
    const fs::path file = defaults->pathFor(SettingsStore::defaultsKey);
    writeFile(file, bytes);
    const auto merged = SettingsStore::decodeMergedReporting(bytes);
    SettingsStore store(defaults);
    const Settings loaded = store.settings();
    if (merged ? !(loaded == merged->settings) : !(loaded == Settings())) abort();

    store.update([](Settings& s) { s.statsOverlay = !s.statsOverlay; });
    const bool usedInFull = merged && merged->rejected.empty();
    const auto aside = readFile(file.string() + ".bad");
    if (usedInFull ? aside.has_value() : aside != std::string(bytes)) abort();
    if (!(SettingsStore(defaults).settings() == store.settings())) abort();
}

void pairingStore(const Folder& folder, std::string_view bytes) {
    using namespace kelvo;
    const fs::path file = folder.path / "pairing.json";
    writeFile(file, bytes);
    const auto decoded = PairingFile::decode(bytes);
    PairingStore store(file.string());
    if (decoded) {
        if (store.hostID() != decoded->hostID || store.records() != decoded->devices) abort();
        if (fs::exists(file.string() + ".bad-1")) abort();
    } else {
        if (!store.records().empty() || readFile(file.string() + ".bad-1") != std::string(bytes)) abort();
    }
    PairingRecord added{"fuzz-udid", "Fuzz", "fuzz-service", std::vector<uint8_t>(32, 7), SystemTime()};
    store.save(added);
    PairingStore again(file.string());
    if (again.hostID() != store.hostID() || again.records().size() != store.records().size()) abort();
    if (again.record("fuzz-udid") != added) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kelvo;
    quietLog();
    static const Folder folder;
    if (size == 0) return 0;
    folder.clear();
    const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (data[0] & 1) {
        pairingStore(folder, bytes);
    } else {
        settingsStore(folder, bytes);
    }
    return 0;
}
