#pragma once

#include <functional>
#include <optional>
#include <string>
#include <utility>

namespace kelvo {

class HostStatus;
class SessionManager;
class UserDefaults;

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

    // `reloadControls` asks the control to read the suite again; it may be empty. The manager
    // and the suite outlive the bridge.
    ControlBridge(SessionManager& manager, UserDefaults* suite, std::function<void()> reloadControls);

    void publish(const HostStatus& status);
    // Called when the control signals that it wrote "requestedOn": reconnects or disconnects.
    void applyRequest();

    // The pair the control shows: connected, and the one-line detail.
    static std::pair<bool, std::string> describe(const HostStatus& status);
    // A device name shortened for the one-line detail.
    static std::string formatName(const std::string& name);

private:
    SessionManager& manager_;
    UserDefaults* suite_;
    std::function<void()> reloadControls_;
    std::optional<std::pair<bool, std::string>> last_;
};

}  // namespace kelvo
