#include "core/session/device_profile_store.hpp"

#include <gtest/gtest.h>

#include "core/settings/file_user_defaults.hpp"
#include "core/util/reference_date.hpp"
#include "support/test_support.hpp"

namespace kelvo {
namespace {

SystemTime at(double referenceSeconds) { return *dateFromReferenceSeconds(referenceSeconds); }

ProbeRecord probe(std::string iosVersion, int64_t appBuild, Orientation orientation, bool selected) {
    ProbeRecord rec;
    rec.iosVersion = std::move(iosVersion);
    rec.appBuild = appBuild;
    rec.orientation = orientation;
    rec.policy = QualityPolicy::smoothness;
    RungResult rung;
    rung.rung = ProbeRung::ladder(orientation)[1];
    rung.frameCount = rung.decoded = 30;
    rung.outWidth = rung.rung.width;
    rung.outHeight = rung.rung.height;
    rung.avgUs = 8000;
    rung.maxUs = 12000;
    rec.results = {RungResult::judged(rung)};
    if (selected) rec.selection = ProbeSelection::fallback(orientation);
    rec.date = at(786000000.25);
    return rec;
}

TEST(DeviceProfileStore, ProfilesRoundTripThroughTheDefaults) {
    auto defaults = std::make_shared<MemoryUserDefaults>();
    {
        DeviceProfileStore store(defaults);
        store.update("usb:1", "书房的平板", [](DeviceProfile& p) {
            p.preset = DisplayPreset::most;
            p.orientation = OrientationSetting::auto_;
            p.probe = probe("17.4", 120, Orientation::portrait, true);
            p.lastMode = InputMode::tabletMapping;
            p.lastSeen = at(786000100.5);
        });
        store.update("wifi:B", "iPad B", [](DeviceProfile& p) { p.lastSeen = at(786000200); });
    }
    auto stored = parseJsonObject(*defaults->data("kv.devices"));
    ASSERT_TRUE(stored);
    EXPECT_EQ((*stored)["usb:1"]["preset"], "1366x1024");
    EXPECT_EQ((*stored)["usb:1"]["lastSeen"], 786000100.5);
    EXPECT_FALSE((*stored)["wifi:B"].contains("preset"));  // absent optionals are left out
    EXPECT_FALSE((*stored)["wifi:B"].contains("probe"));

    DeviceProfileStore again(defaults);
    auto all = again.all();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].key, "wifi:B");  // newest first
    EXPECT_EQ(all[1].name, "书房的平板");
    EXPECT_EQ(all[1].probe, probe("17.4", 120, Orientation::portrait, true));
    EXPECT_EQ(all[1].lastMode, InputMode::tabletMapping);
    EXPECT_EQ(again.profile("usb:1"), all[1]);

    // Renaming keeps what was learned, including when it was last seen.
    auto renamed = again.update("usb:1", "新名字", nullptr);
    EXPECT_EQ(renamed.lastSeen, at(786000100.5));
    EXPECT_EQ(renamed.preset, DisplayPreset::most);
}

TEST(DeviceProfileStore, CachedProbeOnlyForTheSameTabletSoftwareAndOrientation) {
    DeviceProfileStore store(nullptr);
    store.update("k", "n", [](DeviceProfile& p) { p.probe = probe("17.4", 120, Orientation::landscape, true); });
    store.update("none", "n", [](DeviceProfile& p) { p.probe = probe("17.4", 120, Orientation::landscape, false); });
    struct Case {
        const char* key;
        const char* os;
        int64_t build;
        Orientation orientation;
        bool hit;
    } cases[] = {
        {"k", "17.4", 120, Orientation::landscape, true},   {"k", "17.5", 120, Orientation::landscape, false},
        {"k", "17.4", 121, Orientation::landscape, false},  {"k", "17.4", 120, Orientation::portrait, false},
        {"none", "17.4", 120, Orientation::landscape, false}, {"unknown", "17.4", 120, Orientation::landscape, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(store.cachedProbe(c.key, c.os, c.build, c.orientation).has_value(), c.hit)
            << c.key << " " << c.os << " " << c.build;
    }
    store.clearProbe("k");
    EXPECT_FALSE(store.profile("k")->probe);
}

TEST(DeviceProfileStore, ClearingAnUnknownKeySavesAndChangesNothing) {
    auto defaults = std::make_shared<MemoryUserDefaults>();
    DeviceProfileStore store(defaults);
    store.update("a", "A", nullptr);
    auto before = defaults->data("kv.devices");
    size_t writes = defaults->writeCount();
    store.clearProbe("nobody");
    EXPECT_EQ(defaults->writeCount(), writes + 1);
    EXPECT_EQ(defaults->data("kv.devices"), before);
    EXPECT_TRUE(store.all().size() == 1 && DeviceProfileStore(nullptr).all().empty());
}

TEST(DeviceProfileStore, AnUnreadableProfileIsLeftOutAndTheFileKeptBeforeTheFirstSave) {
    struct Case {
        const char* name;
        std::string stored;
        std::vector<std::string> kept;
    };
    const std::string good = R"({"key":"a","name":"A","lastSeen":786000000})";
    const Case cases[] = {
        {"one bad entry among good ones",
         R"({"a":)" + good + R"(,"b":{"key":"b","name":"B","preset":"800x600","lastSeen":1},)" +
             R"("c":{"key":"c","name":"C","lastSeen":"yesterday"},"d":{"key":"d","name":"D","lastSeen":786000001}})",
         {"a", "d"}},
        {"not an object", "[1,2,3]", {}},
        {"not JSON", "{\"a\":", {}},
    };
    for (const auto& c : cases) {
        test::TempDir dir;
        auto defaults = std::make_shared<FileUserDefaults>(dir.path());
        const std::string path = defaults->pathFor("kv.devices");
        test::writeFile(path, c.stored);

        DeviceProfileStore store(defaults);
        std::vector<std::string> keys;
        for (const auto& p : store.all()) keys.push_back(p.key);
        std::sort(keys.begin(), keys.end());
        EXPECT_EQ(keys, c.kept) << c.name;
        EXPECT_EQ(test::readFile(path), c.stored) << c.name << ": loading writes nothing";

        store.update("new", "New", nullptr);
        EXPECT_EQ(test::readFile(path + ".bad"), c.stored) << c.name;
        auto saved = DeviceProfileStore::decode(test::readFile(path));
        ASSERT_TRUE(saved) << c.name;
        EXPECT_TRUE(saved->rejected.empty());
        EXPECT_EQ(saved->profiles.size(), c.kept.size() + 1) << c.name;

        // Only the first save keeps a copy: the file now holds good profiles.
        test::writeFile(path + ".bad", "older");
        store.update("new", "New 2", nullptr);
        EXPECT_EQ(test::readFile(path + ".bad"), "older") << c.name;
    }
}

}  // namespace
}  // namespace kelvo
