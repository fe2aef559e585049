#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/transport/usbmux_packet.hpp"
#include "core/util/unique_fd.hpp"

namespace kelvo::test {

// A USB multiplexing daemon on a UNIX socket for tests. Answers Listen (Result, then an
// Attached event per device and later events), ListDevices and Connect like the real one
// (header version 1, XML bodies, the request's tag echoed). A successful Connect splices the
// socket to a loopback TCP port registered with mapPort(). Runs one thread; every method may
// be called from the test thread.
class FakeUsbmuxd {
public:
    explicit FakeUsbmuxd(std::string path);
    ~FakeUsbmuxd();

    // Binds and serves (again after stop()).
    void start();
    // Closes the listening socket and every connection, sending no Detached; joins the thread.
    // Removes the socket file, unless `leaveSocket` (a daemon killed, or Debian's leaving once the
    // last tablet is gone): connecting to it is then refused.
    void stop(bool leaveSocket = false);

    // Announces the device to current Listen conversations and lists it from then on.
    void attach(const UsbmuxDevice& device);
    // Sends Detached for `deviceID` (known or not) and forgets it.
    void detach(int64_t deviceID);
    // Closes every open Listen conversation (the daemon dropping its clients).
    void dropListeners();
    // Connect to (deviceID, devicePort) opens a tunnel to 127.0.0.1:loopbackPort.
    void mapPort(int64_t deviceID, uint16_t devicePort, uint16_t loopbackPort);
    void setListenResult(int64_t number);

    // Whole packets received, in order.
    std::vector<std::vector<uint8_t>> receivedPackets() const;
    int listenRequests() const;
    // Waits (up to `timeout`) until `pred` holds on the daemon's state; false on time-out.
    bool waitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout);

private:
    struct Conn {
        UniqueFd fd;
        std::vector<uint8_t> in;
        bool listening = false;
        UniqueFd tunnel;  // TCP side once connected
    };

    void run();
    void post(std::function<void()> command);
    void handleReadable(Conn& conn);
    void handlePacket(Conn& conn, uint32_t tag, const Plist& body);
    void reply(Conn& conn, uint32_t tag, const Plist& body);
    bool splice(int from, int to);
    static Plist deviceDict(const UsbmuxDevice& d);

    const std::string path_;
    mutable std::mutex m_;
    std::condition_variable changed_;
    std::vector<std::function<void()>> commands_;
    std::vector<std::vector<uint8_t>> received_;
    int listenRequests_ = 0;

    // Daemon thread only (and the test thread while stopped).
    UniqueFd listener_;
    UniqueFd wake_;
    std::vector<Conn> conns_;
    std::map<int64_t, UsbmuxDevice> devices_;
    std::map<std::pair<int64_t, uint16_t>, uint16_t> ports_;
    int64_t listenResult_ = 0;
    bool quit_ = false;
    std::thread thread_;
};

}  // namespace kelvo::test
