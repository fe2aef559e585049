#pragma once

#include <cmath>
#include <cstdint>
#include <future>
#include <random>

#include "core/video/h264_encoder.hpp"
#include "core/video/pixel_buffer.hpp"

namespace kelvo::test {

// Encodes one frame and waits for its result.
inline EncodeResult encodeSync(H264Encoder& encoder, PixelBufferRef buffer, uint64_t ptsUs, bool key = false) {
    std::promise<EncodeResult> done;
    auto result = done.get_future();
    encoder.encode(std::move(buffer), ptsUs, key, [&done](EncodeResult r) { done.set_value(std::move(r)); });
    return result.get();
}

// A BGRA buffer filled with one colour.
inline PixelBufferRef solidBgra(int w, int h, uint8_t r, uint8_t g, uint8_t b) {
    auto buf = PixelBuffer::make(PixelFormat::bgra, w, h);
    for (int y = 0; y < h; ++y) {
        uint8_t* row = buf->plane(0) + size_t(y) * buf->stride(0);
        for (int x = 0; x < w; ++x) {
            row[4 * x] = b;
            row[4 * x + 1] = g;
            row[4 * x + 2] = r;
            row[4 * x + 3] = 255;
        }
    }
    return buf;
}

// An NV12 buffer of random luma and chroma: as incompressible as pictures get.
inline PixelBufferRef noiseNv12(int w, int h, std::mt19937& rng) {
    auto buf = PixelBuffer::make(PixelFormat::nv12, w, h);
    for (int p = 0; p < 2; ++p) {
        for (int y = 0; y < buf->planeHeight(p); ++y) {
            uint8_t* row = buf->plane(p) + size_t(y) * buf->stride(p);
            for (int x = 0; x < w; ++x) row[x] = uint8_t(16 + rng() % 220);
        }
    }
    return buf;
}

inline double lumaPsnr(const PixelBuffer& a, const PixelBuffer& b) {
    double sse = 0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            const double d = double(a.plane(0)[size_t(y) * a.stride(0) + x]) - b.plane(0)[size_t(y) * b.stride(0) + x];
            sse += d * d;
        }
    }
    const double mse = sse / (double(a.width()) * a.height());
    return mse == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / mse);
}

}  // namespace kelvo::test
