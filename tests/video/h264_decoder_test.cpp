#include "testing/h264_decoder.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "core/video/h264_encoder.hpp"
#include "video_test_support.hpp"

namespace kelvo {
namespace {

using Bytes = std::vector<uint8_t>;

// Two frames of a solid picture: a key frame and the P frame after it.
std::vector<EncodedFrame> encodeTwo(int w, int h) {
    H264Encoder encoder(EncoderConfig{w, h, 30, 1'000'000, H264Profile::high, std::nullopt});
    EXPECT_FALSE(encoder.start());
    std::vector<EncodedFrame> out;
    for (int i = 0; i < 2; ++i) {
        auto r = test::encodeSync(encoder, test::solidBgra(w, h, 200, 100, uint8_t(50 + i)), uint64_t(i));
        EXPECT_TRUE(r.ok() && r.value());
        if (r.ok() && r.value()) out.push_back(*r.value());
    }
    return out;
}

TEST(H264Decoder, DeclaresTheCroppedSizeOfItsSps) {
    // 118 rows is 7.375 macroblocks: the SPS codes 128 and crops 10.
    auto frames = encodeTwo(200, 118);
    ASSERT_EQ(frames.size(), 2u);
    auto decoder = H264Decoder::create(*frames[0].sps, *frames[0].pps);
    ASSERT_TRUE(decoder.ok()) << decoder.error().description();
    EXPECT_EQ(decoder.value()->dimensions(), (H264Decoder::Dimensions{200, 118}));
    for (const auto& f : frames) {
        auto out = decoder.value()->decode(f.data);
        ASSERT_TRUE(out.ok()) << out.error().description();
        EXPECT_EQ(out.value().width, 200);
        EXPECT_EQ(out.value().height, 118);
        EXPECT_FALSE(out.value().image);  // only on request
    }
}

TEST(H264Decoder, ReportsEveryFailureAsAValue) {
    auto frames = encodeTwo(64, 64);
    ASSERT_EQ(frames.size(), 2u);
    const Bytes& sps = *frames[0].sps;
    const Bytes& pps = *frames[0].pps;

    auto noSps = H264Decoder::create(Bytes{0x67, 0x64}, pps);
    ASSERT_FALSE(noSps.ok());
    EXPECT_EQ(noSps.error().kind, H264Decoder::DecodeError::Kind::format);
    EXPECT_FALSE(H264Decoder::create(pps, sps).ok());  // swapped
    EXPECT_FALSE(H264Decoder::create(sps, Bytes{}).ok());

    auto decoder = H264Decoder::create(sps, pps);
    ASSERT_TRUE(decoder.ok());
    // Nothing to decode: no picture.
    auto empty = decoder.value()->decode(Bytes{});
    ASSERT_FALSE(empty.ok());
    EXPECT_EQ(empty.error().status(), -1);
    EXPECT_EQ(empty.error().description(), "decoder produced no image");
    // A P frame before any key frame has nothing to refer to; a damaged slice cannot decode.
    EXPECT_FALSE(decoder.value()->decode(frames[1].data).ok());
    Bytes damaged = frames[0].data;
    for (size_t i = damaged.size() / 2; i < damaged.size(); ++i) damaged[i] ^= 0x5A;
    auto bad = decoder.value()->decode(damaged);
    ASSERT_FALSE(bad.ok());
    EXPECT_EQ(bad.error().kind, H264Decoder::DecodeError::Kind::decode);
    EXPECT_EQ(bad.error().description(), "decode failed (" + std::to_string(bad.error().code) + ")");
    // It recovers at the next intact key frame.
    EXPECT_TRUE(decoder.value()->decode(frames[0].data).ok());

    EXPECT_EQ(H264Decoder::DecodeError::format(0).description(), "format description failed (0)");
    EXPECT_EQ(H264Decoder::DecodeError::session(-5).description(), "VTDecompressionSessionCreate failed (-5)");
}

}  // namespace
}  // namespace kelvo
