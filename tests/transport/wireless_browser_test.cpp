#include "core/transport/wireless_browser.hpp"

#include <gtest/gtest.h>

#include "core/runtime/manual_executor.hpp"
#include "testing/fake_service_browser.hpp"
#include "support/test_support.hpp"

namespace kelvo {
namespace {

const std::string kCtrl = "_kelvo._tcp";

ServiceInstance seen(const std::string& name, const std::string& interfaceName) {
    return ServiceInstance{name, kCtrl, "local", interfaceName};
}

struct BrowserRig {
    explicit BrowserRig(WirelessLink link) : browser(link, fake, main) {
        browser.onChange = [this] { ++changes; };
        browser.start();
        main->runUntilIdle();
    }
    std::shared_ptr<ManualExecutor> main = std::make_shared<ManualExecutor>("main");
    std::shared_ptr<FakeServiceBrowser> fake = std::make_shared<FakeServiceBrowser>();
    WirelessBrowser browser;
    int changes = 0;
};

TEST(WirelessBrowser, VisibilityTableByLink) {
    struct Row {
        std::vector<std::string> interfaces;
        bool any, infrastructure, direct;
        std::optional<std::string> directInterface;
    };
    const std::vector<Row> rows = {
        {{"en0", "awdl0"}, true, true, true, "awdl0"},
        {{"awdl0"}, true, false, true, "awdl0"},
        {{"en0"}, true, true, false, std::nullopt},
        {{"llw0"}, true, false, true, "llw0"},
        {{"wlan0", "llw1", "awdl0"}, true, true, true, "llw1"},
    };
    for (const auto& row : rows) {
        for (auto link : kAllWirelessLinks) {
            BrowserRig rig(link);
            for (auto& i : row.interfaces) rig.fake->add(seen("tab", i), {});
            rig.main->runUntilIdle();
            bool expected = link == WirelessLink::any              ? row.any
                            : link == WirelessLink::infrastructure ? row.infrastructure
                                                                   : row.direct;
            SCOPED_TRACE(std::string(rawValue(link)) + " " + row.interfaces[0]);
            EXPECT_EQ(rig.browser.isVisible("tab"), expected);
            EXPECT_FALSE(rig.browser.isVisible("other"));
            if (link != WirelessLink::infrastructure) {
                EXPECT_EQ(rig.browser.directInterface("tab"), row.directInterface);
            }
        }
    }
    // Restricted to access points, peer-to-peer sightings are not even kept.
    BrowserRig infra(WirelessLink::infrastructure);
    infra.fake->add(seen("tab", "awdl0"), {});
    infra.main->runUntilIdle();
    EXPECT_TRUE(infra.browser.results().empty());
    EXPECT_EQ(infra.changes, 0);
}

TEST(WirelessBrowser, CollectsInterfacesPerServiceAndReportsOnlyRealChanges) {
    BrowserRig rig(WirelessLink::any);
    test::LogCapture log;
    rig.fake->add(seen("tab", "en0"), {});
    rig.fake->add(seen("tab", "awdl0"), {});
    rig.fake->add(seen("other", "en0"), {});
    rig.main->runUntilIdle();
    EXPECT_EQ(rig.browser.results().at("tab"), (WirelessBrowser::Result{"tab", {"en0", "awdl0"}}));
    EXPECT_EQ(rig.changes, 3);
    EXPECT_TRUE(log.contains(R"(browse: ["other@en0", "tab@en0,awdl0"])", "wireless"));

    // The same set again: neither a log line nor a change.
    size_t lines = log.messages("wireless").size();
    rig.fake->add(seen("other", "en0"), {});
    rig.main->runUntilIdle();
    EXPECT_EQ(rig.changes, 3);
    EXPECT_EQ(log.messages("wireless").size(), lines);

    rig.fake->remove("tab", kCtrl);
    rig.main->runUntilIdle();
    EXPECT_FALSE(rig.browser.isVisible("tab"));
    EXPECT_EQ(rig.changes, 4);

    rig.browser.stop();
    EXPECT_EQ(rig.changes, 5);
    EXPECT_TRUE(rig.browser.results().empty());
    rig.browser.stop();  // already empty: no call
    EXPECT_EQ(rig.changes, 5);
    EXPECT_EQ(rig.fake->browsesRunning(kCtrl), 0u);
}

TEST(WirelessBrowser, FailedBrowseClearsResultsAndRetriesWithBackOff) {
    BrowserRig rig(WirelessLink::any);
    test::LogCapture log;
    rig.fake->add(seen("tab", "en0"), {});
    rig.main->runUntilIdle();
    ASSERT_TRUE(rig.browser.isVisible("tab"));

    rig.fake->wait(kCtrl, "no network");
    rig.main->runUntilIdle();
    EXPECT_TRUE(log.contains("browser waiting: no network", "wireless"));
    EXPECT_TRUE(rig.browser.isVisible("tab"));  // waiting alone changes nothing

    // Fails twice in a row: the dead tablet disappears at once, retries come after 1 s, then 2 s.
    rig.fake->fail(kCtrl, "daemon gone");
    rig.main->runUntilIdle();
    EXPECT_FALSE(rig.browser.isVisible("tab"));
    EXPECT_EQ(rig.changes, 2);
    EXPECT_TRUE(log.contains("browser failed: daemon gone; retrying in 1 s", "wireless"));
    EXPECT_EQ(rig.fake->browsesStarted(kCtrl), 1u);
    rig.main->advance(999'999);
    EXPECT_EQ(rig.fake->browsesStarted(kCtrl), 1u);
    rig.main->advance(1);
    EXPECT_EQ(rig.fake->browsesStarted(kCtrl), 2u);
    EXPECT_TRUE(rig.browser.isVisible("tab"));  // still advertised: seen again
    EXPECT_EQ(rig.changes, 3);

    rig.fake->fail(kCtrl, "daemon gone");
    rig.main->runUntilIdle();
    rig.fake->fail(kCtrl, "daemon gone");  // no browse running: nothing happens
    rig.main->advance(1'000'000);
    EXPECT_EQ(rig.fake->browsesStarted(kCtrl), 2u);
    rig.main->advance(1'000'000);
    EXPECT_EQ(rig.fake->browsesStarted(kCtrl), 3u);

    // Stopping cancels a pending retry.
    rig.fake->fail(kCtrl, "daemon gone");
    rig.main->runUntilIdle();
    rig.browser.stop();
    rig.main->advance(60'000'000);
    EXPECT_EQ(rig.fake->browsesStarted(kCtrl), 3u);
}

// The backend's daemon away at the start, back, away again: searching() follows, the absence is
// said once however often the backend repeats it, and the return is said too.
TEST(WirelessBrowser, SearchingFollowsTheBackendAndItsAbsenceIsSaidOnce) {
    auto main = std::make_shared<ManualExecutor>("main");
    auto fake = std::make_shared<FakeServiceBrowser>();
    WirelessBrowser browser(WirelessLink::any, fake, main);
    int flips = 0;
    browser.onSearchingChange = [&] { ++flips; };
    test::LogCapture log;
    EXPECT_FALSE(browser.searching());
    browser.start();
    EXPECT_FALSE(browser.searching());  // not before the backend answered
    main->runUntilIdle();
    EXPECT_TRUE(browser.searching());
    EXPECT_EQ(flips, 1);

    for (int i = 0; i < 3; ++i) fake->wait(kCtrl, "avahi-daemon stopped");
    main->runUntilIdle();
    EXPECT_FALSE(browser.searching());
    EXPECT_EQ(flips, 2);
    EXPECT_EQ(log.count("browser waiting: avahi-daemon stopped; Wi-Fi search is unavailable until it is back",
                        "wireless"),
              1u);

    fake->add(seen("tab", "en0"), {});
    main->runUntilIdle();
    EXPECT_TRUE(browser.searching());
    EXPECT_TRUE(browser.isVisible("tab"));
    EXPECT_EQ(log.count("browser searching again", "wireless"), 1u);

    // A failed browse is not searching until its retry is answered.
    fake->fail(kCtrl, "Daemon connection failed");
    main->runUntilIdle();
    EXPECT_FALSE(browser.searching());
    main->advance(WirelessBrowser::kFirstRetryUs);
    EXPECT_TRUE(browser.searching());

    browser.stop();
    EXPECT_FALSE(browser.searching());
}

TEST(WirelessBrowser, LinkNamesRoundTrip) {
    for (auto link : kAllWirelessLinks) EXPECT_EQ(wirelessLinkFromRaw(rawValue(link)), link);
    EXPECT_FALSE(wirelessLinkFromRaw("Any"));
}

}  // namespace
}  // namespace kelvo
