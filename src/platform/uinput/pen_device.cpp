#include "platform/uinput/pen_device.hpp"

#include <fcntl.h>
#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>
#include <linux/input.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "core/util/log.hpp"
#include "core/util/unique_fd.hpp"

namespace kelvo {

namespace {

class UinputPenWriter final : public PenEventWriter {
public:
    UinputPenWriter(UniqueFd fd, libevdev_uinput* device) : fd_(std::move(fd)), device_(device) {}
    // The device goes before the descriptor it was made through.
    ~UinputPenWriter() override { libevdev_uinput_destroy(device_); }

    bool write(uint16_t type, uint16_t code, int32_t value) override {
        return libevdev_uinput_write_event(device_, type, code, value) == 0;
    }

private:
    UniqueFd fd_;
    libevdev_uinput* device_;
};

std::unique_ptr<PenEventWriter> makeUinputPen(const std::string& path, const PenDeviceSetup& setup) {
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_CLOEXEC));
    if (!fd) {
        Log::w("inject", "cannot open " + path + " for the pen: " + std::strerror(errno));
        return nullptr;
    }
    std::unique_ptr<libevdev, decltype(&libevdev_free)> dev(libevdev_new(), &libevdev_free);
    libevdev_set_name(dev.get(), setup.name.c_str());
    libevdev_set_id_bustype(dev.get(), BUS_USB);
    libevdev_set_id_vendor(dev.get(), setup.vendor);
    libevdev_set_id_product(dev.get(), setup.product);
    // The tablet is a screen: the pen points at what it touches.
    libevdev_enable_property(dev.get(), INPUT_PROP_DIRECT);
    input_absinfo position{};
    position.maximum = setup.maxPosition;
    position.resolution = 100;  // units per millimetre; stacks want one, the value hardly matters
    input_absinfo pressure{};
    pressure.maximum = setup.maxPressure;
    libevdev_enable_event_code(dev.get(), EV_ABS, ABS_X, &position);
    libevdev_enable_event_code(dev.get(), EV_ABS, ABS_Y, &position);
    libevdev_enable_event_code(dev.get(), EV_ABS, ABS_PRESSURE, &pressure);
    for (unsigned code : {BTN_TOOL_PEN, BTN_TOOL_RUBBER, BTN_TOUCH, BTN_STYLUS}) {
        libevdev_enable_event_code(dev.get(), EV_KEY, code, nullptr);
    }
    libevdev_uinput* device = nullptr;
    if (int err = libevdev_uinput_create_from_device(dev.get(), fd.get(), &device); err != 0) {
        Log::w("inject", "cannot make the uinput pen: " + std::string(std::strerror(-err)));
        return nullptr;
    }
    Log::i("inject", "uinput pen \"" + setup.name + "\" made, vendor " + std::to_string(setup.vendor));
    return std::make_unique<UinputPenWriter>(std::move(fd), device);
}

}  // namespace

PenWriterFactory uinputPenWriterFactory(std::string path) {
    return [path = std::move(path)](const PenDeviceSetup& setup) { return makeUinputPen(path, setup); };
}

PenDevice::PenDevice(PenWriterFactory factory) : factory_(std::move(factory)) {}

PenDevice::~PenDevice() { lift(); }

void PenDevice::setSpoofWacom(bool spoof) { spoofWacom_ = spoof; }

bool PenDevice::ensureDevice() {
    uint16_t wanted = spoofWacom_ ? vendorWacom : vendorKelvo;
    if (writer_ && vendor_ == wanted) return true;
    writer_.reset();
    writer_ = factory_ ? factory_({deviceName, wanted, productPen, maxPosition, maxPressure}) : nullptr;
    vendor_ = wanted;
    if (writer_ && onDeviceMade) onDeviceMade();
    return writer_ != nullptr;
}

bool PenDevice::emit(std::initializer_list<std::array<int32_t, 3>> events) {
    if (!writer_) return false;
    for (const auto& e : events) {
        if (!writer_->write(static_cast<uint16_t>(e[0]), static_cast<uint16_t>(e[1]), e[2])) {
            Log::w("inject", "the pen device stopped taking events; it is made again on the next stroke");
            writer_.reset();
            tool_ = 0;
            touching_ = false;
            return false;
        }
    }
    return true;
}

bool PenDevice::proximity(bool enter, bool eraser) {
    if (!enter) {
        lift();
        return true;
    }
    uint16_t tool = eraser ? BTN_TOOL_RUBBER : BTN_TOOL_PEN;
    if (tool_ == tool) {
        contactBroughtIn_ = false;  // now held by proximity events, not by the stroke
        return true;
    }
    lift();
    // A new vendor id needs a new device; it is only swapped while the pen is away.
    if (!ensureDevice()) return false;
    if (!emit({{EV_KEY, tool, 1}, {EV_SYN, SYN_REPORT, 0}})) return false;
    tool_ = tool;
    return true;
}

bool PenDevice::tablet(TabletAction action, double x, double y, double pressure) {
    if (tool_ == 0) {
        // Only a contact brings the pen in on its own, so a device that cannot be made is tried
        // once a stroke, not at every movement.
        if (action != TabletAction::down || !proximity(true, false)) return false;
        contactBroughtIn_ = true;
    }
    auto scale = [](double v, int32_t max) {
        return static_cast<int32_t>(std::lround(std::clamp(std::isfinite(v) ? v : 0.0, 0.0, 1.0) * max));
    };
    int32_t ax = scale(x, maxPosition), ay = scale(y, maxPosition);
    int32_t p = action == TabletAction::up ? 0 : scale(pressure, maxPressure);
    bool touch = action != TabletAction::up;
    bool ok = touch == touching_
                  ? emit({{EV_ABS, ABS_X, ax}, {EV_ABS, ABS_Y, ay}, {EV_ABS, ABS_PRESSURE, p}, {EV_SYN, SYN_REPORT, 0}})
                  : emit({{EV_ABS, ABS_X, ax}, {EV_ABS, ABS_Y, ay}, {EV_ABS, ABS_PRESSURE, p},
                          {EV_KEY, BTN_TOUCH, touch ? 1 : 0}, {EV_SYN, SYN_REPORT, 0}});
    if (ok) touching_ = touch;
    // Nothing else would take the pen out: a tool left in proximity keeps the desktop in pen mode.
    if (ok && !touch && contactBroughtIn_) lift();
    return ok;
}

void PenDevice::lift() {
    // A failed write drops the device, which releases everything by itself.
    if (touching_) emit({{EV_ABS, ABS_PRESSURE, 0}, {EV_KEY, BTN_TOUCH, 0}, {EV_SYN, SYN_REPORT, 0}});
    if (tool_ != 0) emit({{EV_KEY, tool_, 0}, {EV_SYN, SYN_REPORT, 0}});
    touching_ = false;
    tool_ = 0;
    contactBroughtIn_ = false;
}

}  // namespace kelvo
