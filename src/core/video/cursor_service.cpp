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

CursorService::~CursorService() {
    // Released while watching, perhaps from inside the watch's own task: the descriptor it
    // watches closes with the source, so the source goes in a later task.
    if (watch_) {
        watch_.reset();
        queue_->post([source = std::move(source_)] {});
    }
}

template <class F>
Task CursorService::weakly(F work) {
    return [weak = weak_from_this(), work = std::move(work)] {
        auto self = weak.lock();
        if (self && !self->stopped_) work(*self);
    };
}

template <class F>
void CursorService::onQueue(F work) {
    queue_->dispatch(weakly(std::move(work)));
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
        if (!s.startWatching()) s.startPolling();
    });
}

void CursorService::startPolling() {
    shapeTimer_ = queue_->makeTimer();
    shapeTimer_->scheduleRepeating(kShapeIntervalUs, weakly([](CursorService& s) { s.updateShape(false); }));
    positionTimer_ = queue_->makeTimer();
    positionTimer_->scheduleRepeating(kPositionIntervalUs, weakly([](CursorService& s) { s.positionTick(); }),
                                      kPositionLeewayUs, 0);
}

bool CursorService::startWatching() {
    const int fd = source_->changeFd();
    if (fd < 0 || !(watch_ = queue_->watchFd(fd))) return false;
    positionTimer_ = queue_->makeTimer();
    warpTimer_ = queue_->makeTimer();
    warpTimer_->scheduleRepeating(kWarpPollUs, weakly([](CursorService& s) { s.samplePosition(); }));
    watchChanges();
    samplePosition();
    return true;
}

void CursorService::watchChanges() {
    watch_->waitReadable(weakly([](CursorService& s) {
        s.catchUp();
        if (s.source_->changeFd() >= 0) {
            s.watchChanges();
        } else {
            // The desktop's connection ended: its descriptor would read as ready for ever.
            Log::w("cursor", "the pointer's events ended; its position is read only now and then");
            s.watch_.reset();
        }
    }));
}

// Reads what the source has to tell: true when the pointer, or the shape sent with it, may have
// changed.
bool CursorService::readChanges() {
    const uint32_t shapeBefore = currentShapeId_;
    updateShape(false);
    return source_->takeMotion() || currentShapeId_ != shapeBefore;
}

void CursorService::catchUp() {
    if (readChanges()) samplePosition();
}

// While watching, nothing reads the position on its own: what changes the state sends it.
void CursorService::stateChanged() {
    if (warpTimer_) samplePosition();
}

// Reads the position now, or once a sampling period has passed since the last read: a pointer
// that moves without pause is still read only about 120 times a second.
void CursorService::samplePosition() {
    if (positionTimer_->armed()) return;
    const uint64_t now = queue_->nowUs();
    if (lastSampleUs_ && now < *lastSampleUs_ + kPositionIntervalUs) {
        positionTimer_->scheduleOnce(*lastSampleUs_ + kPositionIntervalUs - now,
                                     weakly([](CursorService& s) { s.samplePosition(); }), kPositionLeewayUs);
        return;
    }
    lastSampleUs_ = now;
    positionTick();
    // The reply waited for may have taken events off the descriptor, which then stays quiet
    // about them.
    if (readChanges()) {
        positionTimer_->scheduleOnce(kPositionIntervalUs, weakly([](CursorService& s) { s.samplePosition(); }),
                                     kPositionLeewayUs);
    }
}

void CursorService::stop() {
    queue_->dispatch([self = shared_from_this()] {
        if (self->stopped_) return;
        self->stopped_ = true;
        for (auto* timer : {&self->shapeTimer_, &self->positionTimer_, &self->warpTimer_}) {
            if (*timer) (*timer)->cancel();
        }
        self->watch_.reset();
    });
    // From elsewhere: a task that is reading or sending has returned, and every later one
    // finds the service stopped.
    queue_->drain();
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
        s.stateChanged();
    });
}

void CursorService::setHideOnTouch(bool hide) {
    onQueue([hide](CursorService& s) {
        s.hideOnTouch_ = hide;
        s.stateChanged();
    });
}

void CursorService::touchActivity(bool touching) {
    onQueue([touching](CursorService& s) {
        s.touching_ = touching;
        if (touching) {
            s.touchHidden_ = true;
        } else {
            s.touchEndUs_ = s.queue_->nowUs();
        }
        s.stateChanged();
    });
}

void CursorService::resendAll() {
    onQueue([](CursorService& s) {
        s.sentShapes_.clear();
        s.lastSerial_.reset();
        s.lastSent_.reset();
        if (s.started_ && s.source_) s.updateShape(true);
        s.stateChanged();
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
