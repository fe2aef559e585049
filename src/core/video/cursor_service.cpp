#include "core/video/cursor_service.hpp"

#include <bit>
#include <cmath>

#include "core/protocol/records.hpp"
#include "core/protocol/wire.hpp"
#include "core/transport/channel.hpp"
#include "core/util/fnv.hpp"
#include "core/util/log.hpp"
#include "core/video/cursor_source.hpp"
#include "core/video/png_encoder.hpp"

namespace kelvo {

namespace {

// The pixels in memory order, then the hot spot (points) as two little-endian doubles: equal
// images with equal hot spots share one shape whatever the desktop calls them.
uint64_t fingerprint(const CursorImage& image) {
    const size_t count = size_t(image.width) * size_t(image.height);
    std::span<const uint8_t> pixels(reinterpret_cast<const uint8_t*>(image.argb.data()), count * 4);
    uint64_t hash = FNV::fnv1a64(pixels, FNV::kOffsetBasis64);
    for (double v : {double(image.hotX), double(image.hotY)}) {
        uint64_t bits = std::bit_cast<uint64_t>(v);
        uint8_t bytes[8];
        for (int i = 0; i < 8; ++i) bytes[i] = uint8_t(bits >> (8 * i));
        hash = FNV::fnv1a64(bytes, hash);
    }
    return hash;
}

}  // namespace

struct CursorService::Private {};

std::shared_ptr<CursorService> CursorService::make(std::shared_ptr<Channel> channel, Rect region, int streamWidth,
                                                   bool hideOnTouch, std::shared_ptr<Executor> queue,
                                                   std::shared_ptr<CursorSource> source) {
    return std::make_shared<CursorService>(Private{}, std::move(channel), region, streamWidth, hideOnTouch,
                                           std::move(queue), std::move(source));
}

CursorService::CursorService(Private, std::shared_ptr<Channel> channel, Rect region, int streamWidth,
                             bool hideOnTouch, std::shared_ptr<Executor> queue, std::shared_ptr<CursorSource> source)
    : channel_(std::move(channel)),
      queue_(std::move(queue)),
      source_(std::move(source)),
      region_(region),
      streamWidth_(std::max(streamWidth, 1)),
      hideOnTouch_(hideOnTouch) {}

CursorService::~CursorService() = default;  // the timers cancel themselves

template <class F>
void CursorService::onQueue(F work) {
    queue_->dispatch([weak = weak_from_this(), work = std::move(work)]() mutable {
        auto self = weak.lock();
        if (!self) return;
        std::lock_guard lock(self->gate_);
        if (self->stopped_) return;
        work(*self);
    });
}

void CursorService::start() {
    onQueue([](CursorService& s) {
        if (s.started_) return;
        s.started_ = true;
        if (!s.source_) {
            Log::w("cursor", "the desktop's pointer cannot be read: the tablet draws none");
            return;
        }
        s.updateShape(true);
        std::weak_ptr<CursorService> weak = s.weak_from_this();
        s.shapeTimer_ = s.queue_->makeTimer();
        s.shapeTimer_->scheduleRepeating(kShapeIntervalUs, [weak] {
            if (auto self = weak.lock()) {
                std::lock_guard lock(self->gate_);
                if (!self->stopped_) self->updateShape(false);
            }
        });
        s.positionTimer_ = s.queue_->makeTimer();
        s.positionTimer_->scheduleRepeating(
            kPositionIntervalUs,
            [weak] {
                if (auto self = weak.lock()) {
                    std::lock_guard lock(self->gate_);
                    if (!self->stopped_) self->positionTick();
                }
            },
            kPositionLeewayUs, 0);
    });
}

void CursorService::stop() {
    {
        // Waits for a task that is reading or sending; every later one finds stopped_.
        std::lock_guard lock(gate_);
        if (stopped_) return;
        stopped_ = true;
    }
    // Weakly: a released service's timers go with it.
    queue_->dispatch([weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self) return;
        if (self->shapeTimer_) self->shapeTimer_->cancel();
        if (self->positionTimer_) self->positionTimer_->cancel();
    });
}

void CursorService::setRegion(Rect region, int streamWidth) {
    onQueue([region, streamWidth](CursorService& s) {
        s.region_ = region;
        s.streamWidth_ = std::max(streamWidth, 1);
        s.lastSent_.reset();
        s.shapesByFingerprint_.clear();
        s.sentShapes_.clear();
        s.lastSerial_.reset();
        if (s.started_ && s.source_) s.updateShape(true);
    });
}

void CursorService::setHideOnTouch(bool hide) {
    onQueue([hide](CursorService& s) { s.hideOnTouch_ = hide; });
}

void CursorService::touchActivity(bool touching) {
    onQueue([touching](CursorService& s) {
        s.touching_ = touching;
        if (touching) {
            s.touchHidden_ = true;
        } else {
            s.touchEndUs_ = s.queue_->nowUs();
        }
    });
}

void CursorService::resendAll() {
    onQueue([](CursorService& s) {
        s.sentShapes_.clear();
        s.lastSerial_.reset();
        s.lastSent_.reset();
        if (s.started_ && s.source_) s.updateShape(true);
    });
}

void CursorService::updateShape(bool force) {
    const uint64_t serial = source_->shapeSerial();
    if (!force && lastSerial_ == serial) return;
    // Set before building, so an image that cannot be made into a shape is not tried again
    // until it changes or an update is forced.
    lastSerial_ = serial;
    const Shape* shape = buildShape();
    if (!shape) return;
    if (!sentShapes_.contains(shape->id)) {
        KVCursorShapeHeader header;
        header.shapeId = shape->id;
        header.hotX = Wire::norm(shape->hot.x);
        header.hotY = Wire::norm(shape->hot.y);
        header.width = Wire::norm(shape->sizePt.width / std::max(region_.width, 1.0));
        header.height = Wire::norm(shape->sizePt.height / std::max(region_.height, 1.0));
        header.pngLength = uint32_t(shape->png.size());
        channel_->send(MsgType::cursorShape, Channel::Parts{Wire::pod(header), shape->png});
        sentShapes_.insert(shape->id);
        Log::d("cursor", "shape " + std::to_string(shape->id) + " " + std::to_string(int(shape->sizePt.width)) + "×" +
                             std::to_string(int(shape->sizePt.height)) + ", " + std::to_string(shape->png.size()) +
                             " bytes of PNG");
    }
    currentShapeId_ = shape->id;
}

const CursorService::Shape* CursorService::buildShape() {
    std::optional<CursorImage> image = source_->image();
    if (!image || image->width <= 0 || image->height <= 0 ||
        image->argb.size() < size_t(image->width) * size_t(image->height)) {
        return nullptr;
    }
    const uint64_t print = fingerprint(*image);
    if (auto found = shapesByFingerprint_.find(print); found != shapesByFingerprint_.end()) return &found->second;
    auto png = PngEncoder::encodePremultipliedArgb(image->width, image->height, image->argb);
    if (!png) return nullptr;
    Shape shape;
    shape.id = nextShapeId_++;
    shape.png = std::move(*png);
    shape.hot = {double(image->hotX) / image->width, double(image->hotY) / image->height};
    shape.sizePt = {double(image->width), double(image->height)};
    return &shapesByFingerprint_.emplace(print, std::move(shape)).first->second;
}

void CursorService::positionTick() {
    std::optional<Point> location = source_->location();
    if (!location) return;
    const bool moved = lastLocation_ && *lastLocation_ != *location;
    lastLocation_ = location;
    if (touchHidden_ && !touching_ && moved && queue_->nowUs() >= touchEndUs_ + kTouchHideUs) touchHidden_ = false;

    Sent state;
    state.id = currentShapeId_;
    if (contains(region_, *location)) {
        state.visible = !hideOnTouch_ || (!touching_ && !touchHidden_);
        state.x = Wire::norm((location->x - minX(region_)) / region_.width);
        state.y = Wire::norm((location->y - minY(region_)) / region_.height);
    }
    // The tablet has no image to show before the first shape.
    if (state.visible && state.id == 0) return;
    if (lastSent_ && lastSent_->visible == state.visible && lastSent_->id == state.id) {
        if (!state.visible) return;
        // Less than a quarter of a stream pixel either way is jitter.
        const double quarterPixel = Wire::normMax / streamWidth_ * 0.25;
        if (std::abs(int(state.x) - int(lastSent_->x)) < quarterPixel &&
            std::abs(int(state.y) - int(lastSent_->y)) < quarterPixel) {
            return;
        }
    }
    send(state);
}

void CursorService::send(const Sent& state) {
    KVCursorState record;
    record.shapeId = state.id;
    record.x = state.x;
    record.y = state.y;
    record.visible = state.visible ? 1 : 0;
    channel_->send(MsgType::cursorState, Wire::pod(record));
    lastSent_ = state;
}

}  // namespace kelvo
