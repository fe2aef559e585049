#include "platform/x11/pen_tablet_event_sink.hpp"

#include "core/util/log.hpp"
#include "platform/x11/x11_permissions.hpp"

namespace kelvo {

PenTabletEventSink::PenTabletEventSink(std::unique_ptr<XTestEventSink> xtest, std::unique_ptr<PenDevice> pen,
                                       std::unique_ptr<X11PenMapping> mapping)
    : xtest_(std::move(xtest)), pen_(std::move(pen)), mapping_(std::move(mapping)) {
    // Written into before the server knows it, the first stroke would spread over the whole
    // desktop: the device is mapped before anything goes into it.
    pen_->onDeviceMade = [this] { mapping_->awaitDevice(kDeviceWaitUs); };
}

PenTabletEventSink::~PenTabletEventSink() {
    std::lock_guard lock(mutex_);
    pen_->lift();
}

void PenTabletEventSink::post(const SynthEvent& event, EventFlags flags) {
    {
        std::lock_guard lock(mutex_);
        if (locked_) return;
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
    }
    xtest_->post(event, flags);
}

void PenTabletEventSink::declareUserActivity() { xtest_->declareUserActivity(); }

void PenTabletEventSink::setSpoofWacom(bool spoof) {
    std::lock_guard lock(mutex_);
    pen_->setSpoofWacom(spoof);
}

void PenTabletEventSink::setLocked(bool locked) {
    {
        std::lock_guard lock(mutex_);
        if (locked) pen_->lift();
        locked_ = locked;
        heldFlags_.reset();  // locking releases the keys XTest held
    }
    xtest_->setLocked(locked);
}

std::shared_ptr<EventSink> makeX11EventSink(const std::string& display, const std::string& uinputPath) {
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
    return std::make_shared<PenTabletEventSink>(std::move(xtest).value(),
                                                std::make_unique<PenDevice>(uinputPenWriterFactory(uinputPath)),
                                                std::move(mapping));
}

}  // namespace kelvo
