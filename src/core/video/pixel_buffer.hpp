#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

namespace kelvo {

// bgra: one plane, 4 bytes per pixel in memory order B, G, R, A (premultiplied alpha).
// nv12: 4:2:0, a luma plane and an interleaved Cb/Cr plane at half size, BT.709 video range.
enum class PixelFormat { bgra, nv12 };

std::string_view pixelFormatName(PixelFormat format) noexcept;  // "BGRA" / "NV12"

// An image in memory with one or two planes. Shared through PixelBufferRef: whoever holds a
// reference may read it; only the producer writes, before handing it on. Not thread-safe for
// concurrent writes.
class PixelBuffer {
public:
    // Plane rows start on this many bytes so that SIMD loads and cairo surfaces fit.
    static constexpr size_t kAlignment = 64;

    // nullptr when the size is not positive, exceeds 16384 on a side, or memory runs out.
    static std::shared_ptr<PixelBuffer> make(PixelFormat format, int width, int height);

    ~PixelBuffer();
    PixelBuffer(const PixelBuffer&) = delete;
    PixelBuffer& operator=(const PixelBuffer&) = delete;

    PixelFormat format() const { return format_; }
    int width() const { return width_; }
    int height() const { return height_; }
    int planeCount() const { return format_ == PixelFormat::bgra ? 1 : 2; }
    // Plane 0 is the image (bgra) or luma (nv12); plane 1 is the Cb/Cr pairs of nv12.
    uint8_t* plane(int index) { return data_ + offset_[index]; }
    const uint8_t* plane(int index) const { return data_ + offset_[index]; }
    size_t stride(int index) const { return stride_[index]; }
    int planeHeight(int index) const { return index == 0 ? height_ : (height_ + 1) / 2; }

private:
    friend class PixelBufferPool;
    static std::unique_ptr<PixelBuffer> allocate(PixelFormat format, int width, int height);
    PixelBuffer(PixelFormat format, int width, int height, uint8_t* data, const size_t offset[2],
                const size_t stride[2]);

    PixelFormat format_;
    int width_;
    int height_;
    uint8_t* data_;  // owned, aligned
    size_t offset_[2];
    size_t stride_[2];
};

using PixelBufferRef = std::shared_ptr<PixelBuffer>;

// Hands out buffers of one format and size and takes them back when the last reference goes,
// so a buffer still held anywhere downstream is never handed out again. Thread-safe; buffers
// may outlive the pool (they are then freed instead of recycled).
class PixelBufferPool : public std::enable_shared_from_this<PixelBufferPool> {
public:
    // `keepFree`: how many returned buffers are kept for reuse; more are freed.
    static std::shared_ptr<PixelBufferPool> make(PixelFormat format, int width, int height,
                                                 size_t keepFree = 4);

    // A recycled buffer (contents as last written) or a new one; nullptr when memory runs out
    // or the size is invalid.
    PixelBufferRef take();

    PixelFormat format() const { return format_; }
    int width() const { return width_; }
    int height() const { return height_; }
    size_t freeCount() const;

    struct Private;
    PixelBufferPool(Private, PixelFormat format, int width, int height, size_t keepFree);

private:
    void recycle(PixelBuffer* buffer);

    PixelFormat format_;
    int width_;
    int height_;
    size_t keepFree_;
    mutable std::mutex m_;
    std::vector<std::unique_ptr<PixelBuffer>> free_;
};

}  // namespace kelvo
