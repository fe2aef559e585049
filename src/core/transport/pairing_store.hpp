#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/util/log.hpp"

namespace kelvo {

// What the host remembers of one paired tablet.
struct PairingRecord {
    std::string udid;     // the tablet's device key on the link where it was paired
    std::string name;     // its display name
    std::string service;  // the service name it advertises its secured streams under
    std::vector<uint8_t> key;  // the pre-shared key (32 bytes; not checked here)
    SystemTime paired;    // when the pairing was made

    // SecureTransport::fingerprint of `key`.
    std::string fingerprint() const;
    friend bool operator==(const PairingRecord&, const PairingRecord&) = default;
};

// The whole pairing file: the host identity and the records in insertion order.
struct PairingFile {
    std::string hostID;
    std::vector<PairingRecord> devices;

    // Reads the file's JSON; nullopt when it is not one (a missing key, a wrong type, a key
    // that is not Base64, oversized input). Never throws.
    static std::optional<PairingFile> decode(std::string_view bytes);
    // The file's JSON; nullopt when a date cannot be written (not finite).
    std::optional<std::string> encode() const;
};

// The host identity and the paired tablets, kept in one file that only the user can read.
// Main thread only; no lock.
class PairingStore {
public:
    // Loads `path` (nullopt: a store that never touches the disk). A missing file gives a new
    // identity and no records. A file that exists but cannot be read or decoded is logged as an
    // error and moved aside (to "<path>.bad-<n>") so that no save overwrites it; until that
    // succeeds, changes stay in memory only.
    explicit PairingStore(std::optional<std::string> path);

    // The process's store at defaultPath(), made on first use.
    static PairingStore& shared();
    // "${XDG_DATA_HOME:-~/.local/share}/Kelvo/pairing.json".
    static std::string defaultPath();

    const std::optional<std::string>& path() const { return path_; }
    const std::string& hostID() const { return file_.hostID; }
    const std::vector<PairingRecord>& records() const { return file_.devices; }
    // The first record with this udid / service name.
    std::optional<PairingRecord> record(std::string_view udid) const;
    std::optional<PairingRecord> recordForService(std::string_view service) const;

    // Replaces every record with the same udid or the same service by `record`, appended last;
    // then writes the file and calls onChange.
    void save(PairingRecord record);
    // Removes every record with this udid (also when there is none); then writes and calls onChange.
    void remove(std::string_view udid);

    // Called on the calling thread after every save and remove, whether the write succeeded or not.
    std::function<void()> onChange;

private:
    void load();
    bool moveAside();
    void persist();

    std::optional<std::string> path_;
    PairingFile file_;
    bool blocked_ = false;  // an unreadable file is still in the way
};

}  // namespace kelvo
