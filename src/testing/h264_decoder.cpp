#include "testing/h264_decoder.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
}
#include <libyuv.h>
#include <time.h>

#include <cstring>
#include <mutex>
#include <optional>
#include <vector>

namespace kelvo {

namespace {

// Reads an SPS's fields bit by bit. Every read is bounded; a read past the end sets `failed`
// and yields 0, so a parse runs to its end and is judged once.
class BitReader {
public:
    explicit BitReader(std::vector<uint8_t> rbsp) : bytes_(std::move(rbsp)) {}

    bool failed() const { return failed_; }
    void fail() { failed_ = true; }

    uint32_t bits(int n) {
        uint32_t v = 0;
        for (int i = 0; i < n; ++i) {
            if (pos_ >= bytes_.size() * 8) {
                failed_ = true;
                return 0;
            }
            v = v << 1 | ((bytes_[pos_ / 8] >> (7 - pos_ % 8)) & 1u);
            ++pos_;
        }
        return v;
    }

    // Exp-Golomb; values beyond `max` fail.
    uint32_t ue(uint32_t max = 0xFFFF) {
        int zeros = 0;
        while (bits(1) == 0) {
            if (failed_ || ++zeros > 31) {
                failed_ = true;
                return 0;
            }
        }
        const uint64_t v = (uint64_t(1) << zeros) - 1 + bits(zeros);
        if (v > max) {
            failed_ = true;
            return 0;
        }
        return uint32_t(v);
    }

    int32_t se() {
        const uint32_t k = ue(0xFFFFFFFEu);
        return (k & 1) ? int32_t((k + 1) / 2) : -int32_t(k / 2);
    }

private:
    std::vector<uint8_t> bytes_;
    size_t pos_ = 0;
    bool failed_ = false;
};

// The payload of a NAL unit without its header and emulation-prevention bytes.
std::vector<uint8_t> rbsp(std::span<const uint8_t> nal) {
    std::vector<uint8_t> out;
    out.reserve(nal.size());
    int zeros = 0;
    for (size_t i = 1; i < nal.size(); ++i) {
        if (zeros >= 2 && nal[i] == 3) {
            zeros = 0;
            continue;
        }
        zeros = nal[i] == 0 ? zeros + 1 : 0;
        out.push_back(nal[i]);
    }
    return out;
}

bool hasChromaFields(uint32_t profile) {
    switch (profile) {
        case 100: case 110: case 122: case 244: case 44: case 83: case 86: case 118: case 128: case 138:
        case 139: case 134: case 135:
            return true;
        default:
            return false;
    }
}

void skipScalingList(BitReader& r, int size) {
    int last = 8, next = 8;
    for (int j = 0; j < size && !r.failed(); ++j) {
        if (next != 0) {
            const int32_t delta = r.se();
            if (delta < -128 || delta > 127) return r.fail();
            next = (last + delta + 256) % 256;
        }
        last = next == 0 ? last : next;
    }
}

constexpr uint32_t kMaxMbs = 1024;  // 16384 pixels on a side

std::optional<H264Decoder::Dimensions> parseSps(std::span<const uint8_t> sps) {
    if (sps.size() < 4 || (sps[0] & 0x1F) != 7) return std::nullopt;
    BitReader r(rbsp(sps));
    const uint32_t profile = r.bits(8);
    r.bits(16);  // constraint flags, level
    r.ue(31);    // seq_parameter_set_id
    uint32_t chroma = 1;
    bool separatePlanes = false;
    if (hasChromaFields(profile)) {
        chroma = r.ue(3);
        if (chroma == 3) separatePlanes = r.bits(1);
        r.ue(6);  // bit depths
        r.ue(6);
        r.bits(1);
        if (r.bits(1)) {
            for (int i = 0; i < (chroma != 3 ? 8 : 12) && !r.failed(); ++i) {
                if (r.bits(1)) skipScalingList(r, i < 6 ? 16 : 64);
            }
        }
    }
    r.ue(12);  // log2_max_frame_num_minus4
    const uint32_t pocType = r.ue(2);
    if (pocType == 0) {
        r.ue(12);
    } else if (pocType == 1) {
        r.bits(1);
        r.se();
        r.se();
        const uint32_t cycle = r.ue(255);
        for (uint32_t i = 0; i < cycle && !r.failed(); ++i) r.se();
    }
    r.ue(32);  // max_num_ref_frames
    r.bits(1);
    const uint32_t widthMbs = r.ue(kMaxMbs - 1) + 1;
    const uint32_t heightUnits = r.ue(kMaxMbs - 1) + 1;
    const uint32_t frameMbsOnly = r.bits(1);
    if (!frameMbsOnly) r.bits(1);
    r.bits(1);  // direct_8x8_inference
    uint32_t crop[4] = {0, 0, 0, 0};
    if (r.bits(1)) {
        for (auto& c : crop) c = r.ue(8 * kMaxMbs);
    }
    if (r.failed()) return std::nullopt;
    const uint32_t chromaArray = separatePlanes ? 0 : chroma;
    const uint32_t unitX = (chromaArray == 1 || chromaArray == 2) ? 2 : 1;
    const uint32_t unitY = (chromaArray == 1 ? 2 : 1) * (2 - frameMbsOnly);
    const int64_t width = int64_t(widthMbs) * 16 - int64_t(unitX) * (crop[0] + crop[1]);
    const int64_t height = int64_t(2 - frameMbsOnly) * heightUnits * 16 - int64_t(unitY) * (crop[2] + crop[3]);
    if (width <= 0 || height <= 0) return std::nullopt;
    return H264Decoder::Dimensions{int(width), int(height)};
}

uint64_t rawNowUs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC_RAW, &ts);
    return (uint64_t(ts.tv_sec) * 1'000'000'000u + uint64_t(ts.tv_nsec)) / 1000;
}

void quietCodecLog() {
    static std::once_flag once;
    // Failures come back as values; the codec's own chatter would only flood test output.
    std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

struct ContextFree {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};

}  // namespace

std::string H264Decoder::DecodeError::description() const {
    switch (kind) {
        case Kind::format: return "format description failed (" + std::to_string(code) + ")";
        case Kind::session: return "VTDecompressionSessionCreate failed (" + std::to_string(code) + ")";
        case Kind::decode: return "decode failed (" + std::to_string(code) + ")";
        case Kind::noImage: return "decoder produced no image";
    }
    return "decoder produced no image";
}

H264Decoder::H264Decoder(Dimensions dimensions, AVCodecContext* context, AVPacket* packet, AVFrame* frame)
    : dimensions_(dimensions), context_(context), packet_(packet), frame_(frame) {}

H264Decoder::~H264Decoder() {
    av_frame_free(&frame_);
    av_packet_free(&packet_);
    avcodec_free_context(&context_);
}

Expected<std::unique_ptr<H264Decoder>, H264Decoder::DecodeError> H264Decoder::create(std::span<const uint8_t> sps,
                                                                                std::span<const uint8_t> pps) {
    quietCodecLog();
    auto dims = parseSps(sps);
    if (!dims || pps.empty() || (pps[0] & 0x1F) != 8 || sps.size() > 0xFFFF || pps.size() > 0xFFFF) {
        return DecodeError::format(AVERROR_INVALIDDATA);
    }
    // The decoder takes the parameter sets as a decoder configuration record, which also tells
    // it that units carry 4-byte length prefixes.
    std::vector<uint8_t> config = {1, sps[1], sps[2], sps[3], 0xFF, 0xE1, uint8_t(sps.size() >> 8),
                                   uint8_t(sps.size())};
    config.insert(config.end(), sps.begin(), sps.end());
    config.push_back(1);
    config.push_back(uint8_t(pps.size() >> 8));
    config.push_back(uint8_t(pps.size()));
    config.insert(config.end(), pps.begin(), pps.end());

    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    if (!codec) return DecodeError::session(AVERROR_DECODER_NOT_FOUND);
    std::unique_ptr<AVCodecContext, ContextFree> context(avcodec_alloc_context3(codec));
    if (!context) return DecodeError::session(AVERROR(ENOMEM));
    context->extradata = static_cast<uint8_t*>(av_mallocz(config.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!context->extradata) return DecodeError::session(AVERROR(ENOMEM));
    std::memcpy(context->extradata, config.data(), config.size());
    context->extradata_size = int(config.size());
    context->thread_count = 1;
    context->flags |= AV_CODEC_FLAG_LOW_DELAY;
    // A damaged picture is a failed decode, not a concealed one: the tablet reports it.
    context->err_recognition = AV_EF_EXPLODE;
    if (int rc = avcodec_open2(context.get(), codec, nullptr); rc < 0) return DecodeError::session(rc);
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    if (!packet || !frame) {
        av_packet_free(&packet);
        av_frame_free(&frame);
        return DecodeError::session(AVERROR(ENOMEM));
    }
    return std::unique_ptr<H264Decoder>(new H264Decoder(*dims, context.release(), packet, frame));
}

Expected<H264Decoder::Output, H264Decoder::DecodeError> H264Decoder::decode(std::span<const uint8_t> avcc,
                                                                          bool keepImage) {
    if (!context_) return DecodeError::session(-1);
    // An empty packet would put the codec into draining mode for good: nothing in, nothing out.
    if (avcc.empty()) return DecodeError::noImage();
    const uint64_t start = rawNowUs();
    av_packet_unref(packet_);
    if (avcc.size() > size_t(INT32_MAX) - AV_INPUT_BUFFER_PADDING_SIZE) return DecodeError::decode(AVERROR(EINVAL));
    if (int rc = av_new_packet(packet_, int(avcc.size())); rc < 0) return DecodeError::decode(rc);
    std::memcpy(packet_->data, avcc.data(), avcc.size());
    const int sent = avcodec_send_packet(context_, packet_);
    av_packet_unref(packet_);
    if (sent < 0) return DecodeError::decode(sent);

    // Low delay and no reordering: a unit yields its picture at once, or none.
    const int received = avcodec_receive_frame(context_, frame_);
    if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) return DecodeError::noImage();
    if (received < 0) return DecodeError::decode(received);
    if (frame_->decode_error_flags || (frame_->flags & AV_FRAME_FLAG_CORRUPT)) {
        av_frame_unref(frame_);
        return DecodeError::decode(AVERROR_INVALIDDATA);
    }
    Output out;
    out.width = frame_->width;
    out.height = frame_->height;
    if (keepImage) {
        const auto format = AVPixelFormat(frame_->format);
        if (format == AV_PIX_FMT_YUV420P || format == AV_PIX_FMT_YUVJ420P) {
            out.image = PixelBuffer::make(PixelFormat::nv12, out.width, out.height);
            if (out.image) {
                libyuv::I420ToNV12(frame_->data[0], frame_->linesize[0], frame_->data[1], frame_->linesize[1],
                                   frame_->data[2], frame_->linesize[2], out.image->plane(0),
                                   int(out.image->stride(0)), out.image->plane(1), int(out.image->stride(1)),
                                   out.width, out.height);
            }
        }
    }
    av_frame_unref(frame_);
    out.decodeUs = rawNowUs() - start;
    return out;
}

}  // namespace kelvo
