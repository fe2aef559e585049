#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/runtime/executor.hpp"
#include "core/util/expected.hpp"
#include "core/transport/plist.hpp"
#include "core/transport/usbmux_packet.hpp"
#include "core/util/unique_fd.hpp"

namespace kelvo {

// What the listen loop found of the daemon at its last attempt. Debian's daemon runs only while a
// tablet is plugged in (udev starts it, and stops it after the last one leaves), so its absence
// is its normal state there and not a fault.
enum class UsbmuxAvailability {
    available,     // Listen accepted
    atRest,        // not running, installed, and not gone from under a tablet: plugging one in starts it
    notInstalled,  // not running and no usbmuxd program: nothing will start it
    // Running but refusing, denying or answering badly, or the path is no socket; or gone while a
    // tablet was attached (killed, crashed, stopped by hand) and not listening again since.
    unusable,
};

// Keeps track of cable-attached tablets through the USB multiplexing daemon and opens tunnels to
// their TCP ports.
//
// A "Listen" conversation runs on its own thread "kv.usbmux" and is retried every
// `retryPauseUs` (3 s) while the client runs. Attach, detach and availability reports are
// posted to the callback queue in the order the daemon produced them; each reads its closure
// when it runs there and is skipped once the client is stopped or gone. Set the closures on
// the callback queue (or before start()). Connect and ListDevices conversations wait on
// readiness and a timer of their queue and never block it.
//
// Lifecycle: create (no thread, no I/O) → start() → stop() (final) → destroy (stops the thread;
// reports still queued find nothing).
class UsbmuxClient : public std::enable_shared_from_this<UsbmuxClient> {
public:
    static constexpr const char* defaultSocketPath = "/var/run/usbmuxd";
    static constexpr uint64_t defaultRetryPauseUs = 3'000'000;
    using ConnectResult = Expected<UniqueFd, UsbmuxError>;
    using ListResult = Expected<std::vector<UsbmuxDevice>, UsbmuxError>;

    // `connectQueue` runs the Connect conversations ("kv.usbmux.connect"). `daemonInstalled` tells,
    // on the listen thread, whether a daemon that is not running would be started when a tablet
    // is plugged in; empty: isDaemonInstalled() on this machine's search path.
    static std::shared_ptr<UsbmuxClient> create(std::shared_ptr<Executor> callbackQueue,
                                                std::shared_ptr<Executor> connectQueue,
                                                std::string socketPath = defaultSocketPath,
                                                uint64_t retryPauseUs = defaultRetryPauseUs,
                                                std::function<bool()> daemonInstalled = nullptr);
    ~UsbmuxClient();
    UsbmuxClient(const UsbmuxClient&) = delete;
    UsbmuxClient& operator=(const UsbmuxClient&) = delete;

    std::function<void(const UsbmuxDevice&)> onAttached;
    // Every Detached event, and every known device dropped when the listen connection is lost.
    std::function<void(int64_t deviceID)> onDetached;
    // The daemon's availability: the first outcome, then each change.
    std::function<void(UsbmuxAvailability)> onAvailabilityChanged;

    // Starts the listen thread. A second call, or one after stop(), does nothing. Where no thread
    // can be had, the failure is logged and reported as `unusable`; the client stays stoppable.
    void start();
    // Ends the listen conversation and joins the thread. Once it returns no report runs, and
    // none is made for the devices still attached: whoever stops the client forgets them.
    // Idempotent. On the callback queue, or on a thread that queue never waits on: there it
    // drains the callback queue so that a report running at the time has returned.
    void stop();

    // Opens a tunnel to `port` on the device; returns at once. `completion` runs exactly once
    // on the callback queue, also after stop(), and owns the descriptor it is given (blocking
    // mode, no time-outs on it). The conversation is bounded by `timeoutUs`.
    void connect(int64_t deviceID, uint16_t port, uint64_t timeoutUs, std::function<void(ConnectResult)> completion);

    const std::string& socketPath() const { return socketPath_; }

    // The devices the daemon lists, in its order; `completion` runs once on `queue`.
    static void listDevices(const std::string& socketPath, uint64_t timeoutUs, std::shared_ptr<Executor> queue,
                            std::function<void(ListResult)> completion);
    // The socket path in a daemon address as the tools of the USB multiplexing daemon read it
    // from USBMUXD_SOCKET_ADDRESS ("UNIX:/path"); nullopt with the reason in `whyNot` for any
    // other form (the daemon's TCP form is not supported).
    static std::optional<std::string> socketPathFromAddress(std::string_view address, std::string* whyNot = nullptr);
    // Whether the daemon's socket file is readable and writable (does not connect).
    static bool isAvailable(const std::string& socketPath = defaultSocketPath);
    // Whether an executable "usbmuxd" lies in one of the colon-separated directories; empty: the
    // system's own program folders only. Never $PATH: the listen thread asks at every retry, and
    // an entry on a network mount that does not answer would hold up quitting, which joins it.
    static bool isDaemonInstalled(std::string_view searchPath = {});
    // Why a failed listen attempt means the daemon is simply not running (its socket missing, or
    // left behind with nothing listening; or, when `idle`, having accepted Listen with no tablet
    // attached, it closed); nullopt when it is there and failing.
    static std::optional<std::string> whyNotRunning(const UsbmuxError& error, const std::string& socketPath, bool idle);

    // Socket primitives of the listen thread (blocking, unless asked). They never close a
    // descriptor they did not create.
    static ConnectResult openSocket(const std::string& socketPath, bool nonBlocking = false);
    // Writes every byte; nullopt on success.
    static std::optional<UsbmuxError> write(int fd, std::span<const uint8_t> bytes);
    static Expected<std::vector<uint8_t>, UsbmuxError> readExactly(int fd, size_t count);
    // One packet whose length lies in 16...0xFFFFF and whose body is a dictionary.
    static Expected<Plist, UsbmuxError> readPacket(int fd);

private:
    UsbmuxClient(std::shared_ptr<Executor> callbackQueue, std::shared_ptr<Executor> connectQueue,
                 std::string socketPath, uint64_t retryPauseUs, std::function<bool()> daemonInstalled);

    using Reported = std::optional<UsbmuxAvailability>;  // empty: nothing reported yet
    void listenLoop();
    // One Listen conversation; nullopt when it ended because the client stopped. `accepted` is
    // set once the daemon took the Listen request.
    std::optional<UsbmuxError> listenOnce(Reported& reported, bool& accepted);
    void setReported(Reported& reported, UsbmuxAvailability now);
    void handleEvent(const Plist& body);
    // Reports every known device detached; whether there was any.
    bool detachAll();
    bool isRunning();
    // Ends the conversation and joins the thread; no drain.
    void endListening();
    void report(std::function<void(UsbmuxClient&)> call);

    const std::shared_ptr<Executor> callbackQueue_;
    const std::shared_ptr<Executor> connectQueue_;
    const std::string socketPath_;
    const uint64_t retryPauseUs_;
    const std::function<bool()> daemonInstalled_;

    // Guards running_, stopped_, listenFd_ and known_. stop() shuts the listen socket down under it:
    // the loop clears listenFd_ under it before closing, so the number cannot have been reused.
    std::mutex lock_;
    std::condition_variable wake_;
    bool running_ = false;
    bool stopped_ = false;
    int listenFd_ = -1;  // borrowed from listenOnce() while its conversation is open
    std::map<int64_t, UsbmuxDevice> known_;

    std::mutex joinLock_;
    std::thread thread_;
};

}  // namespace kelvo
