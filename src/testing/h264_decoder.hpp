#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "core/video/pixel_buffer.hpp"
#include "core/util/expected.hpp"

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

namespace kelvo {

// Decodes the host's H.264 stream for the simulated tablet, synchronously, one access unit at
// a time. Made for one SPS/PPS pair; a new pair needs a new decoder. Not thread-safe: use it
// from one queue. Logs nothing; every failure comes back as a DecodeError.
class H264Decoder {
public:
    struct Output {
        int width = 0;  // of the decoded image
        int height = 0;
        uint64_t decodeUs = 0;  // time the decode took
        PixelBufferRef image;   // NV12 copy of the picture, only when asked for
    };

    struct DecodeError {
        enum class Kind { format, session, decode, noImage };
        Kind kind = Kind::noImage;
        int32_t code = 0;  // the decoder's status (negative error codes); unused for noImage

        static DecodeError format(int32_t code) { return {Kind::format, code}; }
        static DecodeError session(int32_t code) { return {Kind::session, code}; }
        static DecodeError decode(int32_t code) { return {Kind::decode, code}; }
        static DecodeError noImage() { return {Kind::noImage, 0}; }

        // The carried status; −1 for noImage.
        int32_t status() const { return kind == Kind::noImage ? -1 : code; }
        // Fixed English texts, e.g. "decode failed (-22)", "decoder produced no image".
        std::string description() const;
        bool operator==(const DecodeError&) const = default;
    };

    struct Dimensions {
        int width = 0;
        int height = 0;
        bool operator==(const Dimensions&) const = default;
    };

    // `sps` and `pps`: one parameter set each, NAL header first, no start code or prefix.
    // Error format when the pair does not describe a stream, session when the decoder cannot open.
    static Expected<std::unique_ptr<H264Decoder>, DecodeError> create(std::span<const uint8_t> sps,
                                                                   std::span<const uint8_t> pps);
    ~H264Decoder();
    H264Decoder(const H264Decoder&) = delete;
    H264Decoder& operator=(const H264Decoder&) = delete;

    // One access unit in length-prefixed form (4-byte big-endian lengths). Blocks until the
    // picture is out. `keepImage` also returns an NV12 copy of it (tests).
    Expected<Output, DecodeError> decode(std::span<const uint8_t> avcc, bool keepImage = false);

    // The picture size that the SPS declares (cropping applied).
    Dimensions dimensions() const { return dimensions_; }

private:
    H264Decoder(Dimensions dimensions, AVCodecContext* context, AVPacket* packet, AVFrame* frame);

    Dimensions dimensions_;
    AVCodecContext* context_;  // owned
    AVPacket* packet_;         // owned, reused
    AVFrame* frame_;           // owned, reused
};

}  // namespace kelvo
