#include "testing/fake_usbmuxd.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <stdexcept>

namespace kelvo::test {

FakeUsbmuxd::FakeUsbmuxd(std::string path) : path_(std::move(path)) {}

FakeUsbmuxd::~FakeUsbmuxd() { stop(); }

void FakeUsbmuxd::start() {
    if (thread_.joinable()) return;
    ::unlink(path_.c_str());
    listener_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path_.c_str(), sizeof(addr.sun_path) - 1);
    if (::bind(listener_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) < 0 ||
        ::listen(listener_.get(), 16) < 0)
        throw std::runtime_error("fake usbmuxd: cannot listen on " + path_);
    wake_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    quit_ = false;
    thread_ = std::thread([this] { run(); });
}

void FakeUsbmuxd::stop(bool leaveSocket) {
    if (!thread_.joinable()) return;
    post([this] { quit_ = true; });
    thread_.join();
    conns_.clear();
    listener_.reset();
    wake_.reset();
    if (!leaveSocket) ::unlink(path_.c_str());
}

void FakeUsbmuxd::post(std::function<void()> command) {
    {
        std::lock_guard g(m_);
        commands_.push_back(std::move(command));
    }
    uint64_t one = 1;
    if (wake_) (void)!::write(wake_.get(), &one, sizeof(one));
}

void FakeUsbmuxd::attach(const UsbmuxDevice& device) {
    post([this, device] {
        devices_[device.deviceID] = device;
        Plist event = deviceDict(device);
        event.set("MessageType", "Attached");
        for (auto& c : conns_)
            if (c.listening) reply(c, 0, event);
    });
}

void FakeUsbmuxd::detach(int64_t deviceID) {
    post([this, deviceID] {
        devices_.erase(deviceID);
        Plist event = Plist::dict();
        event.set("MessageType", "Detached");
        event.set("DeviceID", deviceID);
        for (auto& c : conns_)
            if (c.listening) reply(c, 0, event);
    });
}

void FakeUsbmuxd::dropListeners() {
    post([this] {
        std::erase_if(conns_, [](const Conn& c) { return c.listening; });
    });
}

void FakeUsbmuxd::mapPort(int64_t deviceID, uint16_t devicePort, uint16_t loopbackPort) {
    post([=, this] { ports_[{deviceID, devicePort}] = loopbackPort; });
}

void FakeUsbmuxd::setListenResult(int64_t number) {
    post([=, this] { listenResult_ = number; });
}

std::vector<std::vector<uint8_t>> FakeUsbmuxd::receivedPackets() const {
    std::lock_guard g(m_);
    return received_;
}

int FakeUsbmuxd::listenRequests() const {
    std::lock_guard g(m_);
    return listenRequests_;
}

bool FakeUsbmuxd::waitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    std::unique_lock g(m_);
    return changed_.wait_for(g, timeout, [&] {
        g.unlock();
        bool ok = pred();
        g.lock();
        return ok;
    });
}

Plist FakeUsbmuxd::deviceDict(const UsbmuxDevice& d) {
    Plist props = Plist::dict();
    props.set("ConnectionType", d.connectionType);
    props.set("DeviceID", d.deviceID);
    props.set("LocationID", int64_t{0});
    props.set("ProductID", d.productID);
    props.set("SerialNumber", d.udid);
    Plist dict = Plist::dict();
    dict.set("DeviceID", d.deviceID);
    dict.set("Properties", std::move(props));
    return dict;
}

void FakeUsbmuxd::reply(Conn& conn, uint32_t tag, const Plist& body) {
    auto bytes = UsbmuxPacket::encode(body, tag);
    if (!bytes) return;
    size_t done = 0;
    while (done < bytes->size()) {
        ssize_t n = ::send(conn.fd.get(), bytes->data() + done, bytes->size() - done, MSG_NOSIGNAL);
        if (n <= 0) return;  // the client went away; its read side notices
        done += static_cast<size_t>(n);
    }
}

void FakeUsbmuxd::run() {
    for (;;) {
        std::vector<std::function<void()>> commands;
        {
            std::lock_guard g(m_);
            commands.swap(commands_);
        }
        for (auto& c : commands) c();
        changed_.notify_all();
        if (quit_) return;

        std::vector<pollfd> fds{{wake_.get(), POLLIN, 0}, {listener_.get(), POLLIN, 0}};
        for (auto& c : conns_) {
            fds.push_back({c.fd.get(), POLLIN, 0});
            if (c.tunnel) fds.push_back({c.tunnel.get(), POLLIN, 0});
        }
        if (::poll(fds.data(), fds.size(), 1000) < 0) continue;
        if (fds[0].revents) {
            uint64_t n;
            (void)!::read(wake_.get(), &n, sizeof(n));
        }
        if (fds[1].revents & POLLIN) {
            int c = ::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC);
            if (c >= 0) conns_.push_back(Conn{UniqueFd(c), {}, false, {}});
        }
        // Walk the connections polled this round; handlers may close them (fd reset).
        size_t at = 2;
        size_t polled = fds.size();
        for (auto& c : conns_) {
            if (at >= polled) break;
            bool hadTunnel = static_cast<bool>(c.tunnel);
            short ev = fds[at++].revents;
            short tev = hadTunnel ? fds[at++].revents : 0;
            if (!c.fd) continue;
            if (hadTunnel) {
                bool ok = true;
                if (ev & (POLLIN | POLLHUP | POLLERR)) ok = splice(c.fd.get(), c.tunnel.get());
                if (ok && (tev & (POLLIN | POLLHUP | POLLERR))) ok = splice(c.tunnel.get(), c.fd.get());
                if (!ok) {
                    c.fd.reset();
                    c.tunnel.reset();
                }
            } else if (ev & (POLLIN | POLLHUP | POLLERR)) {
                handleReadable(c);
            }
        }
        std::erase_if(conns_, [](const Conn& c) { return !c.fd; });
    }
}

bool FakeUsbmuxd::splice(int from, int to) {
    uint8_t buf[65536];
    ssize_t n = ::read(from, buf, sizeof(buf));
    if (n <= 0) return false;
    ssize_t done = 0;
    while (done < n) {
        ssize_t w = ::send(to, buf + done, static_cast<size_t>(n - done), MSG_NOSIGNAL);
        if (w <= 0) return false;
        done += w;
    }
    return true;
}

void FakeUsbmuxd::handleReadable(Conn& conn) {
    uint8_t buf[4096];
    ssize_t n = ::read(conn.fd.get(), buf, sizeof(buf));
    if (n <= 0) {
        conn.fd.reset();
        return;
    }
    conn.in.insert(conn.in.end(), buf, buf + n);
    while (conn.fd && !conn.tunnel) {
        auto header = UsbmuxPacket::decodeHeader(conn.in);
        if (!header || conn.in.size() < header->length) return;
        if (header->length < UsbmuxPacket::headerSize) {
            conn.fd.reset();
            return;
        }
        std::vector<uint8_t> packet(conn.in.begin(), conn.in.begin() + header->length);
        conn.in.erase(conn.in.begin(), conn.in.begin() + header->length);
        {
            std::lock_guard g(m_);
            received_.push_back(packet);
        }
        auto body = UsbmuxPacket::decodePlist(std::span(packet).subspan(UsbmuxPacket::headerSize));
        if (!body) {
            conn.fd.reset();
            return;
        }
        handlePacket(conn, header->tag, *body);
    }
}

void FakeUsbmuxd::handlePacket(Conn& conn, uint32_t tag, const Plist& body) {
    auto result = [&](int64_t number) {
        Plist r = Plist::dict();
        r.set("MessageType", "Result");
        r.set("Number", number);
        reply(conn, tag, r);
    };
    auto type = body.string("MessageType").value_or("");
    if (type == "Listen") {
        {
            std::lock_guard g(m_);
            ++listenRequests_;
        }
        result(listenResult_);
        if (listenResult_ != 0) return;
        conn.listening = true;
        for (auto& [id, device] : devices_) {
            Plist event = deviceDict(device);
            event.set("MessageType", "Attached");
            reply(conn, 0, event);
        }
    } else if (type == "ListDevices") {
        plist_t list = plist_new_array();
        for (auto& [id, device] : devices_) {
            Plist entry = deviceDict(device);
            entry.set("MessageType", "Attached");
            plist_array_append_item(list, entry.release());
        }
        Plist r = Plist::dict();
        r.set("DeviceList", Plist(list));
        reply(conn, tag, r);
    } else if (type == "Connect") {
        int64_t id = body.integer("DeviceID").value_or(-1);
        auto net = static_cast<uint16_t>(body.integer("PortNumber").value_or(0));
        uint16_t port = static_cast<uint16_t>((net >> 8) | (net << 8));
        if (!devices_.count(id)) return result(2);
        auto mapped = ports_.find({id, port});
        if (mapped == ports_.end()) return result(3);
        UniqueFd tcp(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(mapped->second);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(tcp.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) < 0) return result(3);
        result(0);
        conn.tunnel = std::move(tcp);
    } else {
        result(1);
    }
}

}  // namespace kelvo::test
