#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/display/display_error.hpp"
#include "core/display/display_mode_catalog.hpp"
#include "core/display/display_services.hpp"
#include "core/display/virtual_display.hpp"
#include "core/settings/settings_enums.hpp"
#include "core/util/expected.hpp"

namespace kelvo {

// Who a display is for: `key` (the tablet's stable identity) decides reuse and the virtual
// display's serial number; `name` is shown to the user.
struct DeviceIdentity {
    std::string key;
    std::string name;
    bool operator==(const DeviceIdentity&) const = default;
};

// The display one tablet session shows. Main thread only.
class DisplaySource {
public:
    virtual ~DisplaySource() = default;
    virtual DisplayId displayID() const = 0;
    virtual bool isVirtual() const = 0;
    virtual Orientation orientation() const = 0;
    // Called on the main queue when the display server removes the display on its own.
    std::function<void()> onTerminated;
};

// A virtual display made for one tablet. Lives as long as the last reference; destroying it
// removes the display (and logs it).
class VirtualDisplaySource final : public DisplaySource, public std::enable_shared_from_this<VirtualDisplaySource> {
public:
    static constexpr uint32_t kVendorId = 0x4B56;
    static constexpr uint32_t kProductIdLandscape = 0x0A01;
    static constexpr uint32_t kProductIdPortrait = 0x0A02;
    static constexpr size_t kMaxNameCharacters = 31;
    static constexpr double kRefreshHz = 60.0;

    // Makes the display with the catalog's HiDPI modes at 60 Hz; `landscapeMM` is the tablet's
    // size as measured in landscape. Fails with unavailable or createFailed. Termination is
    // reported on `mainQueue`.
    static Expected<std::shared_ptr<VirtualDisplaySource>, DisplayError> make(
        VirtualDisplayFactory& factory, std::shared_ptr<Executor> mainQueue, const DeviceIdentity& identity,
        Orientation orientation, SizeD landscapeMM, std::optional<DisplayPreset> preferred,
        ModeRegistrationUnit unit);

    // "Kelvo · <tablet name>", cut to 31 user-perceived characters.
    static std::string displayName(const std::string& tabletName);

    ~VirtualDisplaySource() override;

    DisplayId displayID() const override { return display_->displayID(); }
    bool isVirtual() const override { return true; }
    Orientation orientation() const override { return orientation_; }

    struct Private;
    VirtualDisplaySource(Private, Orientation orientation, std::unique_ptr<VirtualDisplay> display);

private:
    Orientation orientation_;
    std::unique_ptr<VirtualDisplay> display_;
};

// A display that exists already (a monitor the user picked). Never reports termination.
class ExternalDisplaySource final : public DisplaySource {
public:
    // Fails with notFound when the display is not online; never changes its mode.
    static Expected<std::shared_ptr<ExternalDisplaySource>, DisplayError> make(DisplayServices& services,
                                                                                DisplayId displayID,
                                                                                Orientation orientation);

    ExternalDisplaySource(DisplayId displayID, Orientation orientation)
        : displayID_(displayID), orientation_(orientation) {}

    DisplayId displayID() const override { return displayID_; }
    bool isVirtual() const override { return false; }
    Orientation orientation() const override { return orientation_; }

private:
    DisplayId displayID_;
    Orientation orientation_;
};

// The first `count` user-perceived characters (extended grapheme clusters) of UTF-8 `text`.
std::string prefixCharacters(const std::string& text, size_t count);

}  // namespace kelvo
