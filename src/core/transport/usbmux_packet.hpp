#pragma once

#include <cerrno>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "core/transport/plist.hpp"

namespace kelvo {

// One cable-attached tablet as the USB multiplexing daemon reports it.
struct UsbmuxDevice {
    int64_t deviceID = 0;        // the daemon's number, used for Connect and Detached
    std::string udid;            // serial number: how the rest of the system knows the tablet
    int64_t productID = 0;
    std::string connectionType;  // "USB" for a cable

    // "#5 abc USB product=0x12ab".
    std::string description() const;
    bool isUSB() const { return connectionType == "USB"; }
    bool operator==(const UsbmuxDevice&) const = default;
};

// A failed daemon conversation.
class UsbmuxError {
public:
    enum class Kind { unavailable, io, result, badReply };

    static UsbmuxError unavailable(int err) { return UsbmuxError(Kind::unavailable, err, {}, 0); }
    static UsbmuxError io(std::string text) { return UsbmuxError(Kind::io, 0, std::move(text), 0); }
    static UsbmuxError result(int64_t number) { return UsbmuxError(Kind::result, 0, {}, number); }
    static UsbmuxError badReply() { return UsbmuxError(Kind::badReply, 0, {}, 0); }

    Kind kind() const { return kind_; }
    int errnoValue() const { return errno_; }
    int64_t number() const { return number_; }
    // "usbmuxd unavailable: ...", "usbmuxd I/O error: ...", "usbmuxd result 3 (connection refused)",
    // "malformed usbmuxd reply".
    std::string description() const;
    // The daemon reached the device but nothing listens on the port.
    bool isRefused() const { return kind_ == Kind::result && number_ == 3; }
    bool operator==(const UsbmuxError&) const = default;

private:
    UsbmuxError(Kind kind, int err, std::string text, int64_t number)
        : kind_(kind), errno_(err), text_(std::move(text)), number_(number) {}
    Kind kind_;
    int errno_;
    std::string text_;
    int64_t number_;
};

// The daemon's packet: a 16-byte little-endian header (length including the header, version,
// message, tag) and an XML property-list body.
namespace UsbmuxPacket {

inline constexpr uint32_t headerSize = 16;
inline constexpr uint32_t plistMessage = 8;
inline constexpr uint32_t version = 1;
// Largest packet accepted from the daemon, header included.
inline constexpr uint32_t maxPacket = 0xFFFFF;

inline constexpr uint32_t tagListen = 1;
inline constexpr uint32_t tagConnect = 2;
inline constexpr uint32_t tagListDevices = 3;

struct Header {
    uint32_t length = 0;
    uint32_t version = 0;
    uint32_t message = 0;
    uint32_t tag = 0;
    bool operator==(const Header&) const = default;
};

// Extra request entries: integers or strings.
using Value = std::variant<int64_t, std::string>;
using Entries = std::map<std::string, Value>;

// The request dictionary: MessageType, ClientVersionString "kelvo-1", ProgName "KelvoHost",
// kLibUSBMuxVersion 3, then `extra` (an extra key replaces a fixed one). Keys are written sorted.
Plist request(const std::string& messageType, const Entries& extra = {});
// Header (version 1, message 8, `tag`) and the XML body; nullopt if serialisation fails.
std::optional<std::vector<uint8_t>> encode(const Plist& dict, uint32_t tag);
// nullopt when fewer than 16 bytes are given.
std::optional<Header> decodeHeader(std::span<const uint8_t> bytes);
// nullopt unless the bytes hold a property list whose root is a dictionary.
std::optional<Plist> decodePlist(std::span<const uint8_t> bytes);
// The port in network byte order, carried as an integer (47100 → 64695).
int64_t networkPort(uint16_t port);
// An Attached-shaped dictionary: needs a numeric DeviceID and a Properties dictionary.
std::optional<UsbmuxDevice> parseDevice(plist_t dict);
// The DeviceList of a ListDevices reply, in order, skipping entries that are no device; nullopt
// unless it is an array of dictionaries.
std::optional<std::vector<UsbmuxDevice>> parseDeviceList(const Plist& reply);
// The Number of a Result reply; nullopt for any other body.
std::optional<int64_t> resultNumber(const Plist& dict);

// One event of a Listen conversation that the client acts on.
struct Event {
    bool attached = false;  // else detached
    int64_t deviceID = 0;
    UsbmuxDevice device;  // attached only
};
// An Attached body with a device (see parseDevice) or a Detached body with a numeric DeviceID;
// nullopt for any other body, which the client ignores.
std::optional<Event> parseEvent(const Plist& body);

}  // namespace UsbmuxPacket

}  // namespace kelvo
