#include "core/video/pixel_convert.hpp"

#include <libyuv.h>

#include <algorithm>
#include <atomic>
#include <vector>

namespace kelvo {

namespace {

// BT.709 video-range coefficients in 1/32768 units. Luma: 219/255 × (Kr, Kg, Kb); chroma:
// 224/255 × the Cb and Cr rows of the matrix, each row summing to zero so greys have no colour.
constexpr int kYR = 5983, kYG = 20127, kYB = 2032;
constexpr int kUR = -3298, kUG = -11094, kUB = 14392;
constexpr int kVR = 14392, kVG = -13073, kVB = -1319;

inline uint8_t luma(int b, int g, int r) {
    return uint8_t((kYR * r + kYG * g + kYB * b + (16 << 15) + (1 << 14)) >> 15);
}

// The chroma of the site at `a` and `c` (an even column of two rows): [1 2 1] across around that
// column (the codec's default siting: chroma with the even luma column), both rows averaged; `p`
// and `n` are the byte offsets of the left and right neighbours (0 at an edge: the pixel stands in).
inline void chromaAt(const uint8_t* a, const uint8_t* c, int p, int n, uint8_t* uv) {
    const int b = a[p] + 2 * a[0] + a[n] + c[p] + 2 * c[0] + c[n];
    const int g = a[p + 1] + 2 * a[1] + a[n + 1] + c[p + 1] + 2 * c[1] + c[n + 1];
    const int r = a[p + 2] + 2 * a[2] + a[n + 2] + c[p + 2] + 2 * c[2] + c[n + 2];
    // Sums of weight eight: shift three more bits to average them.
    uv[0] = uint8_t((kUR * r + kUG * g + kUB * b + (128 << 18) + (1 << 17)) >> 18);
    uv[1] = uint8_t((kVR * r + kVG * g + kVB * b + (128 << 18) + (1 << 17)) >> 18);
}

// One pair of rows (the second may repeat the first at an odd bottom edge). Written as a plain
// loop so that the compiler vectorises it; the AVX2 clone is picked at load time where the CPU has it.
__attribute__((target_clones("avx2", "default"))) void convertRowPair(
    const uint8_t* __restrict s0, const uint8_t* __restrict s1, uint8_t* __restrict y0, uint8_t* __restrict y1,
    uint8_t* __restrict uv, int width) {
    for (int x = 0; x < width; ++x) {
        y0[x] = luma(s0[4 * x], s0[4 * x + 1], s0[4 * x + 2]);
        y1[x] = luma(s1[4 * x], s1[4 * x + 1], s1[4 * x + 2]);
    }
    const int sites = (width + 1) / 2;
    if (sites == 0) return;
    // The first and last sites have a missing neighbour; the ones between take both.
    chromaAt(s0, s1, 0, width > 1 ? 4 : 0, uv);
    const int last = sites - 1;
    for (int i = 1; i < last; ++i) chromaAt(s0 + 8 * i, s1 + 8 * i, -4, 4, uv + 2 * i);
    if (last > 0) chromaAt(s0 + 8 * last, s1 + 8 * last, -4, 2 * last + 1 < width ? 4 : 0, uv + 2 * last);
}

// Rows [first, end) of the conversion; `first` is even.
void convertRows(const BgraView& src, PixelBuffer& dst, int first, int end) {
    const int w = src.width, h = src.height;
    const uint8_t* s = src.data;
    uint8_t* y = dst.plane(0);
    int row = first;
    for (; row + 1 < end; row += 2) {
        convertRowPair(s + size_t(row) * src.stride, s + size_t(row + 1) * src.stride,
                       y + size_t(row) * dst.stride(0), y + size_t(row + 1) * dst.stride(0),
                       dst.plane(1) + size_t(row / 2) * dst.stride(1), w);
    }
    if (row < end && row == h - 1) {
        // The last row of an odd height pairs with itself; its twin luma row goes to scratch.
        std::vector<uint8_t> twin(static_cast<size_t>(w));
        const uint8_t* last = s + size_t(h - 1) * src.stride;
        convertRowPair(last, last, y + size_t(h - 1) * dst.stride(0), twin.data(),
                       dst.plane(1) + size_t(h / 2) * dst.stride(1), w);
    }
}

// Rows scaled and then converted in one go (even).
constexpr int kRowsInCache = 32;

// Runs `rows` [first, end) of a picture `rows` high in bands of whole row pairs, on up to
// workers->parts() threads (this one included), and not so thin that waking a worker costs more
// than it saves.
template <typename Rows>
void inBands(int rows, BandWorkers* workers, const Rows& run) {
    const int parts = workers ? std::clamp(workers->parts(), 1, std::max(1, rows / 64)) : 1;
    if (parts == 1) return run(0, rows);
    auto bandStart = [&](int i) { return i == parts ? rows : (rows / 2) * i / parts * 2; };
    workers->run(parts, [&](int i) { run(bandStart(i), bandStart(i + 1)); });
}

}  // namespace

bool PixelConvert::bgraToNv12(const PixelBuffer& src, PixelBuffer& dst, BandWorkers* workers) {
    if (src.format() != PixelFormat::bgra) return false;
    return bgraToNv12(BgraView::of(src), dst, workers);
}

bool PixelConvert::bgraToNv12(const BgraView& src, PixelBuffer& dst, BandWorkers* workers) {
    if (dst.format() != PixelFormat::nv12 || !src.data) return false;
    if (src.width != dst.width() || src.height != dst.height()) return false;
    inBands(dst.height(), workers, [&](int first, int end) { convertRows(src, dst, first, end); });
    return true;
}

bool PixelConvert::scaleToNv12(const BgraView& src, PixelBuffer& scratch, PixelBuffer& dst, BandWorkers* workers) {
    if (dst.format() != PixelFormat::nv12 || scratch.format() != PixelFormat::bgra || !src.data) return false;
    if (src.width <= 0 || src.height <= 0 || scratch.width() != dst.width() || scratch.height() != dst.height()) {
        return false;
    }
    std::atomic<bool> scaled{true};
    const BgraView between = BgraView::of(scratch);
    inBands(dst.height(), workers, [&](int first, int end) {
        // A few rows at a time, converted while they are still in the cache. Each resamples the
        // whole source's geometry into its own rows: the same pixels as one pass would give.
        for (int top = first; top < end; top += kRowsInCache) {
            const int bottom = std::min(end, top + kRowsInCache);
            if (libyuv::ARGBScaleClip(src.data, int(src.stride), src.width, src.height, scratch.plane(0),
                                      int(scratch.stride(0)), scratch.width(), scratch.height(), 0, top,
                                      scratch.width(), bottom - top, libyuv::kFilterBox) != 0) {
                scaled = false;
                return;
            }
            convertRows(between, dst, top, bottom);
        }
    });
    return scaled;
}

bool PixelConvert::scale(const PixelBuffer& src, PixelBuffer& dst) {
    if (src.format() != dst.format()) return false;
    if (src.format() == PixelFormat::bgra) return scale(BgraView::of(src), dst);
    return libyuv::NV12Scale(src.plane(0), int(src.stride(0)), src.plane(1), int(src.stride(1)), src.width(),
                             src.height(), dst.plane(0), int(dst.stride(0)), dst.plane(1), int(dst.stride(1)),
                             dst.width(), dst.height(), libyuv::kFilterBox) == 0;
}

bool PixelConvert::scale(const BgraView& src, PixelBuffer& dst) {
    if (dst.format() != PixelFormat::bgra || !src.data || src.width <= 0 || src.height <= 0) return false;
    return libyuv::ARGBScale(src.data, int(src.stride), src.width, src.height, dst.plane(0), int(dst.stride(0)),
                             dst.width(), dst.height(), libyuv::kFilterBox) == 0;
}

}  // namespace kelvo
