#include "core/transport/usbmux_packet.hpp"

#include <cstring>
#include <sstream>

namespace kelvo {

std::string UsbmuxDevice::description() const {
    std::ostringstream s;
    s << '#' << deviceID << ' ' << udid << ' ' << connectionType << " product=0x" << std::hex << productID;
    return s.str();
}

namespace {

const char* resultName(int64_t n) {
    switch (n) {
        case 1: return "bad command";
        case 2: return "bad device";
        case 3: return "connection refused";
        case 6: return "bad version";
        default: return "unknown";
    }
}

void putLE32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

uint32_t getLE32(std::span<const uint8_t> b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}

}  // namespace

std::string UsbmuxError::description() const {
    switch (kind_) {
        case Kind::unavailable: return "usbmuxd unavailable: " + std::string(std::strerror(errno_));
        case Kind::io: return "usbmuxd I/O error: " + text_;
        case Kind::result:
            return "usbmuxd result " + std::to_string(number_) + " (" + resultName(number_) + ")";
        case Kind::badReply: return "malformed usbmuxd reply";
    }
    return "usbmuxd error";
}

namespace UsbmuxPacket {

Plist request(const std::string& messageType, const Entries& extra) {
    Entries all{
        {"MessageType", messageType},
        {"ClientVersionString", std::string("kelvo-1")},
        {"ProgName", std::string("KelvoHost")},
        {"kLibUSBMuxVersion", int64_t{3}},
    };
    for (const auto& [key, value] : extra) all[key] = value;
    Plist dict = Plist::dict();
    for (const auto& [key, value] : all) {
        if (auto* i = std::get_if<int64_t>(&value)) {
            dict.set(key.c_str(), *i);
        } else {
            dict.set(key.c_str(), std::get<std::string>(value));
        }
    }
    return dict;
}

std::optional<std::vector<uint8_t>> encode(const Plist& dict, uint32_t tag) {
    std::string body = dict.toXml();
    if (body.empty() || body.size() > maxPacket - headerSize) return std::nullopt;
    std::vector<uint8_t> out;
    out.reserve(body.size() + headerSize);
    putLE32(out, static_cast<uint32_t>(body.size() + headerSize));
    putLE32(out, version);
    putLE32(out, plistMessage);
    putLE32(out, tag);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

std::optional<Header> decodeHeader(std::span<const uint8_t> bytes) {
    if (bytes.size() < headerSize) return std::nullopt;
    return Header{getLE32(bytes, 0), getLE32(bytes, 4), getLE32(bytes, 8), getLE32(bytes, 12)};
}

std::optional<Plist> decodePlist(std::span<const uint8_t> bytes) { return Plist::parseDict(bytes); }

int64_t networkPort(uint16_t port) { return static_cast<uint16_t>((port >> 8) | (port << 8)); }

std::optional<UsbmuxDevice> parseDevice(plist_t dict) {
    if (!dict || plist_get_node_type(dict) != PLIST_DICT) return std::nullopt;
    auto id = Plist::integerOf(plist_dict_get_item(dict, "DeviceID"));
    plist_t props = plist_dict_get_item(dict, "Properties");
    if (!id || !props || plist_get_node_type(props) != PLIST_DICT) return std::nullopt;
    UsbmuxDevice d;
    d.deviceID = *id;
    d.udid = Plist::stringOf(plist_dict_get_item(props, "SerialNumber")).value_or("");
    d.productID = Plist::integerOf(plist_dict_get_item(props, "ProductID")).value_or(0);
    d.connectionType = Plist::stringOf(plist_dict_get_item(props, "ConnectionType")).value_or("USB");
    return d;
}

std::optional<std::vector<UsbmuxDevice>> parseDeviceList(const Plist& reply) {
    plist_t list = reply.item("DeviceList");
    if (!list || plist_get_node_type(list) != PLIST_ARRAY) return std::nullopt;
    std::vector<UsbmuxDevice> devices;
    uint32_t n = plist_array_get_size(list);
    for (uint32_t i = 0; i < n; ++i) {
        plist_t entry = plist_array_get_item(list, i);
        if (!entry || plist_get_node_type(entry) != PLIST_DICT) return std::nullopt;
        if (auto d = parseDevice(entry)) devices.push_back(std::move(*d));
    }
    return devices;
}

std::optional<int64_t> resultNumber(const Plist& dict) {
    if (dict.string("MessageType") != "Result") return std::nullopt;
    return dict.integer("Number");
}

std::optional<Event> parseEvent(const Plist& body) {
    const auto type = body.string("MessageType");
    if (type == "Attached") {
        auto device = parseDevice(body.get());
        if (!device) return std::nullopt;
        return Event{true, device->deviceID, std::move(*device)};
    }
    if (type == "Detached") {
        const auto id = body.integer("DeviceID");
        if (!id) return std::nullopt;
        return Event{false, *id, {}};
    }
    return std::nullopt;
}

}  // namespace UsbmuxPacket

}  // namespace kelvo
