#include "core/transport/wireless_browser.hpp"

#include <gtest/gtest.h>

#include "core/runtime/manual_executor.hpp"
#include "core/testing/fake_service_browser.hpp"
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

TEST(WirelessBrowser, LinkNamesRoundTrip) {
    for (auto link : kAllWirelessLinks) EXPECT_EQ(wirelessLinkFromRaw(rawValue(link)), link);
    EXPECT_FALSE(wirelessLinkFromRaw("Any"));
}

}  // namespace
}  // namespace kelvo
