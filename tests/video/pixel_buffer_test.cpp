#include "core/video/pixel_buffer.hpp"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstring>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <utility>

#include "core/util/thread_scheduling.hpp"
#include "core/video/pixel_convert.hpp"
#include "support/test_support.hpp"
#include "video_test_support.hpp"

namespace kelvo {
namespace {

TEST(PixelBuffer, PlanesAreAlignedAndSizedForOddDimensions) {
    auto bgra = PixelBuffer::make(PixelFormat::bgra, 33, 7);
    ASSERT_TRUE(bgra);
    EXPECT_EQ(bgra->planeCount(), 1);
    EXPECT_GE(bgra->stride(0), 33u * 4);
    EXPECT_EQ(bgra->stride(0) % PixelBuffer::kAlignment, 0u);

    auto nv12 = PixelBuffer::make(PixelFormat::nv12, 33, 7);
    ASSERT_TRUE(nv12);
    EXPECT_EQ(nv12->planeCount(), 2);
    EXPECT_EQ(nv12->planeHeight(0), 7);
    EXPECT_EQ(nv12->planeHeight(1), 4);
    EXPECT_GE(nv12->stride(1), 34u);  // 17 Cb/Cr pairs
    EXPECT_EQ(reinterpret_cast<uintptr_t>(nv12->plane(1)) % PixelBuffer::kAlignment, 0u);
    // The last chroma row is writable to its end (ASan checks the bound).
    nv12->plane(1)[3 * nv12->stride(1) + 33] = 1;

    EXPECT_FALSE(PixelBuffer::make(PixelFormat::bgra, 0, 10));
    EXPECT_FALSE(PixelBuffer::make(PixelFormat::nv12, 20000, 10));
}

TEST(PixelBufferPool, NeverHandsOutABufferStillHeldAndRecyclesReleasedOnes) {
    auto pool = PixelBufferPool::make(PixelFormat::bgra, 16, 16, 2);
    auto a = pool->take();
    auto b = pool->take();
    ASSERT_TRUE(a && b);
    EXPECT_NE(a->plane(0), b->plane(0));

    // A copy held downstream keeps `a` out of the pool after the producer lets go.
    PixelBufferRef downstream = a;
    const uint8_t* aMemory = a->plane(0);
    a.reset();
    EXPECT_EQ(pool->freeCount(), 0u);
    auto c = pool->take();
    EXPECT_NE(c->plane(0), aMemory);

    downstream.reset();
    EXPECT_EQ(pool->freeCount(), 1u);
    auto d = pool->take();
    EXPECT_EQ(d->plane(0), aMemory);

    // Beyond keepFree, returned buffers are freed rather than kept; buffers outlive their pool.
    b.reset();
    c.reset();
    EXPECT_EQ(pool->freeCount(), 2u);
    pool.reset();
    d->plane(0)[0] = 7;
    d.reset();
}

struct Yuv {
    int y, u, v;
};

Yuv convertSolid(uint8_t r, uint8_t g, uint8_t b) {
    auto src = test::solidBgra(4, 4, r, g, b);
    auto dst = PixelBuffer::make(PixelFormat::nv12, 4, 4);
    EXPECT_TRUE(PixelConvert::bgraToNv12(*src, *dst));
    return {dst->plane(0)[0], dst->plane(1)[0], dst->plane(1)[1]};
}

TEST(PixelConvert, UsesBt709InVideoRange) {
    struct Case {
        uint8_t r, g, b;
        Yuv want;
    };
    // Reference values from the BT.709 equations, rounded.
    const Case cases[] = {
        {255, 255, 255, {235, 128, 128}}, {0, 0, 0, {16, 128, 128}},   {255, 0, 0, {63, 102, 240}},
        {0, 255, 0, {173, 42, 26}},       {0, 0, 255, {32, 240, 118}}, {128, 128, 128, {126, 128, 128}},
    };
    for (const auto& c : cases) {
        Yuv got = convertSolid(c.r, c.g, c.b);
        EXPECT_NEAR(got.y, c.want.y, 1) << int(c.r) << "," << int(c.g) << "," << int(c.b);
        EXPECT_NEAR(got.u, c.want.u, 1) << int(c.r) << "," << int(c.g) << "," << int(c.b);
        EXPECT_NEAR(got.v, c.want.v, 1) << int(c.r) << "," << int(c.g) << "," << int(c.b);
    }
}

TEST(PixelConvert, ChromaAveragesEachBlockAndOddEdgesAreCovered) {
    // Left column black, right column white, on a 3×3 image: the first block mixes both.
    auto src = test::solidBgra(3, 3, 0, 0, 0);
    for (int y = 0; y < 3; ++y) {
        for (int x = 1; x < 3; ++x) {
            std::fill_n(src->plane(0) + y * src->stride(0) + 4 * x, 3, uint8_t(255));
        }
    }
    auto dst = PixelBuffer::make(PixelFormat::nv12, 3, 3);
    std::fill_n(dst->plane(0), dst->stride(0) * 3, uint8_t(0));
    std::fill_n(dst->plane(1), dst->stride(1) * 2, uint8_t(0));
    ASSERT_TRUE(PixelConvert::bgraToNv12(*src, *dst));
    for (int y = 0; y < 3; ++y) {
        EXPECT_EQ(dst->plane(0)[y * dst->stride(0)], 16);
        EXPECT_EQ(dst->plane(0)[y * dst->stride(0) + 2], 235);
    }
    // Every chroma sample, including the odd right column and bottom row, is neutral grey.
    for (int y = 0; y < 2; ++y) {
        for (int x = 0; x < 4; ++x) EXPECT_NEAR(dst->plane(1)[y * dst->stride(1) + x], 128, 1) << x << "," << y;
    }
}

// Chroma sits with the even luma columns (the decoder's default siting): a one-pixel red column
// on grey colours the site on it, or splits evenly between the two sites beside it.
TEST(PixelConvert, ChromaIsSitedWithTheEvenColumns) {
    struct Case {
        int column;
        std::array<bool, 4> coloured;
    };
    const Case cases[] = {
        {0, {true, false, false, false}}, {2, {false, true, false, false}},
        {3, {false, true, true, false}},  {7, {false, false, false, true}},
    };
    for (const auto& c : cases) {
        auto src = test::solidBgra(8, 2, 128, 128, 128);
        for (int y = 0; y < 2; ++y) {
            uint8_t* px = src->plane(0) + y * src->stride(0) + 4 * c.column;
            px[0] = 0, px[1] = 0, px[2] = 255;
        }
        auto dst = PixelBuffer::make(PixelFormat::nv12, 8, 2);
        ASSERT_TRUE(PixelConvert::bgraToNv12(*src, *dst));
        const uint8_t* uv = dst->plane(1);
        for (int site = 0; site < 4; ++site) {
            EXPECT_EQ(uv[2 * site + 1] > 130, c.coloured[site]) << "column " << c.column << ", site " << site;
        }
        if (c.column == 3) {
            EXPECT_EQ(uv[3], uv[5]);
        }
    }
}

TEST(PixelConvert, BandsOnSeveralThreadsGiveTheSameImageAsOne) {
    std::mt19937 rng(7);
    BandWorkers two(2), three(3), four(4);  // kept from frame to frame, as their owners keep them
    for (auto [w, h] : {std::pair{64, 257}, std::pair{33, 512}, std::pair{16, 130}}) {
        auto src = PixelBuffer::make(PixelFormat::bgra, w, h);
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < 4 * w; ++x) src->plane(0)[y * src->stride(0) + x] = uint8_t(rng());
        }
        auto one = PixelBuffer::make(PixelFormat::nv12, w, h);
        ASSERT_TRUE(PixelConvert::bgraToNv12(*src, *one));
        for (BandWorkers* workers : {&two, &three, &four}) {
            const int parts = workers->parts();
            auto many = PixelBuffer::make(PixelFormat::nv12, w, h);
            ASSERT_TRUE(PixelConvert::bgraToNv12(*src, *many, workers));
            for (int p = 0; p < 2; ++p) {
                for (int y = 0; y < one->planeHeight(p); ++y) {
                    ASSERT_EQ(0, std::memcmp(one->plane(p) + y * one->stride(p), many->plane(p) + y * many->stride(p),
                                             size_t(p == 0 ? w : (w + 1) / 2 * 2)))
                        << w << "×" << h << " in " << parts << ", plane " << p << " row " << y;
                }
            }
        }
    }
}

// A larger screen streamed at a smaller size: resampled and converted in bands, as one pass does.
TEST(PixelConvert, ScalingInBandsGivesTheSameImageAsOnePass) {
    std::mt19937 rng(11);
    BandWorkers two(2), three(3);
    struct Sizes {
        int sw, sh, w, h;
    };
    for (auto [sw, sh, w, h] : {Sizes{683, 512, 512, 384}, Sizes{300, 301, 128, 130}, Sizes{100, 90, 160, 144}}) {
        auto src = PixelBuffer::make(PixelFormat::bgra, sw, sh);
        for (int y = 0; y < sh; ++y) {
            for (int x = 0; x < 4 * sw; ++x) src->plane(0)[y * src->stride(0) + x] = uint8_t(rng());
        }
        auto scaled = PixelBuffer::make(PixelFormat::bgra, w, h);
        auto one = PixelBuffer::make(PixelFormat::nv12, w, h);
        ASSERT_TRUE(PixelConvert::scale(*src, *scaled));
        ASSERT_TRUE(PixelConvert::bgraToNv12(*scaled, *one));
        for (BandWorkers* workers : {static_cast<BandWorkers*>(nullptr), &two, &three}) {
            const int parts = workers ? workers->parts() : 1;
            auto scratch = PixelBuffer::make(PixelFormat::bgra, w, h);
            auto many = PixelBuffer::make(PixelFormat::nv12, w, h);
            ASSERT_TRUE(PixelConvert::scaleToNv12(BgraView::of(*src), *scratch, *many, workers));
            for (int p = 0; p < 2; ++p) {
                for (int y = 0; y < one->planeHeight(p); ++y) {
                    ASSERT_EQ(0, std::memcmp(one->plane(p) + y * one->stride(p), many->plane(p) + y * many->stride(p),
                                             size_t(p == 0 ? w : (w + 1) / 2 * 2)))
                        << sw << "×" << sh << " → " << w << "×" << h << " in " << parts << ", plane " << p << " row " << y;
                }
            }
        }
        auto wrongScratch = PixelBuffer::make(PixelFormat::bgra, w + 2, h);
        EXPECT_FALSE(PixelConvert::scaleToNv12(BgraView::of(*src), *wrongScratch, *one, &two));
    }
}

// Frame after frame, each band runs once, on the same few threads, which are scheduled as the
// thread that first used them (a lowered one here, as an encoder's) and gone with their owner.
TEST(BandWorkers, RunEveryBandOnceOnLastingThreadsScheduledAsTheirUser) {
    ASSERT_TRUE(test::noThreadNamed("kv.convert")) << "workers of an earlier test live on";
    bool lowered = false;
    std::thread user([&] {
        if (!(lowered = lowerToBatch(3))) return;
        const int nice = ::getpriority(PRIO_PROCESS, id_t(::gettid()));
        BandWorkers workers(3);
        std::mutex m;
        std::set<pid_t> threads;
        for (int job = 0; job < 50; ++job) {
            std::array<std::atomic<int>, 5> runs{};
            workers.run(5, [&](int band) {
                ++runs[size_t(band)];
                std::lock_guard g(m);
                threads.insert(::gettid());
            });
            for (auto& r : runs) ASSERT_EQ(r.load(), 1) << "job " << job;
        }
        EXPECT_LE(threads.size(), 3u);
        auto started = test::threadsNamed("kv.convert");
        ASSERT_EQ(started.size(), 2u);
        for (auto t : started) {
            EXPECT_EQ(t.policy, SCHED_BATCH);
            EXPECT_EQ(t.nice, nice);
        }
    });
    user.join();
    if (!lowered) GTEST_SKIP() << "the kernel keeps this thread's scheduling";
    EXPECT_TRUE(test::noThreadNamed("kv.convert")) << "joined with their owner";
}

TEST(PixelConvert, RefusesMismatchedFormatsOrSizesAndScalesWithinAFormat) {
    auto bgra = test::solidBgra(8, 8, 255, 0, 0);
    auto small = PixelBuffer::make(PixelFormat::nv12, 4, 4);
    EXPECT_FALSE(PixelConvert::bgraToNv12(*bgra, *small));
    EXPECT_FALSE(PixelConvert::bgraToNv12(*small, *small));
    EXPECT_FALSE(PixelConvert::scale(*bgra, *small));

    auto half = PixelBuffer::make(PixelFormat::bgra, 4, 4);
    ASSERT_TRUE(PixelConvert::scale(*bgra, *half));
    EXPECT_EQ(half->plane(0)[2], 255);  // red survives
    EXPECT_EQ(half->plane(0)[1], 0);
}

}  // namespace
}  // namespace kelvo
