#pragma once

#include "core/video/band_workers.hpp"
#include "core/video/pixel_buffer.hpp"

namespace kelvo {

// BGRA pixels in memory the caller owns (a shared-memory segment, a server's reply): `height`
// rows of `stride` bytes.
struct BgraView {
    const uint8_t* data = nullptr;
    size_t stride = 0;
    int width = 0;
    int height = 0;

    static BgraView of(const PixelBuffer& buffer) {
        return {buffer.plane(0), buffer.stride(0), buffer.width(), buffer.height()};
    }
};

// Conversion and scaling between pixel buffers. Pure; any thread; the caller owns both buffers.
struct PixelConvert {
    // BGRA to NV12 with the BT.709 matrix in video range (Y 16…235, Cb/Cr 16…240); chroma is the
    // average of each 2×2 block. False (destination untouched) unless the formats are BGRA and
    // NV12 and the sizes are equal. Alpha is ignored: frames are opaque. With `workers`, bands of
    // rows are converted on up to workers->parts() threads at once (this one included), so a
    // large frame's conversion takes a share of the time an encode on as many cores takes;
    // without, in one band on this thread.
    static bool bgraToNv12(const PixelBuffer& src, PixelBuffer& dst, BandWorkers* workers = nullptr);
    // The same from pixels in place, without copying them into a buffer first.
    static bool bgraToNv12(const BgraView& src, PixelBuffer& dst, BandWorkers* workers = nullptr);

    // Resamples `src` to the size of `dst` through `scratch` (BGRA, that size too) and converts
    // it as bgraToNv12() does, in bands on `workers`: both steps of a band while its rows are
    // fresh in the cache. False unless the formats and sizes are those.
    static bool scaleToNv12(const BgraView& src, PixelBuffer& scratch, PixelBuffer& dst,
                            BandWorkers* workers = nullptr);
    // Resamples `src` into `dst` (box filter when shrinking). False unless both have the same
    // format.
    static bool scale(const PixelBuffer& src, PixelBuffer& dst);
    // BGRA pixels in place into a BGRA buffer.
    static bool scale(const BgraView& src, PixelBuffer& dst);
};

}  // namespace kelvo
