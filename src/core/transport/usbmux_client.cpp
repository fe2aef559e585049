#include "core/transport/usbmux_client.hpp"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "core/util/log.hpp"
#include "core/util/named_thread.hpp"

namespace kelvo {

namespace {

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

// Assembles one packet from the bytes read so far: the header, then exactly the body it
// announces. The announced length is checked before any of the body is asked for.
class PacketAssembler {
public:
    // Bytes still to read for the current part (header or body); 0 when the packet is whole.
    size_t missing() const { return target_ - bytes_.size(); }

    // Takes `n` more bytes (at most missing()); a header of impossible length is an error.
    std::optional<UsbmuxError> add(std::span<const uint8_t> more) {
        bytes_.insert(bytes_.end(), more.begin(), more.end());
        if (bytes_.size() != UsbmuxPacket::headerSize || target_ != UsbmuxPacket::headerSize) return std::nullopt;
        auto header = UsbmuxPacket::decodeHeader(bytes_);
        if (!header || header->length < UsbmuxPacket::headerSize || header->length > UsbmuxPacket::maxPacket)
            return UsbmuxError::badReply();
        target_ = header->length;
        bytes_.reserve(target_);
        return std::nullopt;
    }

    // The body as a dictionary; only once missing() is 0.
    Expected<Plist, UsbmuxError> packet() const {
        auto dict = UsbmuxPacket::decodePlist(std::span(bytes_).subspan(UsbmuxPacket::headerSize));
        if (!dict) return UsbmuxError::badReply();
        return std::move(*dict);
    }

private:
    std::vector<uint8_t> bytes_;
    size_t target_ = UsbmuxPacket::headerSize;
};

// One request and its one reply on a fresh daemon socket, waiting on readiness and a timer of
// its queue. Calls back once, on that queue, with the socket and the reply (or the error), and
// keeps itself alive until then. A time-out reads as EAGAIN's text, as a socket time-out would.
class Conversation : public std::enable_shared_from_this<Conversation> {
public:
    using Done = std::function<void(UniqueFd, Expected<Plist, UsbmuxError>)>;

    static void start(std::string path, std::optional<std::vector<uint8_t>> request, uint64_t timeoutUs,
                      std::shared_ptr<Executor> queue, Done done) {
        auto c = std::make_shared<Conversation>(std::move(path), std::move(request), timeoutUs, queue, std::move(done));
        queue->post([c] { c->begin(); });
    }

    Conversation(std::string path, std::optional<std::vector<uint8_t>> request, uint64_t timeoutUs,
                 std::shared_ptr<Executor> queue, Done done)
        : path_(std::move(path)), request_(std::move(request)), timeoutUs_(timeoutUs), queue_(std::move(queue)),
          done_(std::move(done)) {}

private:
    void begin() {
        self_ = shared_from_this();
        timer_ = queue_->makeTimer();
        if (!request_) return finish(UsbmuxError::io("cannot encode request"));
        auto opened = UsbmuxClient::openSocket(path_, true);
        if (!opened) return finish(opened.error());
        fd_ = std::move(opened).value();
        watch_ = queue_->watchFd(fd_.get());
        if (!watch_) return finish(UsbmuxError::io("no descriptor watching on " + std::string(queue_->label())));
        timer_->scheduleOnce(timeoutUs_, guarded([](Conversation& c) { c.finish(UsbmuxError::io(std::strerror(EAGAIN))); }));
        send();
    }

    template <class F>
    Task guarded(F fn) {
        return [weak = weak_from_this(), fn] {
            auto self = weak.lock();
            if (self && !self->finished_) fn(*self);
        };
    }

    void send() {
        const std::vector<uint8_t>& bytes = *request_;
        while (sent_ < bytes.size()) {
            ssize_t n = ::send(fd_.get(), bytes.data() + sent_, bytes.size() - sent_, MSG_NOSIGNAL);
            if (n > 0) {
                sent_ += static_cast<size_t>(n);
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                watch_->waitWritable(guarded([](Conversation& c) { c.send(); }));
                return;
            } else {
                return finish(UsbmuxError::io(n == 0 ? "closed" : std::strerror(errno)));
            }
        }
        receive();
    }

    void receive() {
        uint8_t chunk[16384];
        while (reply_.missing() > 0) {
            ssize_t n = ::read(fd_.get(), chunk, std::min(sizeof chunk, reply_.missing()));
            if (n > 0) {
                if (auto e = reply_.add(std::span<const uint8_t>(chunk, static_cast<size_t>(n)))) return finish(*e);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                watch_->waitReadable(guarded([](Conversation& c) { c.receive(); }));
                return;
            }
            return finish(UsbmuxError::io(n == 0 ? "closed" : std::strerror(errno)));
        }
        finish(reply_.packet());
    }

    void finish(Expected<Plist, UsbmuxError> outcome) {
        if (finished_) return;
        finished_ = true;
        timer_->cancel();
        watch_.reset();
        // Posted: the socket changes hands (or closes) only after the running readiness callback.
        auto held = std::make_shared<std::pair<UniqueFd, Expected<Plist, UsbmuxError>>>(std::move(fd_), std::move(outcome));
        queue_->post([done = std::move(done_), held, keep = std::move(self_)] {
            done(std::move(held->first), std::move(held->second));
        });
    }

    const std::string path_;
    const std::optional<std::vector<uint8_t>> request_;
    const uint64_t timeoutUs_;
    const std::shared_ptr<Executor> queue_;
    Done done_;

    UniqueFd fd_;
    std::unique_ptr<FdWatch> watch_;
    std::unique_ptr<Timer> timer_;
    size_t sent_ = 0;
    PacketAssembler reply_;
    bool finished_ = false;
    std::shared_ptr<Conversation> self_;
};

}  // namespace

std::shared_ptr<UsbmuxClient> UsbmuxClient::create(std::shared_ptr<Executor> callbackQueue,
                                                   std::shared_ptr<Executor> connectQueue, std::string socketPath,
                                                   uint64_t retryPauseUs, std::function<bool()> daemonInstalled) {
    if (!daemonInstalled) daemonInstalled = [] { return isDaemonInstalled(); };
    return std::shared_ptr<UsbmuxClient>(new UsbmuxClient(std::move(callbackQueue), std::move(connectQueue),
                                                          std::move(socketPath), retryPauseUs,
                                                          std::move(daemonInstalled)));
}

UsbmuxClient::UsbmuxClient(std::shared_ptr<Executor> callbackQueue, std::shared_ptr<Executor> connectQueue,
                           std::string socketPath, uint64_t retryPauseUs, std::function<bool()> daemonInstalled)
    : callbackQueue_(std::move(callbackQueue)), connectQueue_(std::move(connectQueue)),
      socketPath_(std::move(socketPath)), retryPauseUs_(std::min(retryPauseUs, kMaxTimerDelayUs)),
      daemonInstalled_(std::move(daemonInstalled)) {}

// Reports still queued hold the client weakly and find nothing: no drain needed here.
UsbmuxClient::~UsbmuxClient() { endListening(); }

void UsbmuxClient::start() {
    {
        std::lock_guard g(lock_);
        if (running_ || stopped_) return;
        running_ = true;
    }
    std::lock_guard j(joinLock_);
    auto started = tryStartNamedThread("kv.usbmux", [this] { listenLoop(); });
    if (!started) {
        {
            std::lock_guard g(lock_);
            running_ = false;
        }
        Log::e("usbmux", "cannot start the listen thread: " + started.error().message() +
                             "; no tablet is seen on the cable");
        // Not at rest: nothing looks for the daemon, so the menu has to show a fault.
        report([](UsbmuxClient& c) {
            if (c.onAvailabilityChanged) c.onAvailabilityChanged(UsbmuxAvailability::unusable);
        });
        return;
    }
    thread_ = std::move(started).value();
}

void UsbmuxClient::stop() {
    endListening();
    // Reports that run from now on see stopped_; the barrier waits out one already running.
    callbackQueue_->drain();
}

void UsbmuxClient::endListening() {
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
        auto self = weak.lock();
        if (!self) return;
        {
            std::lock_guard g(self->lock_);
            if (self->stopped_) return;
        }
        call(*self);
    });
}

void UsbmuxClient::listenLoop() {
    Reported reported;
    // Where the daemon is missing or failing, a line per retry would crowd everything else out of
    // the log: each cause is said once until the daemon has answered.
    std::string lastNote;
    // A daemon that left while a tablet was attached was killed, crashed or stopped by hand (Debian
    // stops it only after the last tablet has gone): a fault until it takes a Listen again, however
    // much its socket then looks like rest.
    bool lostUnderTablet = false;
    const std::string lostKey = "lost under a tablet";
    char pause[32];
    std::snprintf(pause, sizeof pause, "%g", static_cast<double>(retryPauseUs_) / 1e6);
    while (isRunning()) {
        bool accepted = false;
        std::optional<UsbmuxError> error = listenOnce(reported, accepted);
        if (reported == UsbmuxAvailability::available) lastNote.clear();
        if (!isRunning() || !error) return;  // stopped: nothing more is reported
        const bool dropped = detachAll();
        if (accepted) lostUnderTablet = dropped;
        UsbmuxAvailability now = UsbmuxAvailability::unusable;
        std::string note;
        std::string key;
        auto why = whyNotRunning(*error, socketPath_, accepted && !dropped);
        if (dropped) {
            note = "listen connection lost: " + error->description() +
                   ", with a tablet attached: usbmuxd unusable until it listens again; retrying every " + pause + " s";
            key = lostKey;
        } else if (why && lostUnderTablet) {
            key = lostKey;  // said as it was lost: its socket going or refusing is no news
        } else if (why && daemonInstalled_()) {
            now = UsbmuxAvailability::atRest;
            note = "usbmuxd not running (" + *why + "): at rest until a tablet is plugged in; checking every " +
                   pause + " s";
            // Not running is said once however its cause words change (it closes, then its socket refuses).
            key = "at rest";
        } else if (why) {
            now = UsbmuxAvailability::notInstalled;
            note = "usbmuxd not running (" + *why +
                   ") and not installed (Debian package usbmuxd): no tablet is seen on the cable; checking every " +
                   pause + " s";
            key = "not installed";
        } else {
            note = "listen connection lost: " + error->description() + "; retrying every " + pause + " s";
            key = note;
        }
        if (key != lastNote && !note.empty()) {
            if (now == UsbmuxAvailability::atRest) {
                Log::i("usbmux", note);
            } else {
                Log::w("usbmux", note);
            }
            lastNote = std::move(key);
        }
        setReported(reported, now);
        std::unique_lock g(lock_);
        wake_.wait_for(g, std::chrono::microseconds(retryPauseUs_), [this] { return !running_; });
    }
}

std::optional<std::string> UsbmuxClient::whyNotRunning(const UsbmuxError& error, const std::string& socketPath,
                                                       bool idle) {
    if (error.kind() == UsbmuxError::Kind::unavailable) {
        if (error.errnoValue() == ENOENT) return "no socket at " + socketPath;
        if (error.errnoValue() == ECONNREFUSED) {
            struct stat st {};
            if (::lstat(socketPath.c_str(), &st) == 0) {
                // The daemon leaves its socket behind when it exits; anything else at the path is not its.
                if (S_ISSOCK(st.st_mode)) return "nothing listens on " + socketPath;
            } else if (errno == ENOENT) {
                // Refused, then gone: a daemon starting up unlinks its old socket before binding anew.
                return "no socket at " + socketPath;
            }
        }
    }
    // How Debian's daemon leaves once the last tablet is unplugged.
    if (idle && error == UsbmuxError::io("closed")) return "it stopped with no tablet attached";
    return std::nullopt;
}

void UsbmuxClient::setReported(Reported& reported, UsbmuxAvailability now) {
    if (reported == now) return;
    reported = now;
    report([now](UsbmuxClient& c) {
        if (c.onAvailabilityChanged) c.onAvailabilityChanged(now);
    });
}

std::optional<UsbmuxError> UsbmuxClient::listenOnce(Reported& reported, bool& accepted) {
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

    accepted = true;
    setReported(reported, UsbmuxAvailability::available);
    Log::i("usbmux", "listening for devices");

    while (isRunning()) {
        auto event = readPacket(fd.get());
        if (!event) return event.error();
        handleEvent(event.value());
    }
    return std::nullopt;
}

void UsbmuxClient::handleEvent(const Plist& body) {
    auto event = UsbmuxPacket::parseEvent(body);
    if (!event) return;
    if (event->attached) {
        {
            std::lock_guard g(lock_);
            known_[event->deviceID] = event->device;
        }
        Log::i("usbmux", "attached " + event->device.description());
        report([device = event->device](UsbmuxClient& c) {
            if (c.onAttached) c.onAttached(device);
        });
    } else {
        {
            std::lock_guard g(lock_);
            known_.erase(event->deviceID);
        }
        Log::i("usbmux", "detached #" + std::to_string(event->deviceID));
        report([id = event->deviceID](UsbmuxClient& c) {
            if (c.onDetached) c.onDetached(id);
        });
    }
}

bool UsbmuxClient::detachAll() {
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
    return !dropped.empty();
}

void UsbmuxClient::connect(int64_t deviceID, uint16_t port, uint64_t timeoutUs,
                           std::function<void(ConnectResult)> completion) {
    auto request = UsbmuxPacket::encode(
        UsbmuxPacket::request("Connect", {{"DeviceID", deviceID}, {"PortNumber", UsbmuxPacket::networkPort(port)}}),
        UsbmuxPacket::tagConnect);
    Conversation::start(socketPath_, std::move(request), timeoutUs, connectQueue_,
                        [callbackQueue = callbackQueue_, completion = std::move(completion)](
                            UniqueFd fd, Expected<Plist, UsbmuxError> reply) {
                            // Shared so that the task stays copyable; an unclaimed descriptor is closed with it.
                            auto result = std::make_shared<ConnectResult>(UsbmuxError::badReply());
                            if (!reply) {
                                *result = reply.error();
                            } else if (auto number = UsbmuxPacket::resultNumber(reply.value()); !number) {
                                *result = UsbmuxError::badReply();
                            } else if (*number != 0) {
                                *result = UsbmuxError::result(*number);
                            } else {
                                // From here on the socket is a raw tunnel to the tablet's port.
                                setNonBlocking(fd.get(), false);
                                *result = std::move(fd);
                            }
                            callbackQueue->post([result, completion] { completion(std::move(*result)); });
                        });
}

void UsbmuxClient::listDevices(const std::string& socketPath, uint64_t timeoutUs, std::shared_ptr<Executor> queue,
                               std::function<void(ListResult)> completion) {
    auto request = UsbmuxPacket::encode(UsbmuxPacket::request("ListDevices"), UsbmuxPacket::tagListDevices);
    Conversation::start(socketPath, std::move(request), timeoutUs, std::move(queue),
                        [completion = std::move(completion)](UniqueFd, Expected<Plist, UsbmuxError> reply) {
                            if (!reply) return completion(reply.error());
                            auto devices = UsbmuxPacket::parseDeviceList(reply.value());
                            if (!devices) return completion(UsbmuxError::badReply());
                            completion(std::move(*devices));
                        });
}

std::optional<std::string> UsbmuxClient::socketPathFromAddress(std::string_view address, std::string* whyNot) {
    auto refuse = [&](const char* why) -> std::optional<std::string> {
        if (whyNot) *whyNot = why;
        return std::nullopt;
    };
    constexpr std::string_view unixPrefix = "UNIX:";
    if (!address.starts_with(unixPrefix)) return refuse("not a UNIX:/path address");
    std::string_view path = address.substr(unixPrefix.size());
    if (!path.starts_with('/')) return refuse("the socket path is not absolute");
    if (path.size() >= sizeof(sockaddr_un::sun_path)) return refuse("the socket path is too long");
    if (path.find('\0') != std::string_view::npos) return refuse("the socket path holds a NUL");
    return std::string(path);
}

bool UsbmuxClient::isAvailable(const std::string& socketPath) {
    return ::access(socketPath.c_str(), R_OK | W_OK) == 0;
}

bool UsbmuxClient::isDaemonInstalled(std::string_view searchPath) {
    // Where packages put programs; a desktop session's PATH often leaves the sbin ones out anyway.
    std::string dirs = searchPath.empty() ? "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
                                          : std::string(searchPath);
    for (size_t begin = 0; begin <= dirs.size();) {
        size_t end = std::min(dirs.find(':', begin), dirs.size());
        std::string dir = dirs.substr(begin, end - begin);
        begin = end + 1;
        if (dir.empty()) continue;
        std::string program = dir + "/usbmuxd";
        struct stat st {};
        if (::stat(program.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(program.c_str(), X_OK) == 0)
            return true;
    }
    return false;
}

UsbmuxClient::ConnectResult UsbmuxClient::openSocket(const std::string& socketPath, bool nonBlocking) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    // A longer path would be cut short and name another socket.
    if (socketPath.size() >= sizeof(addr.sun_path)) return UsbmuxError::unavailable(ENAMETOOLONG);
    std::memcpy(addr.sun_path, socketPath.c_str(), socketPath.size() + 1);
    // Non-blocking, a daemon whose backlog is full fails at once (EAGAIN) instead of holding us.
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0));
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
    PacketAssembler packet;
    while (packet.missing() > 0) {
        auto part = readExactly(fd, packet.missing());
        if (!part) return part.error();
        if (auto e = packet.add(part.value())) return *e;
    }
    return packet.packet();
}

}  // namespace kelvo
