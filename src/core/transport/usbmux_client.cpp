#include "core/transport/usbmux_client.hpp"

#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>

#include "core/util/log.hpp"

namespace kelvo {

namespace {

constexpr auto kRetryPause = std::chrono::seconds(3);

// Runs `step(done)` (one send or read) until `size` bytes have moved; a signal retries.
template <class Step>
std::optional<UsbmuxError> transferAll(size_t size, Step step) {
    size_t done = 0;
    while (done < size) {
        ssize_t n = step(done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n == 0) {
            return UsbmuxError::io("closed");
        } else if (errno != EINTR) {
            return UsbmuxError::io(std::strerror(errno));
        }
    }
    return std::nullopt;
}

// Clears the loop's published descriptor before the descriptor itself is closed.
struct ListenFdScope {
    std::mutex& lock;
    int& slot;
    ~ListenFdScope() {
        std::lock_guard g(lock);
        slot = -1;
    }
};

}  // namespace

std::shared_ptr<UsbmuxClient> UsbmuxClient::create(std::shared_ptr<Executor> callbackQueue,
                                                   std::shared_ptr<Executor> connectQueue,
                                                   std::string socketPath) {
    return std::shared_ptr<UsbmuxClient>(
        new UsbmuxClient(std::move(callbackQueue), std::move(connectQueue), std::move(socketPath)));
}

UsbmuxClient::UsbmuxClient(std::shared_ptr<Executor> callbackQueue, std::shared_ptr<Executor> connectQueue,
                           std::string socketPath)
    : callbackQueue_(std::move(callbackQueue)), connectQueue_(std::move(connectQueue)),
      socketPath_(std::move(socketPath)) {}

UsbmuxClient::~UsbmuxClient() { stop(); }

void UsbmuxClient::start() {
    {
        std::lock_guard g(lock_);
        if (running_ || stopped_) return;
        running_ = true;
    }
    std::lock_guard j(joinLock_);
    thread_ = std::thread([this] {
        pthread_setname_np(pthread_self(), "kv.usbmux");
        listenLoop();
    });
}

void UsbmuxClient::stop() {
    {
        std::lock_guard g(lock_);
        stopped_ = true;
        running_ = false;
        // Under the lock: the loop only closes this descriptor after clearing listenFd_.
        if (listenFd_ >= 0) ::shutdown(listenFd_, SHUT_RDWR);
    }
    wake_.notify_all();
    std::lock_guard j(joinLock_);
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

bool UsbmuxClient::isRunning() {
    std::lock_guard g(lock_);
    return running_;
}

void UsbmuxClient::report(std::function<void(UsbmuxClient&)> call) {
    std::weak_ptr<UsbmuxClient> weak = weak_from_this();
    callbackQueue_->post([weak, call = std::move(call)] {
        if (auto self = weak.lock()) call(*self);
    });
}

void UsbmuxClient::listenLoop() {
    Reported reported = Reported::nothing;
    while (isRunning()) {
        std::optional<UsbmuxError> error = listenOnce(reported);
        if (error && isRunning()) Log::w("usbmux", "listen connection lost: " + error->description());
        detachAll();
        if (reported != Reported::unavailable) {
            reported = Reported::unavailable;
            report([](UsbmuxClient& c) {
                if (c.onAvailabilityChanged) c.onAvailabilityChanged(false);
            });
        }
        std::unique_lock g(lock_);
        wake_.wait_for(g, kRetryPause, [this] { return !running_; });
    }
}

std::optional<UsbmuxError> UsbmuxClient::listenOnce(Reported& reported) {
    auto opened = openSocket(socketPath_);
    if (!opened) return opened.error();
    UniqueFd fd = std::move(opened).value();
    {
        std::lock_guard g(lock_);
        if (!running_) return std::nullopt;
        listenFd_ = fd.get();
    }
    ListenFdScope published{lock_, listenFd_};

    auto request = UsbmuxPacket::encode(UsbmuxPacket::request("Listen"), UsbmuxPacket::tagListen);
    if (!request) return UsbmuxError::io("cannot encode Listen request");
    if (auto e = write(fd.get(), *request)) return e;
    auto reply = readPacket(fd.get());
    if (!reply) return reply.error();
    auto number = UsbmuxPacket::resultNumber(reply.value());
    if (!number) return UsbmuxError::badReply();
    if (*number != 0) return UsbmuxError::result(*number);

    if (reported != Reported::available) {
        reported = Reported::available;
        report([](UsbmuxClient& c) {
            if (c.onAvailabilityChanged) c.onAvailabilityChanged(true);
        });
    }
    Log::i("usbmux", "listening for devices");

    while (isRunning()) {
        auto event = readPacket(fd.get());
        if (!event) return event.error();
        handleEvent(event.value());
    }
    return std::nullopt;
}

void UsbmuxClient::handleEvent(const Plist& body) {
    auto type = body.string("MessageType");
    if (!type) return;
    if (*type == "Attached") {
        auto device = UsbmuxPacket::parseDevice(body.get());
        if (!device) return;
        {
            std::lock_guard g(lock_);
            known_[device->deviceID] = *device;
        }
        Log::i("usbmux", "attached " + device->description());
        report([device = *device](UsbmuxClient& c) {
            if (c.onAttached) c.onAttached(device);
        });
    } else if (*type == "Detached") {
        auto id = body.integer("DeviceID");
        if (!id) return;
        {
            std::lock_guard g(lock_);
            known_.erase(*id);
        }
        Log::i("usbmux", "detached #" + std::to_string(*id));
        report([id = *id](UsbmuxClient& c) {
            if (c.onDetached) c.onDetached(id);
        });
    }
}

void UsbmuxClient::detachAll() {
    std::map<int64_t, UsbmuxDevice> dropped;
    {
        std::lock_guard g(lock_);
        dropped.swap(known_);
    }
    for (const auto& entry : dropped) {
        report([id = entry.first](UsbmuxClient& c) {
            if (c.onDetached) c.onDetached(id);
        });
    }
}

void UsbmuxClient::connect(int64_t deviceID, uint16_t port, double timeoutSeconds,
                           std::function<void(ConnectResult)> completion) {
    connectQueue_->post([path = socketPath_, callbackQueue = callbackQueue_, deviceID, port, timeoutSeconds,
                         completion = std::move(completion)] {
        // Shared so that the task stays copyable; an unclaimed descriptor is closed with it.
        auto result = std::make_shared<ConnectResult>(connectSync(path, deviceID, port, timeoutSeconds));
        callbackQueue->post([result, completion] { completion(std::move(*result)); });
    });
}

UsbmuxClient::ConnectResult UsbmuxClient::connectSync(const std::string& socketPath, int64_t deviceID,
                                                      uint16_t port, double timeoutSeconds) {
    auto opened = openSocket(socketPath);
    if (!opened) return opened;
    UniqueFd fd = std::move(opened).value();
    setTimeout(fd.get(), timeoutSeconds);
    auto request = UsbmuxPacket::encode(
        UsbmuxPacket::request("Connect", {{"DeviceID", deviceID}, {"PortNumber", UsbmuxPacket::networkPort(port)}}),
        UsbmuxPacket::tagConnect);
    if (!request) return UsbmuxError::io("cannot encode Connect request");
    if (auto e = write(fd.get(), *request)) return *e;
    auto reply = readPacket(fd.get());
    if (!reply) return reply.error();
    auto number = UsbmuxPacket::resultNumber(reply.value());
    if (!number) return UsbmuxError::badReply();
    if (*number != 0) return UsbmuxError::result(*number);
    setTimeout(fd.get(), 0);
    return fd;
}

Expected<std::vector<UsbmuxDevice>, UsbmuxError> UsbmuxClient::listDevices(const std::string& socketPath,
                                                                           double timeoutSeconds) {
    auto opened = openSocket(socketPath);
    if (!opened) return opened.error();
    UniqueFd fd = std::move(opened).value();
    setTimeout(fd.get(), timeoutSeconds);
    auto request = UsbmuxPacket::encode(UsbmuxPacket::request("ListDevices"), UsbmuxPacket::tagListDevices);
    if (!request) return UsbmuxError::io("cannot encode ListDevices request");
    if (auto e = write(fd.get(), *request)) return *e;
    auto reply = readPacket(fd.get());
    if (!reply) return reply.error();
    auto devices = UsbmuxPacket::parseDeviceList(reply.value());
    if (!devices) return UsbmuxError::badReply();
    return std::move(*devices);
}

bool UsbmuxClient::isAvailable(const std::string& socketPath) {
    return ::access(socketPath.c_str(), R_OK | W_OK) == 0;
}

UsbmuxClient::ConnectResult UsbmuxClient::openSocket(const std::string& socketPath) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    // A longer path would be cut short and name another socket.
    if (socketPath.size() >= sizeof(addr.sun_path)) return UsbmuxError::unavailable(ENAMETOOLONG);
    std::memcpy(addr.sun_path, socketPath.c_str(), socketPath.size() + 1);
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return UsbmuxError::unavailable(errno);
    int rc;
    do {
        rc = ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof(addr));
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) return UsbmuxError::unavailable(errno);
    return fd;
}

std::optional<UsbmuxError> UsbmuxClient::write(int fd, std::span<const uint8_t> bytes) {
    return transferAll(bytes.size(), [&](size_t done) {
        return ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    });
}

Expected<std::vector<uint8_t>, UsbmuxError> UsbmuxClient::readExactly(int fd, size_t count) {
    std::vector<uint8_t> out(count);
    if (auto e = transferAll(count, [&](size_t done) { return ::read(fd, out.data() + done, count - done); }))
        return *e;
    return out;
}

Expected<Plist, UsbmuxError> UsbmuxClient::readPacket(int fd) {
    auto head = readExactly(fd, UsbmuxPacket::headerSize);
    if (!head) return head.error();
    auto header = UsbmuxPacket::decodeHeader(head.value());
    if (!header) return UsbmuxError::badReply();
    if (header->length < UsbmuxPacket::headerSize || header->length > UsbmuxPacket::maxPacket)
        return UsbmuxError::badReply();
    auto body = readExactly(fd, header->length - UsbmuxPacket::headerSize);
    if (!body) return body.error();
    auto dict = UsbmuxPacket::decodePlist(body.value());
    if (!dict) return UsbmuxError::badReply();
    return std::move(*dict);
}

timeval UsbmuxClient::timeoutValue(double seconds) {
    timeval tv{};
    if (!(seconds > 0)) return tv;  // also NaN
    seconds = std::min(seconds, 86400.0 * 365);
    tv.tv_sec = static_cast<time_t>(seconds);
    tv.tv_usec = static_cast<suseconds_t>((seconds - std::floor(seconds)) * 1'000'000);
    return tv;
}

void UsbmuxClient::setTimeout(int fd, double seconds) {
    timeval tv = timeoutValue(seconds);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
}

}  // namespace kelvo
