// Every byte the USB multiplexing daemon might send on one connection, read over a socket pair
// by the client's packet reader. The first packet is taken as the reply to a request (Listen,
// Connect, ListDevices); the packets after it as Listen events, handled as the client handles
// them, until the bytes run out and every device still attached is dropped.
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>

#include "core/transport/usbmux_client.hpp"
#include "core/util/unique_fd.hpp"

using namespace kelvo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds) != 0) abort();
    UniqueFd client(fds[0]);
    UniqueFd daemon(fds[1]);
    // The reader blocks like the listen thread; the daemon's side never waits: what the socket
    // cannot hold is not sent.
    int blocking = 0;
    if (::ioctl(client.get(), FIONBIO, &blocking) != 0) abort();
    size_t sent = 0;
    while (sent < size) {
        const ssize_t n = ::send(daemon.get(), data + sent, size - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
    }
    ::shutdown(daemon.get(), SHUT_WR);

    auto reply = UsbmuxClient::readPacket(client.get());
    if (!reply) return 0;
    (void)UsbmuxPacket::resultNumber(reply.value());
    if (auto devices = UsbmuxPacket::parseDeviceList(reply.value())) {
        for (const auto& d : *devices) (void)d.description();
    }
    // Whatever the reader accepts is a dictionary that writes out and reads back as one.
    const std::string xml = reply.value().toXml();
    if (!UsbmuxPacket::decodePlist(std::span(reinterpret_cast<const uint8_t*>(xml.data()), xml.size()))) abort();

    std::map<int64_t, UsbmuxDevice> known;
    while (auto packet = UsbmuxClient::readPacket(client.get())) {
        const auto event = UsbmuxPacket::parseEvent(packet.value());
        if (!event) continue;
        if (event->attached) {
            if (event->device.deviceID != event->deviceID) abort();
            (void)event->device.description();
            known[event->deviceID] = event->device;
        } else {
            known.erase(event->deviceID);
        }
    }
    known.clear();  // the connection is lost: every device still attached is dropped
    return 0;
}
