#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "core/video/pixel_buffer.hpp"

namespace kelvo {

// Why a source could not start or ended on its own; English, for logs and session endings.
struct SourceError {
    // Where the desktop tells, whether the user ended or refused the capture: a session treats
    // those as the user's decision rather than a fault to retry.
    enum class Kind { failed, userStopped, userDeclined };

    std::string description;
    Kind kind = Kind::failed;
};

// A source of pixel buffers, each with the Clock time (µs) it was captured at. Screen capture
// and the test pattern implement it; the session streams either the same way.
class FrameSource {
public:
    using FrameHandler = std::function<void(const PixelBufferRef& buffer, uint64_t captureUs)>;
    using ErrorHandler = std::function<void(const SourceError& error)>;
    using StartCompletion = std::function<void(std::optional<SourceError> error)>;

    virtual ~FrameSource() = default;

    // Called once per delivered frame, on the source's queue. Set before start().
    virtual void setOnFrame(FrameHandler handler) = 0;
    // Called on the source's queue when delivery ends on its own.
    virtual void setOnError(ErrorHandler handler) = 0;
    // Begins delivering; the completion (on the source's queue) reports success or why not.
    virtual void start(StartCompletion completion) = 0;
    // Ends delivery: once it returns, no frame is delivered any more.
    virtual void stop() = 0;
    // Changes the delivery rate (frames per second).
    virtual void setFrameRate(int fps) = 0;
};

}  // namespace kelvo
