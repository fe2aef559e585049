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
const std::string kNetnsScript = std::string(KELVO_TRANSPORT_TESTS_DIR) + "/avahi_netns.sh";

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
        return {{}, "no answer in time"};
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
    std::string skipText;
    if (auto run = test::rerunInNamespace(kNetnsScript, "", skipText);
        run == test::NamespaceRun::doneOutside)
        return;
    else if (run == test::NamespaceRun::skipped)
        GTEST_SKIP() << skipText;

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

// A system bus that is not there when discovery starts: browses wait saying why, and once the bus
// and the daemon come, the client is made on its own and browsing starts.
TEST(AvahiDiscovery, ReachesTheDaemonWhenItsBusAppearsLater) {
    std::string skipText;
    if (auto run = test::rerunInNamespace(kNetnsScript, "--avahi-later", skipText);
        run == test::NamespaceRun::doneOutside)
        return;
    else if (run == test::NamespaceRun::skipped)
        GTEST_SKIP() << skipText;

    const std::string work = getenv("KELVO_NETNS_WORK");
    const std::string later = work + "/bus-later";
    setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + later).c_str(), 1);
    test::LogCapture log;
    auto avahi = std::make_shared<AvahiDiscovery>();
    ASSERT_TRUE(avahi->start());
    auto main = AsioExecutor::makeQueue("kv.test.main");
    auto browser = std::make_unique<WirelessBrowser>(WirelessLink::any, avahi, main);
    runSync(*main, [&] { browser->start(); });
    ASSERT_TRUE(test::waitUntil([&] { return log.contains("browser waiting: cannot reach avahi-daemon: ", "wireless"); }));
    EXPECT_FALSE(runSync(*main, [&] { return browser->searching(); }));

    // The bus appears where it was looked for, then the daemon on it.
    ASSERT_EQ(symlink((work + "/bus").c_str(), later.c_str()), 0);
    ASSERT_EQ(std::system(getenv("KELVO_AVAHI_START")), 0);
    ASSERT_TRUE(eventually(*main, test::kPatience, [&] { return browser->searching(); }));
    auto ad = runSync(*main, [&] { return avahi->publish("late-47100", kCtrl, 47100, main, nullptr); });
    EXPECT_TRUE(eventually(*main, test::kPatience, [&] { return browser->isVisible("late-47100"); }));
    EXPECT_EQ(log.count("browser waiting:", "wireless"), 1u);

    runSync(*main, [&] {
        browser->stop();
        browser.reset();
        ad.reset();
    });
    avahi->stop();
}

}  // namespace
}  // namespace kelvo
