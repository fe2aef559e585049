#include "platform/logind/logind_power_source.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>

#include "core/session/power_observer.hpp"
#include "platform/logind/local_host_name.hpp"
#include "platform/runtime/asio_executor.hpp"
#include "private_system_bus.hpp"

namespace kelvo {
namespace {

using Event = PowerObserver::Event;
constexpr const char* kLogind = "org.freedesktop.login1";
constexpr const char* kManagerPath = "/org/freedesktop/login1";
constexpr const char* kMock = "org.freedesktop.DBus.Mock";

bool eventually(const std::function<bool()>& pred) { return test::waitUntil(pred); }

class LogindFixture : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test::PrivateSystemBus::haveDbusmock()) GTEST_SKIP() << "python3-dbusmock is not installed";
        bus_ = std::make_unique<test::PrivateSystemBus>();
        if (!bus_->problem().empty()) GTEST_SKIP() << bus_->problem();
        ASSERT_TRUE(bus_->startMock({"--template", "logind"}, kLogind));
        sd_bus_message* reply = nullptr;
        ASSERT_GE(sd_bus_call_method(bus_->client(), kLogind, kManagerPath, kMock, "AddSession", nullptr, &reply,
                                     "ssusb", "c7", "seat0", 1000u, "kelvo", 1),
                  0);
        sd_bus_message_unref(reply);
    }

    void TearDown() override {
        if (observer_) runSync(*main_, [&] { observer_.reset(); });
    }

    void call(const char* path, const char* iface, const char* member, const char* types, auto... args) {
        sd_bus_message* reply = nullptr;
        int r = sd_bus_call_method(bus_->client(), kLogind, path, iface, member, nullptr, &reply, types, args...);
        sd_bus_message_unref(reply);
        ASSERT_GE(r, 0) << member;
    }
    void setLockedHint(bool locked) {
        call("/org/freedesktop/login1/session/c7", "org.freedesktop.login1.Session", "SetLockedHint", "b", int(locked));
    }
    void prepareForSleep(bool sleeping) {
        call(kManagerPath, kMock, "EmitSignal", "sssav", "org.freedesktop.login1.Manager", "PrepareForSleep", "b", 1,
             "b", int(sleeping));
    }

    // Sleep delays that logind holds for anyone.
    int delayInhibitors() {
        sd_bus_message* reply = nullptr;
        int r = sd_bus_call_method(bus_->client(), kLogind, kManagerPath, "org.freedesktop.login1.Manager",
                                   "ListInhibitors", nullptr, &reply, "");
        if (r < 0) return -1;
        int count = 0;
        sd_bus_message_enter_container(reply, 'a', "(ssssuu)");
        const char *what, *who, *why, *mode;
        uint32_t uid, pid;
        while (sd_bus_message_read(reply, "(ssssuu)", &what, &who, &why, &mode, &uid, &pid) > 0) {
            if (std::string(what) == "sleep" && std::string(mode) == "delay") ++count;
        }
        sd_bus_message_unref(reply);
        return count;
    }

    void startObserver() {
        source_ = std::make_shared<LogindPowerSource>(main_, LogindPowerSource::Options{"c7"});
        observer_ = std::make_shared<PowerObserver>(main_, PowerObserver::Sources{source_, nullptr, nullptr});
        runSync(*main_, [&] {
            observer_->onEvent = [this](Event e) {
                std::lock_guard g(m_);
                events_.push_back(e);
                if (e == Event::systemWillSleep && holdNextSleep_) hold_ = observer_->holdSleep();
            };
            observer_->start();
        });
    }
    bool sawEvents(std::vector<Event> wanted) {
        return eventually([&] {
            std::lock_guard g(m_);
            return events_ == wanted;
        });
    }
    std::vector<Event> events() {
        std::lock_guard g(m_);
        return events_;
    }

    std::unique_ptr<test::PrivateSystemBus> bus_;
    std::shared_ptr<Executor> main_ = AsioExecutor::makeQueue("kv.test.main");
    std::shared_ptr<LogindPowerSource> source_;
    std::shared_ptr<PowerObserver> observer_;
    std::mutex m_;
    std::vector<Event> events_;
    std::atomic<bool> holdNextSleep_ = true;
    PowerObserver::SleepHold hold_;  // touched on the main queue only
};

TEST_F(LogindFixture, StartsFromTheSessionsLockStateAndFollowsHintAndRequests) {
    setLockedHint(true);
    startObserver();
    EXPECT_TRUE(runSync(*main_, [&] { return observer_->locked(); }));
    EXPECT_EQ(runSync(*main_, [&] { return source_->sessionPath(); }), "/org/freedesktop/login1/session/c7");

    setLockedHint(false);
    ASSERT_TRUE(sawEvents({Event::unlocked}));
    call("/org/freedesktop/login1/session/c7", "org.freedesktop.login1.Session", "Lock", "");
    ASSERT_TRUE(sawEvents({Event::unlocked, Event::locked}));
    // The locker confirming the request changes nothing more.
    setLockedHint(true);
    call("/org/freedesktop/login1/session/c7", "org.freedesktop.login1.Session", "Unlock", "");
    ASSERT_TRUE(sawEvents({Event::unlocked, Event::locked, Event::unlocked}));
    EXPECT_FALSE(runSync(*main_, [&] { return observer_->locked(); }));
}

TEST_F(LogindFixture, SleepWaitsForTheHoldAndTheDelayIsTakenAgainAfterWake) {
    startObserver();
    ASSERT_TRUE(eventually([&] { return delayInhibitors() == 1; }));

    prepareForSleep(true);
    ASSERT_TRUE(sawEvents({Event::systemWillSleep}));
    EXPECT_TRUE(runSync(*main_, [&] { return source_->holdingSleepDelay() && observer_->sleepPending(); }));
    EXPECT_EQ(delayInhibitors(), 1);

    // The session has said goodbye.
    runSync(*main_, [&] { hold_.release(); });
    EXPECT_FALSE(runSync(*main_, [&] { return source_->holdingSleepDelay(); }));
    ASSERT_TRUE(eventually([&] { return delayInhibitors() == 0; }));

    prepareForSleep(false);
    ASSERT_TRUE(sawEvents({Event::systemWillSleep, Event::systemDidWake}));
    ASSERT_TRUE(eventually([&] { return delayInhibitors() == 1; }));

    // Nobody holds this one: the delay goes at once.
    holdNextSleep_ = false;
    prepareForSleep(true);
    ASSERT_TRUE(sawEvents({Event::systemWillSleep, Event::systemDidWake, Event::systemWillSleep}));
    ASSERT_TRUE(eventually([&] { return delayInhibitors() == 0; }));

    prepareForSleep(false);
    ASSERT_TRUE(eventually([&] { return delayInhibitors() == 1; }));
    runSync(*main_, [&] { observer_->stop(); });
    EXPECT_TRUE(eventually([&] { return delayInhibitors() == 0; }));
}

TEST(LogindPowerSource, WithoutASystemBusNothingIsObserved) {
    const char* saved = getenv("DBUS_SYSTEM_BUS_ADDRESS");
    std::string keep = saved ? saved : "";
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/kelvo-test-bus", 1);
    auto main = AsioExecutor::makeQueue("kv.test.main");
    auto source = std::make_shared<LogindPowerSource>(main);
    auto observer = std::make_shared<PowerObserver>(main, PowerObserver::Sources{source, nullptr, nullptr});
    runSync(*main, [&] {
        observer->start();
        EXPECT_FALSE(observer->locked());
        EXPECT_FALSE(source->holdingSleepDelay());
        observer.reset();
    });
    if (saved) setenv("DBUS_SYSTEM_BUS_ADDRESS", keep.c_str(), 1);
    else unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}

TEST(LocalHostName, PrettyNameFirstThenTheKernelName) {
    if (!test::PrivateSystemBus::haveDbusmock()) GTEST_SKIP() << "python3-dbusmock is not installed";
    test::PrivateSystemBus bus;
    if (!bus.problem().empty()) GTEST_SKIP() << bus.problem();
    const char* name = "org.freedesktop.hostname1";
    const char* path = "/org/freedesktop/hostname1";
    ASSERT_TRUE(bus.startMock({"--system", name, path, name}, name));
    sd_bus_message* reply = nullptr;
    ASSERT_GE(sd_bus_call_method(bus.client(), name, path, kMock, "AddProperty", nullptr, &reply, "ssv", name,
                                 "PrettyHostname", "s", "工作室 Studio"),
              0);
    sd_bus_message_unref(reply);
    EXPECT_EQ(localHostName(), "工作室 Studio");

    reply = nullptr;
    ASSERT_GE(sd_bus_call_method(bus.client(), name, path, "org.freedesktop.DBus.Properties", "Set", nullptr, &reply,
                                 "ssv", name, "PrettyHostname", "s", ""),
              0);
    sd_bus_message_unref(reply);
    char kernel[256] = {};
    gethostname(kernel, sizeof kernel - 1);
    EXPECT_EQ(localHostName(), std::string(kernel));
}

}  // namespace
}  // namespace kelvo
