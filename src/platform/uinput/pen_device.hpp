#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>

#include "core/input/synth_event.hpp"

namespace kelvo {

// What a pen device is made with: its name, identity and axis ranges.
struct PenDeviceSetup {
    std::string name;
    uint16_t vendor = 0;
    uint16_t product = 0;
    int32_t maxPosition = 0;  // both axes run 0…maxPosition
    int32_t maxPressure = 0;
};

// Writes evdev events into one pen device (a uinput device, or a recording in tests).
class PenEventWriter {
public:
    virtual ~PenEventWriter() = default;
    // False when the device no longer takes events.
    virtual bool write(uint16_t type, uint16_t code, int32_t value) = 0;
};

// Makes a device for a setup; null when it cannot.
using PenWriterFactory = std::function<std::unique_ptr<PenEventWriter>(const PenDeviceSetup&)>;

// Devices through the kernel's uinput at `path`; the device disappears when its writer is
// destroyed. Null writers where the path cannot be opened for writing.
PenWriterFactory uinputPenWriterFactory(std::string path = "/dev/uinput");

// A pressure-sensitive pen with an eraser end, driven by the tablet's pen events. Positions are
// fractions (0…1) of the area the device is mapped onto. The device is made on the first pen
// event and again when its vendor id must change. A pen a contact brought in (no proximity events,
// as with pressure-only tablet events) leaves proximity again when that stroke ends. Used from one
// queue at a time.
class PenDevice {
public:
    static constexpr uint16_t vendorKelvo = 0x4B56;
    static constexpr uint16_t vendorWacom = 0x056A;
    static constexpr uint16_t productPen = 0x4B02;
    static constexpr int32_t maxPosition = 65535;
    static constexpr int32_t maxPressure = 4095;
    static constexpr const char* deviceName = "Kelvo Pen";

    explicit PenDevice(PenWriterFactory factory);
    // Lifts the pen first.
    ~PenDevice();

    // Whether the device reports the well-known tablet maker's vendor id; takes effect when the
    // pen next comes into proximity.
    void setSpoofWacom(bool spoof);
    // The pen (or its eraser end) comes near the surface or leaves it.
    bool proximity(bool enter, bool eraser);
    // Contact, movement and lift with pressure 0…1. A contact without proximity brings the pen in.
    // False when no device took the event (also for movement and lift of a pen not in proximity).
    bool tablet(TabletAction action, double x, double y, double pressure);
    // Ends contact and proximity, so nothing stays pressed (lock, teardown).
    void lift();

    bool inProximity() const { return tool_ != 0; }

    // Called when a device was made, before anything is written into it.
    std::function<void()> onDeviceMade;

private:
    bool ensureDevice();
    bool emit(std::initializer_list<std::array<int32_t, 3>> events);

    PenWriterFactory factory_;
    std::unique_ptr<PenEventWriter> writer_;
    uint16_t vendor_ = 0;  // of the device made
    bool spoofWacom_ = false;
    uint16_t tool_ = 0;  // BTN_TOOL_PEN or BTN_TOOL_RUBBER while in proximity
    bool touching_ = false;
    bool contactBroughtIn_ = false;  // in proximity only for the stroke under way
};

}  // namespace kelvo
