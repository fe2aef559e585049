#pragma once

#include <functional>
#include <optional>
#include <string>
#include <utility>

namespace kelvo {

class UserDefaults;

// What the control shows of the session manager's status: only the states it tells apart.
struct ControlStatus {
    enum class Kind { connecting, probing, connected, paused, other };
    Kind kind = Kind::other;
    std::string deviceName;  // connecting, probing, connected, paused
    std::string transport;   // connected: "USB", "Wi-Fi", ...
};

// The session manager as the control drives it.
class ControlTarget {
public:
    virtual ~ControlTarget() = default;
    virtual ControlStatus controlStatus() const = 0;
    virtual void reconnect() = 0;
    virtual void disconnect() = 0;
};

// The host's side of the desktop's connection control: it publishes "connected" and "detail"
// into a shared suite and applies the "requestedOn" wish the control leaves there. Main queue
// only. Without a suite (it could not be opened) publishing only remembers the pair and
// requests are ignored.
class ControlBridge {
public:
    static constexpr const char* kSuiteName = "Q7M2K9R4T1.com.kelvo";
    static constexpr const char* kControlKind = "com.kelvo.host.display";

    // Where the suite lives: a folder of the settings' configuration folder.
    static std::string suiteFolder();

    // `reloadControls` asks the control to read the suite again; it may be empty.
    ControlBridge(ControlTarget& target, UserDefaults* suite, std::function<void()> reloadControls);

    void publish(const ControlStatus& status);
    // Called when the control signals that it wrote "requestedOn".
    void applyRequest();

    // The pair the control shows.
    static std::pair<bool, std::string> describe(const ControlStatus& status);
    // A device name shortened for the one-line detail.
    static std::string formatName(const std::string& name);

private:
    ControlTarget& target_;
    UserDefaults* suite_;
    std::function<void()> reloadControls_;
    std::optional<std::pair<bool, std::string>> last_;
};

}  // namespace kelvo
