#include "platform/avahi/avahi_discovery.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <future>

#include "core/transport/wireless_browser.hpp"
#include "platform/runtime/asio_executor.hpp"
#include "support/test_support.hpp"

namespace kelvo {
namespace {

const std::string kCtrl = "_kelvo._tcp";
const std::string kVideo = "_kelvo-video._tcp";

// Polls `pred` on `queue` until it holds or `timeout` passes.
bool eventually(Executor& queue, std::chrono::milliseconds timeout, const std::function<bool()>& pred) {
    return test::waitUntil([&] { return runSync(queue, pred); }, timeout);
}

ResolveResult resolveNow(AvahiDiscovery& avahi, const std::shared_ptr<Executor>& queue, ServiceInstance instance) {
    std::promise<ResolveResult> got;
    auto handle = runSync(*queue, [&] {
        return avahi.resolve(instance, queue, [&](ResolveResult r) { got.set_value(std::move(r)); });
    });
    auto future = got.get_future();
    if (future.wait_for(test::kPatience) != std::future_status::ready) {
        runSync(*queue, [&] { handle.reset(); });
        return {{}, "no answer in 15 s"};
    }
    runSync(*queue, [&] { handle.reset(); });
    return future.get();
}

TEST(AvahiDiscovery, BrowseReportsWaitingWhileNoDaemonAnswers) {
    const char* saved = getenv("DBUS_SYSTEM_BUS_ADDRESS");
    std::string keep = saved ? saved : "";
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/kelvo-test-bus", 1);
    auto queue = AsioExecutor::makeQueue("kv.test.avahi");
    AvahiDiscovery avahi;
    std::promise<BrowseEvent> first;
    bool set = false;
    auto handle = runSync(*queue, [&] {
        return avahi.browse(kCtrl, queue, [&](const BrowseEvent& e) {
            if (!std::exchange(set, true)) first.set_value(e);
        });
    });
    auto event = first.get_future().get();
    EXPECT_EQ(event.kind, BrowseEvent::Kind::waiting);
    avahi.start();  // whether or not a client can be made, nothing hangs and stop is clean
    avahi.stop();
    runSync(*queue, [&] { handle.reset(); });
    if (saved) setenv("DBUS_SYSTEM_BUS_ADDRESS", keep.c_str(), 1);
    else unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}

// Outside the namespace this test re-runs itself inside one, through the helper script.
TEST(AvahiDiscovery, PublishesBrowsesAndResolvesThroughARealDaemon) {
    if (!getenv("KELVO_AVAHI_INSIDE")) {
        char self[4096] = {};
        ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
        std::string cmd = std::string(KELVO_TRANSPORT_TESTS_DIR) + "/avahi_netns.sh " + self +
                          " --gtest_filter=AvahiDiscovery.PublishesBrowsesAndResolvesThroughARealDaemon 2>&1";
        FILE* out = popen(cmd.c_str(), "r");
        ASSERT_TRUE(out);
        std::string text;
        char buf[4096];
        while (size_t n = fread(buf, 1, sizeof buf, out)) text.append(buf, n);
        int status = pclose(out);
        ASSERT_TRUE(WIFEXITED(status)) << text;
        if (WEXITSTATUS(status) == 77) GTEST_SKIP() << text;
        ASSERT_EQ(WEXITSTATUS(status), 0) << text;
        EXPECT_NE(text.find("[  PASSED  ] 1 test."), std::string::npos) << text;
        return;
    }

    auto avahi = std::make_shared<AvahiDiscovery>();
    ASSERT_TRUE(avahi->start());
    auto main = AsioExecutor::makeQueue("kv.test.main");
    std::vector<std::string> failures;
    auto onFailure = [&](std::string e) { failures.push_back(e); };
    auto ctrlAd = runSync(*main, [&] { return avahi->publish("fake-47100", kCtrl, 47100, main, onFailure); });
    auto videoAd = runSync(*main, [&] { return avahi->publish("fake-47100", kVideo, 47101, main, onFailure); });

    auto browser = std::make_unique<WirelessBrowser>(WirelessLink::any, avahi, main);
    runSync(*main, [&] { browser->start(); });
    ASSERT_TRUE(eventually(*main, test::kPatience, [&] { return browser->isVisible("fake-47100"); }));
    auto names = runSync(*main, [&] { return browser->results().at("fake-47100").interfaceNames; });
    for (auto& n : names) EXPECT_TRUE(n == "kv0" || n == "kv1") << n;
    EXPECT_FALSE(runSync(*main, [&] { return browser->directInterface("fake-47100"); }));

    auto ctrl = resolveNow(*avahi, main, {"fake-47100", kCtrl, "local", "kv0"});
    ASSERT_EQ(ctrl.addresses.size(), 1u) << ctrl.error;
    EXPECT_EQ(ctrl.addresses[0].address, "169.254.77.1");
    EXPECT_EQ(ctrl.addresses[0].port, 47100);
    auto video = resolveNow(*avahi, main, {"fake-47100", kVideo, "local", ""});
    ASSERT_EQ(video.addresses.size(), 1u) << video.error;
    EXPECT_EQ(video.addresses[0].address.rfind("169.254.77.", 0), 0u) << video.addresses[0].address;
    EXPECT_EQ(video.addresses[0].port, 47101);

    // Withdrawn: the tablet leaves the browser's set.
    runSync(*main, [&] { ctrlAd.reset(); });
    EXPECT_TRUE(eventually(*main, test::kPatience, [&] { return !browser->isVisible("fake-47100"); }));

    runSync(*main, [&] {
        browser->stop();
        browser.reset();
        videoAd.reset();
        EXPECT_TRUE(failures.empty());
    });
    avahi->stop();
}

}  // namespace
}  // namespace kelvo
