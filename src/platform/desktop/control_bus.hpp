#pragma once

#include <functional>
#include <memory>
#include <string>

namespace kelvo {

class Executor;
class FdWatch;
class UserDefaults;

// The session-bus signals between the host and its connection control: the control emits
// "Control" after it wrote its wish into the suite; the host emits "Changed" (with the control's
// kind) after it rewrote the suite, so the control reads it again.
class ControlBus {
public:
    static constexpr const char* kPath = "/com/kelvo/host";
    static constexpr const char* kInterface = "com.kelvo.host";

    // Connects to the session bus and listens for "Control" on `queue`, where `onRequest` runs.
    // nullptr, logged, without a session bus. Destroy it on `queue`; no callback runs after.
    static std::unique_ptr<ControlBus> open(Executor& queue, std::function<void()> onRequest);
    ~ControlBus();
    ControlBus(const ControlBus&) = delete;
    ControlBus& operator=(const ControlBus&) = delete;

    void announceChanged();

    struct Impl;

private:
    explicit ControlBus(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// The control's side, as the command uses it: stores the wish, then signals the host.
// An empty string on success, else what failed.
std::string sendControlRequest(UserDefaults& suite, bool on);

}  // namespace kelvo
