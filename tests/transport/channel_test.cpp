#include "core/transport/channel.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <future>
#include <mutex>
#include <thread>

#include "core/protocol/byte_order.hpp"
#include "core/protocol/handshake_messages.hpp"
#include "core/runtime/manual_executor.hpp"
#include "core/transport/direct_connector.hpp"
#include "core/transport/tcp_listener.hpp"
#include "support/test_support.hpp"
#include "transport_test_util.hpp"

namespace kelvo {
namespace {

using namespace std::chrono_literals;

// Collects what a channel reports (on its queue) for the test thread.
struct Recorder {
    explicit Recorder(const std::shared_ptr<Channel>& channel) {
        channel->onMessage = [this](WireMessage m) {
            std::lock_guard g(lock);
            messages.push_back(std::move(m));
        };
        channel->onClose = [this](std::optional<ChannelError> e) {
            std::lock_guard g(lock);
            ++closes;
            reason = e;
        };
        channel->onDrain = [this] { ++drains; };
    }
    size_t messageCount() {
        std::lock_guard g(lock);
        return messages.size();
    }
    bool waitClosed() {
        return test::waitUntil([&] {
            std::lock_guard g(lock);
            return closes > 0;
        });
    }
    std::mutex lock;
    std::vector<WireMessage> messages;
    int closes = 0;
    std::optional<ChannelError> reason;
    std::atomic<int> drains{0};
};

// A channel on one end of a socket pair, with a recorder; the test plays the peer on `peer`.
struct PairFixture {
    PairFixture() : channel(makeChannel(peer, queue)), rec(channel) {}
    ~PairFixture() {
        // Synchronously, so that no callback reaches a test's locals afterwards.
        runSync(*queue, [&] {
            channel->onMessage = nullptr;
            channel->onClose = nullptr;
            channel->onDrain = nullptr;
            channel->close();
        });
    }
    static std::shared_ptr<Channel> makeChannel(UniqueFd& peer, const std::shared_ptr<Executor>& queue) {
        auto [a, b] = test::socketPair();
        peer = std::move(b);
        return Channel::create(std::move(a), "ctrl", queue, SocketOptions::ctrl);
    }
    std::shared_ptr<Executor> queue = AsioExecutor::makeQueue("kv.s.ctrl");
    UniqueFd peer;
    std::shared_ptr<Channel> channel;
    Recorder rec;
};

// The next `n` bytes the channel sends; fewer if it hangs up or stops sending.
std::vector<uint8_t> readExactly(int fd, size_t n) {
    std::vector<uint8_t> out(n);
    size_t done = 0;
    while (done < n && test::readable(fd)) {
        ssize_t r = ::recv(fd, out.data() + done, n - done, 0);
        if (r <= 0) break;
        done += static_cast<size_t>(r);
    }
    out.resize(done);
    return out;
}

TEST(Channel, SequenceGapsAreLoggedButEveryMessageIsDelivered) {
    PairFixture f;
    auto& rec = f.rec;
    test::LogCapture log;
    f.channel->start();
    std::vector<uint8_t> stream;
    for (uint32_t seq : {1u, 2u, 3u, 5u, 6u, 0xFFFFFFFFu, 0u}) {
        auto frame = test::rawFrame(0x04, seq, {static_cast<uint8_t>(seq)});
        stream.insert(stream.end(), frame.begin(), frame.end());
    }
    test::writeAll(f.peer.get(), stream);
    ASSERT_TRUE(test::waitUntil([&] { return rec.messageCount() == 7; }));
    EXPECT_EQ(log.messages("chan"),
              (std::vector<std::string>{"ctrl: seq jump 3 \u2192 5", "ctrl: seq jump 6 \u2192 4294967295"}));
    std::lock_guard g(rec.lock);
    EXPECT_EQ(rec.messages[3], (WireMessage{0x04, 5, {5}}));
    EXPECT_EQ(rec.messages[6].seq, 0u);
}

TEST(Channel, BadMagicClosesWithProtocolErrorAfterTheGoodFrames) {
    PairFixture f;
    auto& rec = f.rec;
    f.channel->start();
    auto stream = test::rawFrame(0x05, 1, {9});
    stream.resize(stream.size() + 16, 0);
    test::writeAll(f.peer.get(), stream);
    ASSERT_TRUE(rec.waitClosed());
    std::lock_guard g(rec.lock);
    EXPECT_EQ(rec.messages.size(), 1u);
    ASSERT_TRUE(rec.reason);
    EXPECT_EQ(rec.reason->description(), "protocol error: bad magic 0x0000");
    // The descriptor is released: the peer sees end of stream.
    EXPECT_TRUE(test::waitUntil([&] {
        char c;
        return ::recv(f.peer.get(), &c, 1, MSG_DONTWAIT) == 0;
    }));
}

TEST(Channel, TwoFramesThenEndOfStreamDeliverBothThenEof) {
    PairFixture f;
    auto& rec = f.rec;
    auto stream = test::rawFrame(0x07, 1, {1, 2});
    auto second = test::rawFrame(0x99, 2);
    stream.insert(stream.end(), second.begin(), second.end());
    test::writeAll(f.peer.get(), stream);
    f.peer.reset();
    f.channel->start();
    ASSERT_TRUE(rec.waitClosed());
    std::lock_guard g(rec.lock);
    ASSERT_EQ(rec.messages.size(), 2u);
    EXPECT_FALSE(rec.messages[1].type());
    EXPECT_TRUE(rec.messages[1].payload.empty());
    EXPECT_EQ(rec.reason, ChannelError::eof());
    EXPECT_EQ(rec.reason->description(), "connection closed by peer");
    EXPECT_EQ(rec.closes, 1);
}

// A peer that writes its last message and then resets the connection: when the message fills a
// whole read, the reset is met in the same event, and the message is still delivered before it.
TEST(Channel, MessageReadInTheSameEventAsAResetIsDeliveredFirst) {
    auto [mine, peer] = test::socketPair();
    // A stream socket closed with bytes it has not read resets its peer.
    const uint8_t unread = 0;
    ASSERT_EQ(::send(mine.get(), &unread, 1, MSG_NOSIGNAL), 1);
    const int room = 1 << 20;
    ::setsockopt(peer.get(), SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
    const auto frame = test::rawFrame(0x04, 1, std::vector<uint8_t>(Channel::readChunk - Wire::headerSize, 7));
    const ssize_t sent = ::send(peer.get(), frame.data(), frame.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent != ssize_t(frame.size())) GTEST_SKIP() << "the socket cannot hold one whole read";
    peer.reset();

    auto queue = AsioExecutor::makeQueue("kv.s.ctrl");
    auto channel = Channel::create(std::move(mine), "ctrl", queue, SocketOptions::ctrl);
    Recorder rec(channel);
    channel->start();
    ASSERT_TRUE(rec.waitClosed());
    runSync(*queue, [&] {
        channel->onMessage = nullptr;
        channel->onClose = nullptr;
    });
    std::lock_guard g(rec.lock);
    ASSERT_EQ(rec.messages.size(), 1u);
    EXPECT_EQ(rec.messages[0].payload.size(), Channel::readChunk - Wire::headerSize);
    ASSERT_TRUE(rec.reason);
    EXPECT_EQ(rec.reason->kind(), ChannelError::Kind::io);
}

TEST(Channel, HandlerThatClosesStopsDeliveryAndCloseHappensOnce) {
    PairFixture f;
    std::atomic<int> delivered{0};
    std::promise<std::optional<ChannelError>> closed;
    std::atomic<int> closes{0};
    f.channel->onMessage = [&](WireMessage) {
        ++delivered;
        f.channel->close();
        f.channel->close(ChannelError::eof());
    };
    f.channel->onClose = [&](std::optional<ChannelError> e) {
        if (++closes == 1) closed.set_value(e);
    };
    std::vector<uint8_t> stream;
    for (uint32_t s = 1; s <= 3; ++s) {
        auto frame = test::rawFrame(0x01, s);
        stream.insert(stream.end(), frame.begin(), frame.end());
    }
    test::writeAll(f.peer.get(), stream);
    f.channel->start();
    EXPECT_EQ(closed.get_future().get(), std::nullopt);
    runSync(*f.queue, [] {});
    EXPECT_EQ(delivered, 1);
    EXPECT_EQ(closes, 1);
    EXPECT_TRUE(f.channel->isClosed());
}

TEST(Channel, FramesSentBeforeStartGoOutInOrderAndStartIsIdempotent) {
    PairFixture f;
    auto& rec = f.rec;
    EXPECT_TRUE(f.channel->send(MsgType::ping, std::vector<uint8_t>{0xAA}));
    // Only empty parts: a bare header of length 0.
    EXPECT_TRUE(f.channel->send(MsgType::wakeRequest, Channel::Parts{{}, {}}));
    EXPECT_TRUE(f.channel->send(0x82, Channel::Parts{{1, 2}, {}, {3}}));
    EXPECT_TRUE(f.channel->sendJSON(MsgType::bye, ByeMsg{"user", std::nullopt}));
    const std::string bye = R"({"reason":"user"})";
    runSync(*f.queue, [&] { EXPECT_EQ(f.channel->queuedBytes(), 17 + 16 + 19 + 16 + int64_t(bye.size())); });
    f.channel->start();
    f.channel->start();
    auto bytes = readExactly(f.peer.get(), 17 + 16 + 19 + 16 + bye.size());
    auto expected = test::rawFrame(0x04, 1, {0xAA});
    for (auto& frame : {test::rawFrame(0x0A, 2), test::rawFrame(0x82, 3, {1, 2, 3}),
                        test::rawFrame(0x03, 4, std::vector<uint8_t>(bye.begin(), bye.end()))})
        expected.insert(expected.end(), frame.begin(), frame.end());
    EXPECT_EQ(bytes, expected);
    runSync(*f.queue, [&] {
        EXPECT_EQ(f.channel->bytesSent(), expected.size());
        EXPECT_EQ(f.channel->queuedBytes(), 0);
    });
    EXPECT_EQ(rec.drains, 1);
}

TEST(Channel, StartWithNothingQueuedDrainsOnceAndSendsOnTheQueueAreWrittenInline) {
    PairFixture f;
    auto& rec = f.rec;
    runSync(*f.queue, [&] {
        f.channel->start();
        f.channel->start();
        EXPECT_EQ(rec.drains, 1);
        f.channel->send(MsgType::ping, std::vector<uint8_t>(100, 1));
        EXPECT_EQ(f.channel->bytesSent(), 116u);
        EXPECT_EQ(rec.drains, 2);
    });
}

// whenWritten waits for the frames queued before it to leave, however slowly the peer reads,
// and is dropped by a close that comes first.
TEST(Channel, WhenWrittenRunsOnceTheFramesBeforeItHaveLeft) {
    auto queue = std::make_shared<ManualExecutor>("kv.s.ctrl");
    auto [a, peer] = test::socketPair();
    auto channel = Channel::create(std::move(a), "ctrl", queue, SocketOptions{true, 4096});
    std::vector<std::string> seen;
    channel->whenWritten([&] { seen.push_back("nothing queued"); });
    channel->send(MsgType::ping, std::vector<uint8_t>(1 << 20));
    channel->whenWritten([&] { seen.push_back("big frame"); });
    channel->start();
    queue->runUntilIdle();
    EXPECT_EQ(seen, std::vector<std::string>{"nothing queued"});
    std::vector<uint8_t> buffer(1 << 16);
    for (size_t read = 0, turns = 0; read <= (1 << 20) && seen.size() < 2 && turns < 100'000; ++turns) {
        ssize_t n = ::recv(peer.get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (n > 0) read += static_cast<size_t>(n);
        queue->runUntilIdle();
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"nothing queued", "big frame"}));

    channel->send(MsgType::ping, std::vector<uint8_t>(1 << 20));
    channel->whenWritten([&] { seen.push_back("after the close"); });
    channel->close();
    queue->runUntilIdle();
    EXPECT_EQ(seen.size(), 2u);
}

// Waiters that come due in one write run in order, and none after an earlier one has closed the
// channel: what it would send or start there belongs to a stream that is gone.
TEST(Channel, WhenWrittenWaitersDueTogetherStopOnceOneCloses) {
    auto queue = std::make_shared<ManualExecutor>("kv.s.ctrl");
    auto [a, peer] = test::socketPair();
    auto channel = Channel::create(std::move(a), "ctrl", queue, SocketOptions{true, 4096});
    std::vector<std::string> seen;
    channel->send(MsgType::ping, std::vector<uint8_t>(1 << 20));
    channel->whenWritten([&] { seen.push_back("first"); });
    channel->whenWritten([&] {
        seen.push_back("closing");
        channel->close();
    });
    channel->whenWritten([&] { seen.push_back("after the close"); });
    channel->start();
    std::vector<uint8_t> buffer(1 << 16);
    for (size_t turns = 0; !channel->isClosed() && turns < 100'000; ++turns) {
        [[maybe_unused]] ssize_t n = ::recv(peer.get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
        queue->runUntilIdle();
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"first", "closing"}));
}

// What has arrived is read and delivered at once when asked, on the channel's queue, before the
// queue hears of it; a channel not started or closed reads nothing.
TEST(Channel, ReadAvailableDeliversWhatHasArrivedAtOnce) {
    PairFixture f;
    auto& rec = f.rec;
    runSync(*f.queue, [&] {
        test::writeAll(f.peer.get(), test::rawFrame(0x04, 1, {1}));
        f.channel->readAvailable();
        EXPECT_EQ(rec.messageCount(), 0u);  // not started
        f.channel->start();
        test::writeAll(f.peer.get(), test::rawFrame(0x04, 2, {2}));
        f.channel->readAvailable();
        EXPECT_EQ(rec.messageCount(), 2u);
        f.channel->readAvailable();  // nothing more: no wait, no close
        EXPECT_EQ(rec.closes, 0);
    });
}

TEST(Channel, ClosingBeforeStartReleasesTheSocketAndReportsTheGivenError) {
    PairFixture f;
    auto& rec = f.rec;
    f.channel->send(MsgType::ping, std::vector<uint8_t>{1});
    f.channel->close(ChannelError::io(ECONNRESET));
    f.channel->close();
    f.channel->start();
    ASSERT_TRUE(rec.waitClosed());
    runSync(*f.queue, [] {});
    EXPECT_EQ(rec.closes, 1);
    EXPECT_EQ(rec.reason->description(), "I/O error: Connection reset by peer");
    char c;
    EXPECT_EQ(::recv(f.peer.get(), &c, 1, MSG_DONTWAIT), 0);
}

TEST(Channel, TwoChannelsOnAManualQueueTalkInVirtualTime) {
    auto queue = std::make_shared<ManualExecutor>("kv.s.ctrl", 0);
    auto [a, b] = test::socketPair();
    auto host = Channel::create(std::move(a), "ctrl", queue, SocketOptions::ctrl);
    auto tablet = Channel::create(std::move(b), "tablet", queue, SocketOptions::ctrl);
    // The tablet echoes every frame; the host checks order and contents. 1 KiB frames, so a
    // burst outgrows the socket buffers and writers must wait for room.
    tablet->onMessage = [&](WireMessage m) { tablet->send(m.rawType, Channel::Parts{std::move(m.payload)}); };
    uint32_t sent = 0, echoed = 0;
    bool intact = true;
    auto sendNext = [&] {
        std::vector<uint8_t> payload(1024, static_cast<uint8_t>(sent));
        le::put32(payload.data(), ++sent);
        host->send(MsgType::ping, std::move(payload));
    };
    host->onMessage = [&](WireMessage m) {
        if (m.type() != MsgType::ping) return;
        ++echoed;
        intact = intact && m.payload.size() == 1024 && le::get32(m.payload.data()) == echoed &&
                 m.payload.back() == static_cast<uint8_t>(echoed - 1);
    };
    std::vector<std::optional<ChannelError>> hostCloses;
    host->onClose = [&](std::optional<ChannelError> e) { hostCloses.push_back(e); };
    host->start();
    tablet->start();

    for (int i = 0; i < 1000; ++i) sendNext();
    queue->runUntilIdle();
    EXPECT_EQ(echoed, 1000u);
    EXPECT_TRUE(intact);
    EXPECT_EQ(queue->nowUs(), 0u);

    // Frames keep flowing every 10 ms while a 3 s heartbeat waits its turn.
    std::vector<uint64_t> beats;
    auto heartbeat = queue->makeTimer();
    heartbeat->scheduleRepeating(3'000'000, [&] {
        beats.push_back(queue->nowUs());
        host->send(MsgType::pong, std::vector<uint8_t>{});
    });
    auto traffic = queue->makeTimer();
    traffic->scheduleRepeating(10'000, [&] {
        for (int i = 0; i < 4; ++i) sendNext();
    });
    queue->advance(2'999'999);
    EXPECT_TRUE(beats.empty());
    EXPECT_EQ(echoed, sent);
    queue->advance(1);
    EXPECT_EQ(beats, (std::vector<uint64_t>{3'000'000}));
    EXPECT_EQ(echoed, 1000u + 300 * 4);
    EXPECT_TRUE(intact);

    tablet->close();
    queue->runUntilIdle();
    EXPECT_EQ(hostCloses, (std::vector<std::optional<ChannelError>>{ChannelError::eof()}));
}

TEST(Channel, QueueThatCannotWatchTheSocketClosesItInsteadOfHanging) {
    auto queue = std::make_shared<test::UnwatchableExecutor>("kv.s.ctrl");
    auto [a, peer] = test::socketPair();
    auto channel = Channel::create(std::move(a), "ctrl", queue, SocketOptions::ctrl);
    std::vector<std::optional<ChannelError>> closes;
    channel->onClose = [&](std::optional<ChannelError> e) { closes.push_back(e); };
    channel->send(MsgType::ping, std::vector<uint8_t>{1});
    channel->start();
    queue->runUntilIdle();
    ASSERT_EQ(closes.size(), 1u);
    EXPECT_EQ(closes[0], ChannelError::io(EBADF));
    char c;
    EXPECT_EQ(::recv(peer.get(), &c, 1, MSG_DONTWAIT), 0);
}

TEST(Channel, OversizedPayloadIsRefusedWithoutUsingASequenceNumber) {
    PairFixture f;
    test::LogCapture log;
    f.channel->start();
    EXPECT_FALSE(f.channel->send(0x82, Channel::Parts{std::vector<uint8_t>(Wire::maxPayload), {1}}));
    EXPECT_TRUE(log.contains("ctrl: refusing frame type 0x82: payload too large (8388609 bytes)", "chan"));
    EXPECT_TRUE(f.channel->send(MsgType::ping, std::vector<uint8_t>{7}));
    EXPECT_EQ(readExactly(f.peer.get(), 17), test::rawFrame(0x04, 1, {7}));
    EXPECT_FALSE(f.channel->isClosed());
}

TEST(Channel, BacklogLimitIsInclusive) {
    PairFixture f;
    auto& rec = f.rec;
    runSync(*f.queue, [&] {
        f.channel->setMaxQueuedBytes(16 + 100);
        f.channel->send(MsgType::ping, std::vector<uint8_t>(100));
        EXPECT_FALSE(f.channel->isClosed());
        f.channel->send(MsgType::ping, std::vector<uint8_t>{});
        EXPECT_TRUE(f.channel->isClosed());
    });
    EXPECT_EQ(rec.reason, ChannelError::backlog(132));
    EXPECT_EQ(rec.reason->description(), "send backlog too large (132 bytes)");
}

TEST(Channel, PeerThatStopsReadingClosesTheSenderWithBacklog) {
    auto [a, b] = test::socketPair();
    auto queue = AsioExecutor::makeQueue("kv.s.video");
    auto channel = Channel::create(std::move(a), "video", queue, SocketOptions{true, 4096});
    Recorder rec(channel);
    channel->setMaxQueuedBytes(1 << 20);
    channel->start();
    for (int i = 0; i < 64 && !channel->isClosed(); ++i) channel->send(MsgType::videoFrame, std::vector<uint8_t>(65536));
    ASSERT_TRUE(rec.waitClosed());
    ASSERT_TRUE(rec.reason);
    EXPECT_EQ(rec.reason->kind(), ChannelError::Kind::backlog);
    EXPECT_GT(rec.reason->queuedBytes(), 1 << 20);
    runSync(*queue, [&] { EXPECT_EQ(channel->queuedBytes(), 0); });
}

// Payload bytes that identify the frame and the position in it.
uint8_t patternByte(size_t frame, size_t at) { return static_cast<uint8_t>(frame * 131 + at * 7 + (at >> 9)); }

size_t frameSize(size_t i) {
    static const size_t large[] = {Wire::maxPayload, 3 << 20, (5 << 20) + 1, 1 << 20, 6 << 20};
    if (i % 200 == 7) return large[(i / 200) % 5];
    if (i % 10 == 3) return 65536 + i;
    return (i * 37) % 1500;
}

Channel::Parts framePayload(size_t i) {
    std::vector<uint8_t> bytes(frameSize(i));
    for (size_t j = 0; j < bytes.size(); ++j) bytes[j] = patternByte(i, j);
    if (i % 3 != 0 || bytes.size() < 2) return Channel::Parts{std::move(bytes)};
    // Split in two with an empty piece between.
    size_t half = bytes.size() / 2;
    return Channel::Parts{std::vector<uint8_t>(bytes.begin(), bytes.begin() + half), {},
                          std::vector<uint8_t>(bytes.begin() + half, bytes.end())};
}

// Checks each message as it arrives: type, seq and every payload byte.
struct Verifier {
    void attach(const std::shared_ptr<Channel>& ch) {
        ch->onMessage = [this](WireMessage m) {
            size_t i = count;
            bool ok = m.seq == i + 1 && m.rawType == static_cast<uint8_t>(i & 0xFF) &&
                      m.payload.size() == frameSize(i);
            for (size_t j = 0; ok && j < m.payload.size(); ++j) ok = m.payload[j] == patternByte(i, j);
            if (!ok) bad = true;
            count = i + 1;
        };
        ch->onClose = [this](std::optional<ChannelError> e) {
            if (e) closedWith = e->description();
        };
    }
    std::atomic<size_t> count{0};
    std::atomic<bool> bad{false};
    std::string closedWith;  // on the channel's queue
};

TEST(Channel, TwoChannelsExchangeMixedFramesBothWaysAtOnce) {
    constexpr size_t kFrames = 1000;
    const SocketOptions small{true, 16384};
    test::LogCapture log;
    MainLoop main;
    auto fakeQueue = AsioExecutor::makeQueue("kv.fake");
    auto hostQueue = AsioExecutor::makeQueue("kv.s.video");
    Verifier atTablet, atHost;

    std::promise<std::shared_ptr<Channel>> accepted;
    auto listening = TCPListener::listen(0, "127.0.0.1", fakeQueue, [&](UniqueFd fd) {
        auto ch = Channel::create(std::move(fd), "tablet", fakeQueue, small);
        atTablet.attach(ch);
        ch->start();
        accepted.set_value(ch);
    });
    ASSERT_TRUE(listening) << listening.error().description();
    auto listener = std::move(listening).value();

    DirectConnector connector("127.0.0.1", listener->port(), listener->port(),
                              AsioExecutor::makeQueue("kv.direct.connect"), main.sharedExecutor());
    std::optional<ConnectResult> result;
    connector.connect(Wire::videoPort, [&](ConnectResult r) { result.emplace(std::move(r)); });
    ASSERT_TRUE(test::pumpUntil(main, [&] { return result.has_value(); }));
    ASSERT_TRUE(*result) << result->error().description();
    // A connected descriptor comes back in blocking mode; the channel makes it non-blocking.
    EXPECT_EQ(::fcntl(result->value().get(), F_GETFL) & O_NONBLOCK, 0);
    auto host = Channel::create(std::move(*result).value(), "video", hostQueue, small);
    atHost.attach(host);
    host->start();
    auto tablet = accepted.get_future().get();

    for (auto* ch : {host.get(), tablet.get()}) ch->setMaxQueuedBytes(int64_t{256} << 20);
    std::thread tabletSender([&] {
        for (size_t i = 0; i < kFrames; ++i) tablet->send(static_cast<uint8_t>(i), framePayload(i));
    });
    for (size_t i = 0; i < kFrames; ++i) host->send(static_cast<uint8_t>(i), framePayload(i));
    tabletSender.join();

    ASSERT_TRUE(test::waitUntil([&] { return atHost.count == kFrames && atTablet.count == kFrames; }, 120s))
        << atHost.count << " / " << atTablet.count;
    EXPECT_FALSE(atHost.bad);
    EXPECT_FALSE(atTablet.bad);
    EXPECT_FALSE(log.contains("seq jump", "chan"));
    runSync(*hostQueue, [&] {
        EXPECT_EQ(host->bytesReceived(), host->bytesSent());
        EXPECT_EQ(host->queuedBytes(), 0);
        host->close();
    });
    ASSERT_TRUE(test::waitUntil([&] { return runSync(*fakeQueue, [&] { return tablet->isClosed(); }); }));
    runSync(*fakeQueue, [&] { EXPECT_EQ(atTablet.closedWith, "connection closed by peer"); });
    listener->stop();
}

}  // namespace
}  // namespace kelvo
