#include "platform/x11/pen_tablet_event_sink.hpp"

#include <utility>

#include "core/util/log.hpp"
#include "platform/x11/x11_permissions.hpp"

namespace kelvo {

// A new device's writer: what is written into it waits until the sink releases it.
class PenTabletEventSink::HeldWriter final : public PenEventWriter {
public:
    HeldWriter(PenTabletEventSink& sink, std::unique_ptr<PenEventWriter> device)
        : sink_(sink), device_(std::move(device)) {}
    // Called with the sink's mutex held, or from its destructor. What it holds goes with it.
    ~HeldWriter() override {
        if (sink_.newDevice_ == this) sink_.newDevice_ = nullptr;
    }

    bool write(uint16_t type, uint16_t code, int32_t value) override {
        if (holding_) {
            held_.push_back({type, code, value});
            return true;
        }
        return !failed_ && device_->write(type, code, value);
    }

    void release() {
        holding_ = false;
        for (const auto& e : held_) {
            // Reported at the next write, where the pen device drops this device and makes a
            // new one on the next stroke, as for a write that fails at once.
            if (!device_->write(static_cast<uint16_t>(e[0]), static_cast<uint16_t>(e[1]), e[2])) {
                failed_ = true;
                break;
            }
        }
        held_.clear();
    }

private:
    PenTabletEventSink& sink_;
    std::unique_ptr<PenEventWriter> device_;
    bool holding_ = true;
    bool failed_ = false;
    std::vector<std::array<int32_t, 3>> held_;
};

PenTabletEventSink::PenTabletEventSink(std::unique_ptr<XTestEventSink> xtest, PenWriterFactory pen,
                                       std::unique_ptr<X11PenMapping> mapping, std::shared_ptr<Executor> queue)
    : xtest_(std::move(xtest)),
      mapping_(std::move(mapping)),
      queue_(std::move(queue)),
      checkTimer_(queue_->makeTimer()),
      pen_(std::make_unique<PenDevice>(
          [this, pen = std::move(pen)](const PenDeviceSetup& setup) -> std::unique_ptr<PenEventWriter> {
              auto device = pen ? pen(setup) : nullptr;
              if (!device) return nullptr;
              auto held = std::make_unique<HeldWriter>(*this, std::move(device));
              newDeviceMade(*held);
              return held;
          })) {}

PenTabletEventSink::~PenTabletEventSink() {
    std::lock_guard lock(mutex_);
    pen_->lift();
}

void PenTabletEventSink::post(const SynthEvent& event, EventFlags flags) {
    std::lock_guard lock(mutex_);
    if (locked_) return;
    if (newDevice_) checkNewDevice();
    if (newDevice_) {
        heldPosts_.push_back({event, flags});
        return;
    }
    inject(event, flags);
}

void PenTabletEventSink::inject(const SynthEvent& event, EventFlags flags) {
    if (const auto* p = std::get_if<synth::Proximity>(&event)) {
        if (p->enter) mapping_->refresh();
        pen_->proximity(p->enter, p->eraser);
        return;
    }
    if (const auto* t = std::get_if<synth::Tablet>(&event)) {
        if (t->action == TabletAction::down) mapping_->refresh();
        Rect area = mapping_->areaFor(t->point.x, t->point.y);
        double x = area.width > 0 ? (t->point.x - area.x) / area.width : 0;
        double y = area.height > 0 ? (t->point.y - area.y) / area.height : 0;
        // A sidebar modifier held while drawing (Shift for straight lines) must be down on
        // the keyboard when the pen moves.
        if (heldFlags_ != flags) {
            xtest_->post(synth::FlagsChanged{0, flags}, flags);
            heldFlags_ = flags;
        }
        if (pen_->tablet(t->action, x, y, t->pressure)) return;
        // No pen device: the stroke still draws, without pressure.
    }
    if (const auto* f = std::get_if<synth::FlagsChanged>(&event)) {
        heldFlags_ = f->flags;
    } else if (std::holds_alternative<synth::Magnify>(event)) {
        heldFlags_.reset();
    } else {
        heldFlags_ = flags;
    }
    xtest_->post(event, flags);
}

void PenTabletEventSink::newDeviceMade(HeldWriter& device) {
    newDevice_ = &device;
    newDeviceMadeUs_ = queue_->nowUs();
    // A stroke that ends while held must not wait for the next one.
    checkTimer_->scheduleRepeating(kDeviceCheckUs, [weak = weak_from_this()] {
        if (auto self = weak.lock()) {
            std::lock_guard lock(self->mutex_);
            self->checkNewDevice();
        }
    });
}

void PenTabletEventSink::checkNewDevice() {
    if (newDevice_) {
        const uint64_t waitedUs = queue_->nowUs() - newDeviceMadeUs_;
        if (mapping_->mapIfListed()) {
            Log::i("inject", "pen device listed by the X server after " + std::to_string(waitedUs / 1000) + " ms");
        } else if (waitedUs < kDeviceWaitUs) {
            return;
        } else {
            Log::w("inject", "the X server did not list the pen device within " + std::to_string(kDeviceWaitUs / 1000) +
                                 " ms: its strokes may spread over the whole desktop");
        }
        std::exchange(newDevice_, nullptr)->release();
    }
    checkTimer_->cancel();
    // A held post may make yet another device: the ones after it wait for that one.
    for (auto& held : std::exchange(heldPosts_, {})) {
        if (newDevice_) {
            heldPosts_.push_back(std::move(held));
        } else {
            inject(held.event, held.flags);
        }
    }
}

void PenTabletEventSink::declareUserActivity() { xtest_->declareUserActivity(); }

void PenTabletEventSink::setSpoofWacom(bool spoof) {
    std::lock_guard lock(mutex_);
    pen_->setSpoofWacom(spoof);
}

void PenTabletEventSink::setLocked(bool locked) {
    {
        std::lock_guard lock(mutex_);
        if (locked) {
            pen_->lift();
            heldPosts_.clear();  // the lock screen must not receive them
        }
        locked_ = locked;
        heldFlags_.reset();  // locking releases the keys XTest held
    }
    xtest_->setLocked(locked);
}

std::shared_ptr<EventSink> makeX11EventSink(const std::string& display, std::shared_ptr<Executor> queue,
                                            const std::string& uinputPath) {
    auto xtest = XTestEventSink::connect(display);
    if (!xtest.ok()) {
        Log::w("inject", "no system input: " + xtest.error());
        return nullptr;
    }
    if (!X11Permissions::penDevice(uinputPath.c_str())) {
        Log::i("inject", uinputPath + " is not writable: pen strokes go through XTest, without pressure");
        return std::shared_ptr<EventSink>(std::move(xtest).value());
    }
    auto mapping = X11PenMapping::open(display, PenDevice::deviceName);
    if (!mapping) {
        // Unmapped, the pen's strokes would not land where the tablet shows them.
        Log::i("inject", "the pen cannot be mapped onto a monitor: pen strokes go through XTest, without pressure");
        return std::shared_ptr<EventSink>(std::move(xtest).value());
    }
    return std::make_shared<PenTabletEventSink>(std::move(xtest).value(), uinputPenWriterFactory(uinputPath),
                                                std::move(mapping), std::move(queue));
}

}  // namespace kelvo
