#include <gtest/gtest.h>

#include "core/display/display_source.hpp"
#include "core/util/fnv.hpp"
#include "display_test_support.hpp"
#include "support/test_support.hpp"

namespace kelvo {
namespace {

using test::SimulatedDesk;

Expected<std::shared_ptr<VirtualDisplaySource>, DisplayError> make(SimulatedDesk& desk, const DeviceIdentity& id,
                                                                   Orientation o = Orientation::landscape) {
    return VirtualDisplaySource::make(desk.server, desk.main, id, o, {148, 197}, std::nullopt,
                                      ModeRegistrationUnit::points);
}

TEST(DisplayName, KeepsThePrefixAndCutsByUserPerceivedCharacters) {
    std::string forty(40, 'x');
    auto cut = VirtualDisplaySource::displayName(forty);
    EXPECT_EQ(cut, "Kelvo \u00B7 " + std::string(23, 'x'));  // 8 + 23 = 31 characters
    // A family emoji (one character of 7 code points) and a combining accent count once each.
    std::string family = "\U0001F468\u200D\U0001F469\u200D\U0001F467\u200D\U0001F466";
    std::string name = std::string(21, 'a') + "e\u0301" + family + "zz";
    EXPECT_EQ(VirtualDisplaySource::displayName(name), "Kelvo \u00B7 " + std::string(21, 'a') + "e\u0301" + family);
    EXPECT_EQ(VirtualDisplaySource::displayName("王的 iPad"), "Kelvo \u00B7 王的 iPad");
    EXPECT_EQ(prefixCharacters("ab\xFF", 3), "ab\xEF\xBF\xBD");  // invalid bytes become one U+FFFD
}

TEST(VirtualDisplaySource, RegistersTheCatalogModesWithTheTabletsIdentity) {
    SimulatedDesk desk;
    test::LogCapture log;
    auto made = make(desk, {"udid-1", "Ann's tablet"}, Orientation::portrait);
    ASSERT_TRUE(made.ok()) << made.error().description();
    auto source = made.value();
    EXPECT_TRUE(source->isVirtual());
    EXPECT_EQ(source->orientation(), Orientation::portrait);

    auto d = desk.server.virtualDisplayDescriptor(source->displayID());
    ASSERT_TRUE(d);
    EXPECT_EQ(d->name, "Kelvo \u00B7 Ann's tablet");
    EXPECT_EQ(d->vendorId, 0x4B56u);
    EXPECT_EQ(d->productId, 0x0A02u);
    EXPECT_EQ(d->serialNumber, FNV::fnv1a32("udid-1"));
    EXPECT_EQ(d->maxPixelsWide, 2048u);
    EXPECT_EQ(d->maxPixelsHigh, 2732u);
    EXPECT_EQ(d->sizeInMillimeters, (SizeD{148, 197}));

    auto settings = desk.server.virtualDisplaySettings(source->displayID());
    ASSERT_TRUE(settings);
    EXPECT_TRUE(settings->hiDPI);
    ASSERT_EQ(settings->modes.size(), 4u);
    EXPECT_EQ(settings->modes[0], (VirtualDisplayModeSize{1024, 1366, 60.0}));
    // The largest HiDPI mode fits the maximum pixel size exactly.
    auto modes = desk.server.modes(source->displayID());
    ASSERT_FALSE(modes.empty());
    EXPECT_EQ(modes[0].pixelWidth, 2048);
    EXPECT_EQ(modes[0].pixelHeight, 2732);
    EXPECT_TRUE(log.contains("virtual display " + std::to_string(source->displayID()) +
                                 " created (portrait, Kelvo \u00B7 Ann's tablet)",
                             "display"));

    DisplayId id = source->displayID();
    source.reset();
    made = make(desk, {"x", "y"});  // releases the earlier result
    EXPECT_TRUE(log.contains("virtual display " + std::to_string(id) + " removed", "display"));
    auto online = desk.server.onlineDisplays();
    EXPECT_EQ(std::count(online.begin(), online.end(), id), 0);
}

TEST(VirtualDisplaySource, CreationFailuresAreReportedAndLeaveNoDisplay) {
    struct Case {
        const char* what;
        std::function<void(SimulatedDisplayServer&)> inject;
        std::string description;
    } cases[] = {
        {"unavailable", [](auto& s) { s.setVirtualDisplaysAvailable(false); },
         "virtual displays are not available on this display server"},
        {"refused", [](auto& s) { s.setRefuseCreate(true); }, "failed to create the virtual display"},
        {"id 0", [](auto& s) { s.setNextVirtualDisplayIdZero(true); }, "failed to create the virtual display"},
        {"modes refused", [](auto& s) { s.setRefuseModes(true); }, "failed to create the virtual display"},
    };
    for (auto& c : cases) {
        SimulatedDesk desk;
        c.inject(desk.server);
        auto made = make(desk, {"k", "n"});
        ASSERT_FALSE(made.ok()) << c.what;
        EXPECT_EQ(made.error().description(), c.description) << c.what;
        EXPECT_EQ(desk.server.onlineDisplays().size(), 2u) << c.what;
    }
}

TEST(VirtualDisplaySource, TerminationReachesALiveSourceOnlyOnTheMainQueue) {
    SimulatedDesk desk;
    test::LogCapture log;
    auto source = make(desk, {"k", "n"}).value();
    int terminated = 0;
    source->onTerminated = [&] { ++terminated; };
    desk.server.terminate(source->displayID());
    EXPECT_EQ(terminated, 0);
    desk.main->runUntilIdle();
    EXPECT_EQ(terminated, 1);
    EXPECT_TRUE(log.contains("virtual display terminated by the system", "display"));

    // Terminated, then destroyed before the notice runs: nothing is called.
    auto second = make(desk, {"k", "n"}).value();
    second->onTerminated = [&] { ++terminated; };
    desk.server.terminate(second->displayID());
    second.reset();
    desk.main->runUntilIdle();
    EXPECT_EQ(terminated, 1);
}

TEST(ExternalDisplaySource, WrapsOnlyAnOnlineDisplay) {
    SimulatedDesk desk;
    auto ok = ExternalDisplaySource::make(desk.server, desk.external, Orientation::landscape);
    ASSERT_TRUE(ok.ok());
    EXPECT_FALSE(ok.value()->isVirtual());
    EXPECT_EQ(ok.value()->displayID(), desk.external);
    auto missing = ExternalDisplaySource::make(desk.server, 77, Orientation::landscape);
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().description(), "display 77 is not online");
}

}  // namespace
}  // namespace kelvo
