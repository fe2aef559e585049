#pragma once

#include <sys/time.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "core/runtime/executor.hpp"
#include "core/util/expected.hpp"
#include "core/transport/plist.hpp"
#include "core/transport/usbmux_packet.hpp"
#include "core/util/unique_fd.hpp"

namespace kelvo {

// Keeps track of cable-attached tablets through the USB multiplexing daemon and opens tunnels to
// their TCP ports.
//
// A "Listen" conversation runs on its own thread "kv.usbmux" and is retried every 3 s while the
// client runs. Attach, detach and availability reports are posted to the callback queue in the
// order the daemon produced them; each reads its closure when it runs there and is skipped once
// the client is gone. Set the closures on the callback queue (or before start()).
//
// Lifecycle: create (no thread, no I/O) → start() → stop() (joins the thread; final) → destroy
// (stops). The reports made by the loop's end (a detach per known device, then availability
// false) are posted before stop() returns and still run while the client exists.
class UsbmuxClient : public std::enable_shared_from_this<UsbmuxClient> {
public:
    static constexpr const char* defaultSocketPath = "/var/run/usbmuxd";
    using ConnectResult = Expected<UniqueFd, UsbmuxError>;

    // `connectQueue` runs the blocking Connect conversations ("kv.usbmux.connect").
    static std::shared_ptr<UsbmuxClient> create(std::shared_ptr<Executor> callbackQueue,
                                                std::shared_ptr<Executor> connectQueue,
                                                std::string socketPath = defaultSocketPath);
    ~UsbmuxClient();
    UsbmuxClient(const UsbmuxClient&) = delete;
    UsbmuxClient& operator=(const UsbmuxClient&) = delete;

    std::function<void(const UsbmuxDevice&)> onAttached;
    // Every Detached event, and every known device dropped when the listen connection ends.
    std::function<void(int64_t deviceID)> onDetached;
    // The daemon's availability: the first outcome, then each change.
    std::function<void(bool available)> onAvailabilityChanged;

    // Starts the listen thread. A second call, or one after stop(), does nothing.
    void start();
    // Ends the listen conversation and joins the thread. Idempotent; any thread but the callback
    // queue of a client whose last reference that queue holds.
    void stop();

    // Opens a tunnel to `port` on the device; returns at once. `completion` runs once on the
    // callback queue and owns the descriptor it is given. Independent of start()/stop(): it
    // holds no reference to the client.
    void connect(int64_t deviceID, uint16_t port, double timeoutSeconds,
                 std::function<void(ConnectResult)> completion);

    const std::string& socketPath() const { return socketPath_; }

    // Blocking daemon conversations; each opens and owns its own socket.
    // A Connect whose tunnel comes back with no send or receive time-out left on it.
    static ConnectResult connectSync(const std::string& socketPath, int64_t deviceID, uint16_t port,
                                     double timeoutSeconds);
    static Expected<std::vector<UsbmuxDevice>, UsbmuxError> listDevices(const std::string& socketPath,
                                                                       double timeoutSeconds);
    // Whether the daemon's socket file is readable and writable (does not connect).
    static bool isAvailable(const std::string& socketPath = defaultSocketPath);

    // Socket primitives (blocking). They never close a descriptor they did not create.
    static ConnectResult openSocket(const std::string& socketPath);
    // Writes every byte; nullopt on success.
    static std::optional<UsbmuxError> write(int fd, std::span<const uint8_t> bytes);
    static Expected<std::vector<uint8_t>, UsbmuxError> readExactly(int fd, size_t count);
    // One packet whose length lies in 16...0xFFFFF and whose body is a dictionary.
    static Expected<Plist, UsbmuxError> readPacket(int fd);
    // Receive and send time-outs; 0 (or less) removes them.
    static void setTimeout(int fd, double seconds);
    static timeval timeoutValue(double seconds);

private:
    UsbmuxClient(std::shared_ptr<Executor> callbackQueue, std::shared_ptr<Executor> connectQueue,
                 std::string socketPath);

    enum class Reported { nothing, available, unavailable };
    void listenLoop();
    // One Listen conversation; nullopt when it ended because the client stopped.
    std::optional<UsbmuxError> listenOnce(Reported& reported);
    void handleEvent(const Plist& body);
    void detachAll();
    bool isRunning();
    void report(std::function<void(UsbmuxClient&)> call);

    const std::shared_ptr<Executor> callbackQueue_;
    const std::shared_ptr<Executor> connectQueue_;
    const std::string socketPath_;

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
