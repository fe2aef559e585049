#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/display/display_services.hpp"

namespace kelvo {

// An in-process display server for tests: displays with modes and positions, configurations,
// reconfiguration notifications and virtual displays, with failures to inject. Thread-safe.
// Notifications run on the thread that made the change, or on a thread of the server's own
// (joined before the change returns) when notifyOnForeignThread is on. Virtual displays it made
// may outlive it; they then do nothing.
class SimulatedDisplayServer final : public DisplayServices, public VirtualDisplayFactory {
public:
    struct DisplaySetup {
        std::vector<DisplayMode> modes;
        size_t currentMode = 0;
        double x = 0;  // origin in global points
        double y = 0;
        bool builtin = false;
        std::optional<std::string> screenName;
    };

    // A mode of `width`×`height` points at `scale` pixels per point.
    static DisplayMode mode(double width, double height, double scale = 1, double hz = 60, bool usable = true);

    SimulatedDisplayServer();
    ~SimulatedDisplayServer() override;

    // A display that is online from now on; the first one is the main display. Notifies `added`.
    DisplayId addDisplay(DisplaySetup setup);
    void removeDisplay(DisplayId id);
    void setMainDisplay(DisplayId id);
    // "The system" switches a display's mode (by index into its modes). Notifies `setMode`.
    void setCurrentMode(DisplayId id, size_t index);
    size_t currentModeIndex(DisplayId id) const;

    // Failure injection.
    void setVirtualDisplaysAvailable(bool available);
    // Refuse creation (null) / hand out id 0 for the next virtual display.
    void setRefuseCreate(bool refuse);
    void setNextVirtualDisplayIdZero(bool zero);
    void setRefuseModes(bool refuse);
    // Non-zero codes make the step fail.
    void setBeginError(int32_t code);
    void setConfigureError(int32_t code);
    void setCompleteError(int32_t code);
    void setNotifyOnForeignThread(bool foreign);
    // Runs when a virtual display has appeared (on the creating thread, outside the server's
    // lock), so a test can act as a system that rearranges the other displays.
    void setOnVirtualDisplayAdded(std::function<void(DisplayId)> hook);
    // The server removes a virtual display on its own: its termination handler is posted to
    // the queue it was made with.
    void terminate(DisplayId id);

    // Inspection.
    std::optional<VirtualDisplayDescriptor> virtualDisplayDescriptor(DisplayId id) const;
    std::optional<VirtualDisplaySettings> virtualDisplaySettings(DisplayId id) const;
    size_t virtualDisplaysCreated() const;
    size_t completedConfigurations() const;
    size_t cancelledConfigurations() const;

    // DisplayServices
    std::vector<DisplayId> onlineDisplays() override;
    std::vector<DisplayMode> modes(DisplayId display) override;
    std::optional<DisplayMode> currentMode(DisplayId display) override;
    Rect bounds(DisplayId display) override;
    DisplayId mainDisplay() override;
    bool isBuiltin(DisplayId display) override;
    DisplayId mirrorMaster(DisplayId display) override;
    std::optional<std::string> screenName(DisplayId display) override;
    Expected<std::unique_ptr<DisplayConfiguration>, int32_t> beginConfiguration() override;
    Uuid addReconfigurationCallback(DisplayReconfigurationCallback callback) override;
    void removeReconfigurationCallback(const Uuid& id) override;

    // VirtualDisplayFactory
    bool isAvailable() override;
    std::unique_ptr<PlatformVirtualDisplay> create(const VirtualDisplayDescriptor& descriptor) override;

    struct State;

private:
    std::shared_ptr<State> state_;
};

}  // namespace kelvo
