// Sessions that end before streaming are retried after 1, 2, 4 … s of the main queue's
// monotonic clock, and a stop leaves no retry behind. Virtual time: one manual queue runs the
// manager, its sessions and a tablet that hangs up on every connection.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "core/runtime/manual_executor.hpp"
#include "session_manager_rig.hpp"
#include "support/test_support.hpp"

namespace kelvo {
namespace {

// Accepts on 127.0.0.1 and hangs up at once, noting the virtual time of each connection.
class HangingUpTablet {
public:
    explicit HangingUpTablet(std::shared_ptr<ManualExecutor> queue) : queue_(std::move(queue)) {
        fd_ = UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::listen(fd_.get(), 8);
        socklen_t len = sizeof addr;
        ::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&addr), &len);
        port = ntohs(addr.sin_port);
        watch_ = queue_->watchFd(fd_.get());
        arm();
    }
    ~HangingUpTablet() { watch_.reset(); }

    uint16_t port = 0;
    std::vector<uint64_t> connectionsUs;

private:
    void arm() {
        watch_->waitReadable([this] {
            for (;;) {
                UniqueFd peer(::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
                if (peer.get() < 0) break;
                connectionsUs.push_back(queue_->nowUs());
            }
            arm();
        });
    }

    std::shared_ptr<ManualExecutor> queue_;
    UniqueFd fd_;
    std::unique_ptr<FdWatch> watch_;
};

class BackoffTest : public ::testing::Test {
protected:
    void SetUp() override {
        rig->fake.settings.update([&](Settings& s) { s = test::directSettings(tablet.port, tablet.port); });
        rig->make();
    }

    // Virtual time in tenths of a second, so that connections land on the step they are due.
    void advanceSeconds(double seconds) {
        for (int i = 0; i < static_cast<int>(seconds * 10); ++i) main->advance(100'000);
    }

    std::optional<test::ManagerRig> rig{std::in_place, FakeSessionEnvironment::Queues::manual};
    std::shared_ptr<ManualExecutor> main = rig->fake.manual;
    HangingUpTablet tablet{main};
};

TEST_F(BackoffTest, SessionsEndingBeforeStreamingAreRetriedAfterOneTwoAndFourSeconds) {
    test::LogCapture log;
    rig->start();
    advanceSeconds(7.5);
    ASSERT_EQ(tablet.connectionsUs.size(), 4u);
    std::vector<double> gaps;
    for (size_t i = 1; i < tablet.connectionsUs.size(); ++i) {
        gaps.push_back(static_cast<double>(tablet.connectionsUs[i] - tablet.connectionsUs[i - 1]) / 1e6);
    }
    EXPECT_EQ(gaps, (std::vector<double>{1, 2, 4}));
    EXPECT_FALSE(log.contains("retrying in 1 s", "manager"));
    EXPECT_TRUE(log.contains("session ended before streaming, retrying in 2 s", "manager"));
    EXPECT_TRUE(log.contains("session ended before streaming, retrying in 4 s", "manager"));
}

TEST_F(BackoffTest, StopLeavesNoRetryBehind) {
    rig->start();
    advanceSeconds(1.5);
    ASSERT_EQ(tablet.connectionsUs.size(), 2u);  // the second retry (2 s) is pending now
    rig->onMain([&] { rig->manager->stop(); });
    rig->onMain([&] { rig->fake.sessionPower->setLocked(true); });
    rig->onMain([&] { rig->fake.sessionPower->setLocked(false); });  // an unlock would otherwise reconnect at once
    advanceSeconds(30);
    EXPECT_EQ(tablet.connectionsUs.size(), 2u);
    EXPECT_EQ(rig->manager->session(), nullptr);
}

// The user's reconnect and a wake of the display start over from 1 s.
TEST_F(BackoffTest, ReconnectClearsTheBackoff) {
    rig->start();
    advanceSeconds(3.5);  // connections at 0, 1 and 3 s; the next one is 4 s away
    ASSERT_EQ(tablet.connectionsUs.size(), 3u);
    rig->onMain([&] { rig->manager->reconnect(); });
    main->runUntilIdle();
    EXPECT_EQ(tablet.connectionsUs.size(), 4u);
    advanceSeconds(1.05);
    EXPECT_EQ(tablet.connectionsUs.size(), 5u);
}

}  // namespace
}  // namespace kelvo
