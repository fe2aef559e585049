#include "core/transport/pairing_store.hpp"

#include <errno.h>
#include <fcntl.h>
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
#include "core/util/atomic_file.hpp"
#include "core/util/json.hpp"
#include "core/util/reference_date.hpp"
#include "core/util/unique_fd.hpp"
#include "core/util/uuid.hpp"
#include "core/util/xdg_folders.hpp"

namespace kelvo {

namespace {

constexpr std::string_view kTag = "pairing";

std::string newHostID() {
    std::string id = Uuid::random().text();
    for (auto& c : id) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return id;
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
        auto paired = dateFromReferenceSeconds(r.required<double>("paired"));
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
        w.set("paired", secondsSinceReferenceDate(rec.paired));
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
    return xdgBaseFolder("XDG_DATA_HOME", ".local/share") + "/Kelvo/pairing.json";
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
    std::string error;
    auto contents = readWholeFile(*path_, kMaxJsonBytes);
    switch (contents.status) {
        case FileContents::Status::missing: return;  // first run
        case FileContents::Status::failed:
            error = contents.error == std::errc::file_too_large ? "file too large" : contents.error.message();
            break;
        case FileContents::Status::ok:
            if (auto file = PairingFile::decode(contents.bytes)) {
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
        } else if (auto failed = writeFileAtomically(*path_, *bytes)) {
            // Temp file 0600 from its creation, fsync, rename, fsync of the folder: the secrets
            // are never readable by others and a crash leaves the old or the new file.
            error = failed.message();
        }
        if (!error.empty()) Log::e(kTag, "save " + *path_ + ": " + error);
    }
    if (onChange) onChange();
}

}  // namespace kelvo
