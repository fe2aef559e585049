// Bytes as the USB multiplexing daemon might send them: a packet header, then the body through
// the property-list decoder and every reader of replies and events.
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/transport/usbmux_packet.hpp"

using namespace kelvo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::span<const uint8_t> bytes(data, size);
    auto header = UsbmuxPacket::decodeHeader(bytes);
    if (!header) return 0;
    if (header->length < UsbmuxPacket::headerSize || header->length > UsbmuxPacket::maxPacket) return 0;
    auto body = bytes.subspan(UsbmuxPacket::headerSize);
    if (body.size() > header->length - UsbmuxPacket::headerSize) body = body.first(header->length - UsbmuxPacket::headerSize);
    auto dict = UsbmuxPacket::decodePlist(body);
    if (!dict) return 0;
    (void)UsbmuxPacket::resultNumber(*dict);
    (void)UsbmuxPacket::parseDevice(dict->get());
    (void)UsbmuxPacket::parseDeviceList(*dict);
    (void)dict->string("MessageType");
    (void)dict->integer("DeviceID");
    (void)dict->toXml();
    return 0;
}
