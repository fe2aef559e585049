#include "core/video/pixel_buffer.hpp"

#include <cstdlib>
#include <new>

#include "core/util/log.hpp"

namespace kelvo {

namespace {

constexpr int kMaxSide = 16384;

size_t alignUp(size_t n) { return (n + PixelBuffer::kAlignment - 1) / PixelBuffer::kAlignment * PixelBuffer::kAlignment; }

}  // namespace

std::string_view pixelFormatName(PixelFormat format) noexcept {
    return format == PixelFormat::bgra ? "BGRA" : "NV12";
}

struct PixelBufferPool::Private {};

PixelBuffer::PixelBuffer(PixelFormat format, int width, int height, uint8_t* data, const size_t offset[2],
                         const size_t stride[2])
    : format_(format), width_(width), height_(height), data_(data), offset_{offset[0], offset[1]},
      stride_{stride[0], stride[1]} {}

PixelBuffer::~PixelBuffer() { std::free(data_); }

std::shared_ptr<PixelBuffer> PixelBuffer::make(PixelFormat format, int width, int height) {
    return allocate(format, width, height);
}

std::unique_ptr<PixelBuffer> PixelBuffer::allocate(PixelFormat format, int width, int height) {
    if (width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide) return nullptr;
    size_t stride[2] = {0, 0};
    size_t offset[2] = {0, 0};
    size_t total = 0;
    if (format == PixelFormat::bgra) {
        stride[0] = alignUp(size_t(width) * 4);
        total = stride[0] * size_t(height);
    } else {
        stride[0] = alignUp(size_t(width));
        stride[1] = alignUp(size_t((width + 1) / 2) * 2);
        offset[1] = stride[0] * size_t(height);
        total = offset[1] + stride[1] * size_t((height + 1) / 2);
    }
    auto* data = static_cast<uint8_t*>(std::aligned_alloc(kAlignment, total));
    if (!data) {
        Log::w("video", [&] {
            return "cannot allocate " + std::string(pixelFormatName(format)) + " buffer " +
                   std::to_string(width) + "x" + std::to_string(height);
        });
        return nullptr;
    }
    return std::unique_ptr<PixelBuffer>(new PixelBuffer(format, width, height, data, offset, stride));
}

PixelBufferPool::PixelBufferPool(Private, PixelFormat format, int width, int height, size_t keepFree)
    : format_(format), width_(width), height_(height), keepFree_(keepFree) {}

std::shared_ptr<PixelBufferPool> PixelBufferPool::make(PixelFormat format, int width, int height,
                                                       size_t keepFree) {
    return std::make_shared<PixelBufferPool>(Private{}, format, width, height, keepFree);
}

PixelBufferRef PixelBufferPool::take() {
    std::unique_ptr<PixelBuffer> buffer;
    {
        std::lock_guard g(m_);
        if (!free_.empty()) {
            buffer = std::move(free_.back());
            free_.pop_back();
        }
    }
    if (!buffer) buffer = PixelBuffer::allocate(format_, width_, height_);
    if (!buffer) return nullptr;
    std::weak_ptr<PixelBufferPool> weak = weak_from_this();
    return PixelBufferRef(buffer.release(), [weak](PixelBuffer* b) {
        if (auto pool = weak.lock()) {
            pool->recycle(b);
        } else {
            delete b;
        }
    });
}

void PixelBufferPool::recycle(PixelBuffer* buffer) {
    std::unique_ptr<PixelBuffer> owned(buffer);
    std::lock_guard g(m_);
    if (free_.size() < keepFree_) free_.push_back(std::move(owned));
}

size_t PixelBufferPool::freeCount() const {
    std::lock_guard g(m_);
    return free_.size();
}

}  // namespace kelvo
