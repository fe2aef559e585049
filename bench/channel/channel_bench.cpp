// Channel throughput on loopback with 1 MiB frames, as a ratio against a plain blocking
// send/recv loop moving the same bytes over the same kind of socket in the same run.
//
//   channel_bench [frames]    (default 512 per round, best of 3 rounds each)
#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "core/protocol/wire.hpp"
#include "core/transport/channel.hpp"
#include "testing/loopback_pair.hpp"
#include "platform/runtime/asio_executor.hpp"

using namespace kelvo;
using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t kFrameBytes = 1 << 20;
constexpr int64_t kInFlightBytes = 8 << 20;  // the sender keeps at most this much queued

struct Pair {
    UniqueFd a, b;
};

// A connected loopback TCP pair, both ends in blocking mode.
Pair loopbackPair(const std::shared_ptr<Executor>& queue) {
    auto fds = LoopbackPair::sockets(queue);
    if (!fds) {
        std::fprintf(stderr, "no loopback connection\n");
        std::exit(1);
    }
    return Pair{std::move(fds->first), std::move(fds->second)};
}

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

double plainRound(const std::shared_ptr<Executor>& queue, int frames) {
    Pair p = loopbackPair(queue);
    for (int fd : {p.a.get(), p.b.get()}) {
        SocketOptions::video.apply(fd);
        setNonBlocking(fd, false);
    }
    const size_t total = static_cast<size_t>(frames) * (kFrameBytes + Wire::headerSize);
    auto start = Clock::now();
    std::thread receiver([&] {
        std::vector<uint8_t> buf(Channel::readChunk);
        size_t got = 0;
        while (got < total) {
            ssize_t n = ::recv(p.b.get(), buf.data(), buf.size(), 0);
            if (n <= 0) break;
            got += static_cast<size_t>(n);
        }
    });
    std::vector<uint8_t> frame(kFrameBytes + Wire::headerSize, 0x5A);
    for (int i = 0; i < frames; ++i) {
        size_t done = 0;
        while (done < frame.size()) {
            ssize_t n = ::send(p.a.get(), frame.data() + done, frame.size() - done, MSG_NOSIGNAL);
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
    }
    receiver.join();
    return secondsSince(start);
}

double channelRound(const std::shared_ptr<Executor>& acceptQueue, int frames) {
    Pair p = loopbackPair(acceptQueue);
    auto sendQueue = AsioExecutor::makeQueue("kv.s.video");
    auto recvQueue = AsioExecutor::makeQueue("kv.fake");
    auto sender = Channel::create(std::move(p.a), "video", sendQueue, SocketOptions::video);
    auto receiver = Channel::create(std::move(p.b), "tablet", recvQueue, SocketOptions::video);

    // Payload buffers travel back from the receiver so that the sender never allocates.
    std::mutex poolLock;
    std::vector<std::vector<uint8_t>> pool(16, std::vector<uint8_t>(kFrameBytes, 0x5A));
    int sent = 0;  // on sendQueue
    std::promise<void> done;
    int received = 0;  // on recvQueue

    std::function<void()> pump = [&] {
        while (sent < frames && sender->queuedBytes() < kInFlightBytes) {
            std::vector<uint8_t> payload;
            {
                std::lock_guard g(poolLock);
                if (pool.empty()) return;
                payload = std::move(pool.back());
                pool.pop_back();
            }
            ++sent;
            sender->send(MsgType::videoFrame, std::move(payload));
        }
    };
    sender->onDrain = [&] { pump(); };
    receiver->onMessage = [&](WireMessage m) {
        {
            std::lock_guard g(poolLock);
            pool.push_back(std::move(m.payload));
        }
        sendQueue->post([&] { pump(); });
        if (++received == frames) done.set_value();
    };

    auto start = Clock::now();
    receiver->start();
    sender->start();
    done.get_future().wait();
    double seconds = secondsSince(start);
    runSync(*sendQueue, [&] { sender->close(); });
    runSync(*recvQueue, [&] { receiver->close(); });
    return seconds;
}

}  // namespace

int main(int argc, char** argv) {
    int frames = argc > 1 ? std::atoi(argv[1]) : 512;
    if (frames <= 0) frames = 512;
    auto acceptQueue = AsioExecutor::makeQueue("kv.bench.accept");
    double plain = 1e9, channel = 1e9;
    for (int round = 0; round < 3; ++round) {
        plain = std::min(plain, plainRound(acceptQueue, frames));
        channel = std::min(channel, channelRound(acceptQueue, frames));
    }
    const double mib = frames * double(kFrameBytes + Wire::headerSize) / (1 << 20);
    std::printf("channel throughput on loopback, %d frames of 1 MiB, best of 3\n", frames);
    std::printf("  plain send/recv: %8.1f MiB/s\n", mib / plain);
    std::printf("  channel:         %8.1f MiB/s\n", mib / channel);
    std::printf("  ratio channel/plain: %.2f\n", plain / channel);
    IoPool::shared().stop();
    return 0;
}
