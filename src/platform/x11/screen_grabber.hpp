#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "core/util/expected.hpp"
#include "core/video/pixel_convert.hpp"

namespace kelvo {

// A rectangle of whole root-window pixels.
struct PixelRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    friend bool operator==(const PixelRect&, const PixelRect&) = default;
};

// Pixels read from the screen, in the grabber's own memory: BGRA, the alpha byte undefined. Valid
// until the next read.
struct ScreenImage {
    uint8_t* data = nullptr;
    size_t stride = 0;
    int width = 0;
    int height = 0;
    BgraView view() const { return {data, stride, width, height}; }
};

// Reads rectangles of an X screen as BGRA: through a shared-memory segment where the
// server can attach one, else by plain GetImage. Tracks damage to the root, so that an
// unchanged screen need not be read again. Its own connection; one thread at a time.
class ScreenGrabber {
public:
    // Fails with a reason when the server cannot be reached or its root is not 32-bit BGRX.
    // Without `sharedMemory` every read is a plain GetImage.
    static Expected<std::unique_ptr<ScreenGrabber>, std::string> connect(const std::string& display,
                                                                         bool sharedMemory = true);
    ~ScreenGrabber();
    ScreenGrabber(const ScreenGrabber&) = delete;
    ScreenGrabber& operator=(const ScreenGrabber&) = delete;

    // Whether anything was drawn on the screen since the last call. A true answer resets the
    // damage before returning, so a change made while the caller then reads is seen next time.
    // With `withCursor`, a pointer that moved or changed its image since the last call counts
    // as drawn: it is part of the picture.
    bool takeDamage(bool withCursor = false);
    // Reads the notices that have arrived, resetting nothing: whether takeDamage() would find
    // something drawn on the screen (the pointer aside).
    bool damagePending();
    // The same once the server has answered a request sent now: a busy client's requests that it
    // served before this one have raised their notices by then.
    bool damagePendingAfterRoundTrip();
    // takeDamage() without the pointer, exact to the moment of the call: what the server drew
    // before it counts, and what it draws after it returns raises a new notice.
    bool takeDamageAndSync();
    // Turns readable when damage may have been reported; -1 when damage is not tracked.
    int damageFd() const;
    // `area` of the root, read where it lands (no copy). Absent when the read failed (the area
    // left the screen, the server went away).
    std::optional<ScreenImage> read(const PixelRect& area);
    // Draws the pointer over `image`, whose top-left pixel is root (x, y): as takeDamage(true)
    // last saw it, else as it is now.
    void compositeCursor(const ScreenImage& image, int x, int y);
    bool usesSharedMemory() const;
    // The connection to the server broke: nothing can be read any more.
    bool lost() const;

    struct Impl;
    explicit ScreenGrabber(std::unique_ptr<Impl> impl);

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace kelvo
