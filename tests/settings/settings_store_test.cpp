#include "core/settings/settings_store.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>

#include "core/settings/file_user_defaults.hpp"
#include "support/test_support.hpp"

namespace kelvo {
namespace {

constexpr std::string_view kKey = SettingsStore::defaultsKey;

std::shared_ptr<MemoryUserDefaults> storedAs(std::string_view bytes) {
    auto d = std::make_shared<MemoryUserDefaults>();
    d->setData(kKey, bytes);
    return d;
}

TEST(SettingsMergeTest, StoredDocumentsMergeOverTheDefaults) {
    auto with = [](auto change) {
        Settings s;
        change(s);
        return s;
    };
    struct Case {
        const char* stored;
        std::optional<Settings> expect;
        std::vector<std::string> rejected;
    } cases[] = {
        {R"({"fpsCap":30})", with([](Settings& s) { s.fpsCap = 30; }), {}},
        {R"({"fpsCap":"x","wireless":false})", with([](Settings& s) { s.wireless = false; }), {"fpsCap"}},
        {R"({"preset":"huge","autoConnect":false})", with([](Settings& s) { s.autoConnect = false; }), {"preset"}},
        {R"({"autoConnect":"yes","preset":"1366x1024"})", with([](Settings& s) { s.preset = DisplayPreset::most; }),
         {"autoConnect"}},
        {R"({"directCtrlPort":70000,"directVideoPort":5000.0})", with([](Settings& s) { s.directVideoPort = 5000; }),
         {"directCtrlPort"}},
        {R"({"externalDisplayID":-1,"longPressMs":700.0,"sidebarAutoHideMs":2.5})",
         with([](Settings& s) { s.longPressMs = 700; }), {"externalDisplayID", "sidebarAutoHideMs"}},
        {R"({"autoConnect":null,"pressureCurve":[0.1,"x"]})", Settings(), {"autoConnect", "pressureCurve"}},
        {R"({"extra":1,"fpsCap":30})", with([](Settings& s) { s.fpsCap = 30; }), {}},
        {R"({"mappingCustomRect":[[1,2],[3,4]]})", with([](Settings& s) { s.mappingCustomRect = Rect{1, 2, 3, 4}; }), {}},
        {R"({"mappingCustomRect":[1,2,3,4]})", Settings(), {"mappingCustomRect"}},
        {"{}", Settings(), {}},
        {"not json", std::nullopt, {}},
        {"", std::nullopt, {}},
        {"[1,2]", std::nullopt, {}},
        {"\"kv\"", std::nullopt, {}},
        {R"({"fpsCap":30} trailing)", std::nullopt, {}},
    };
    for (const auto& c : cases) {
        auto merged = SettingsStore::decodeMergedReporting(c.stored);
        ASSERT_EQ(merged.has_value(), c.expect.has_value()) << c.stored;
        if (!merged) continue;
        EXPECT_EQ(merged->settings, *c.expect) << c.stored;
        EXPECT_EQ(merged->rejected, c.rejected) << c.stored;
    }
}

TEST(SettingsStoreTest, LoadsWithoutWriting) {
    auto empty = std::make_shared<MemoryUserDefaults>();
    SettingsStore fresh(empty);
    EXPECT_EQ(fresh.settings(), Settings());
    EXPECT_EQ(empty->data(kKey), std::nullopt);

    auto bad = storedAs("not json");
    test::LogCapture log;
    SettingsStore fallback(bad);
    EXPECT_EQ(fallback.settings(), Settings());
    EXPECT_EQ(bad->data(kKey), "not json");
    EXPECT_EQ(bad->writeCount(), 1u);  // the seeding write only
    EXPECT_TRUE(log.contains("not a JSON object", "settings"));

    Settings initial;
    initial.fpsCap = 24;
    SettingsStore given(storedAs(R"({"fpsCap":30})"), initial);
    EXPECT_EQ(given.settings().fpsCap, 24);
}

TEST(SettingsStoreTest, OneBadMemberKeepsTheRestAndIsKeptAsideBeforeTheFirstOverwrite) {
    const std::string original = R"({"preset":"fromTheFuture","wireless":false,"fpsCap":30})";
    auto d = storedAs(original);
    test::LogCapture log;
    SettingsStore store(d);
    EXPECT_FALSE(store.settings().wireless);
    EXPECT_EQ(store.settings().fpsCap, 30);
    EXPECT_EQ(store.settings().preset, DisplayPreset::standard);
    EXPECT_EQ(log.count("defaults taken for: preset", "settings"), 1u);

    store.update([](Settings& s) { s.fpsCap = 60; });
    EXPECT_EQ(d->keptAside(kKey), original);
    auto saved = SettingsStore::decodeMergedReporting(*d->data(kKey));
    ASSERT_TRUE(saved);
    EXPECT_TRUE(saved->rejected.empty());
    EXPECT_EQ(saved->settings, store.settings());

    store.update([](Settings& s) { s.fpsCap = 30; });
    EXPECT_EQ(d->keptAside(kKey), original);  // kept once, not replaced by our own document
}

TEST(SettingsStoreTest, ExtraKeysAreDroppedOnTheNextSave) {
    auto d = storedAs(R"({"extra":1,"fpsCap":30})");
    SettingsStore store(d);
    store.update([](Settings& s) { s.wireless = false; });
    auto saved = parseJsonObject(*d->data(kKey));
    ASSERT_TRUE(saved);
    EXPECT_FALSE(saved->contains("extra"));
    EXPECT_EQ((*saved)["fpsCap"], 30);
    EXPECT_EQ(saved->size(), 51u);
    EXPECT_EQ(d->keptAside(kKey), std::nullopt);
}

TEST(SettingsStoreTest, AnUpdateThatChangesNothingWritesNothing) {
    auto d = std::make_shared<MemoryUserDefaults>();
    SettingsStore store(d);
    int calls = 0;
    store.observe([&](const Settings&, const Settings&) { ++calls; });
    store.update([](Settings&) {});
    store.update([](Settings& s) { s.fpsCap = 60; });
    store.update([](Settings& s) { s.fpsCap = 61; s.fpsCap = 60; });
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(d->writeCount(), 0u);
    EXPECT_EQ(d->data(kKey), std::nullopt);
}

TEST(SettingsStoreTest, ObserversSeeOldAndNewAfterTheSave) {
    auto d = std::make_shared<MemoryUserDefaults>();
    SettingsStore store(d);
    int calls = 0;
    store.observe([&](const Settings& old, const Settings& now) {
        ++calls;
        EXPECT_TRUE(old.wireless);
        EXPECT_FALSE(now.wireless);
        auto saved = d->data(kKey);
        ASSERT_TRUE(saved);
        EXPECT_NE(saved->find("\"wireless\":false"), std::string::npos);
    });
    store.update([](Settings& s) { s.wireless = false; });
    EXPECT_EQ(calls, 1);
}

TEST(SettingsStoreTest, NonFiniteValueStaysInMemoryAndIsNotSaved) {
    auto d = storedAs(R"({"fpsCap":30})");
    SettingsStore store(d);
    int calls = 0;
    store.observe([&](const Settings&, const Settings&) { ++calls; });
    store.update([](Settings& s) { s.bitrateMbps = std::numeric_limits<double>::infinity(); });
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(store.settings().bitrateBps(), std::numeric_limits<int64_t>::max());
    EXPECT_EQ(d->data(kKey), R"({"fpsCap":30})");
}

TEST(SettingsStoreTest, MemoryOnlyStoreStillNotifies) {
    SettingsStore store(nullptr);
    int calls = 0;
    store.observe([&](const Settings&, const Settings&) { ++calls; });
    store.update([](Settings& s) { s.invertScroll = true; });
    EXPECT_TRUE(store.settings().invertScroll);
    EXPECT_EQ(calls, 1);
}

TEST(SettingsStoreTest, ObserversMayUpdateAndRemoveDuringANotification) {
    SettingsStore store(nullptr);
    std::vector<std::string> calls;
    Uuid second{};
    Uuid first = store.observe([&](const Settings&, const Settings& now) {
        calls.push_back("first " + std::to_string(now.fpsCap));
        // Mirrors the change back, as the settings window does: the nested update is a no-op
        // the second time round.
        store.update([](Settings& s) { s.fpsCap = 30; });
        store.removeObserver(second);
    });
    second = store.observe([&](const Settings&, const Settings&) { calls.push_back("second"); });
    store.update([](Settings& s) { s.fpsCap = 24; });
    EXPECT_EQ(store.settings().fpsCap, 30);
    // The nested change (24 → 30) notifies first again; second was removed before its turn.
    EXPECT_EQ(calls, (std::vector<std::string>{"first 24", "first 30"}));

    store.removeObserver(first);
    store.removeObserver(first);  // unknown now: no effect
    store.update([](Settings& s) { s.fpsCap = 60; });
    EXPECT_EQ(calls.size(), 2u);
}

class FileSettingsTest : public ::testing::Test {
protected:
    test::TempDir dir;
    std::string folder = dir.path() + "/config/kelvo";
    std::string file = folder + "/kv.settings.json";
};

TEST_F(FileSettingsTest, ChangesPersistAtomicallyAcrossStores) {
    {
        SettingsStore store(std::make_shared<FileUserDefaults>(folder));
        store.update([](Settings& s) {
            s.directHost = "10.0.0.2/ctl";
            s.mappingCustomRect = Rect{0, 0, 800, 600};
        });
    }
    struct stat st {};
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_NE(test::readFile(file).find(R"("directHost":"10.0.0.2\/ctl")"), std::string::npos);
    size_t entries = 0;
    for (const auto& e : std::filesystem::directory_iterator(folder)) {
        (void)e;
        ++entries;
    }
    EXPECT_EQ(entries, 1u);  // no temporary file left behind

    SettingsStore reloaded(std::make_shared<FileUserDefaults>(folder));
    EXPECT_EQ(reloaded.settings().directHost, "10.0.0.2/ctl");
    EXPECT_EQ(reloaded.settings().mappingCustomRect, (Rect{0, 0, 800, 600}));
}

TEST_F(FileSettingsTest, UnreadableFileIsKeptBesideTheNewOne) {
    std::filesystem::create_directories(folder);
    test::writeFile(file, "{\"fpsCap\": 30, oops");
    SettingsStore store(std::make_shared<FileUserDefaults>(folder));
    EXPECT_EQ(store.settings(), Settings());
    EXPECT_EQ(test::readFile(file), "{\"fpsCap\": 30, oops");  // loading writes nothing

    store.update([](Settings& s) { s.autoConnect = false; });
    EXPECT_EQ(test::readFile(file + ".bad"), "{\"fpsCap\": 30, oops");
    auto saved = SettingsStore::decodeMerged(test::readFile(file));
    ASSERT_TRUE(saved);
    EXPECT_FALSE(saved->autoConnect);
}

TEST_F(FileSettingsTest, KeysThatAreNotPlainNamesAreRefused) {
    FileUserDefaults d(folder);
    for (std::string_view key : {"", "../kv.settings", ".hidden", "a/b", "kv settings"}) {
        EXPECT_FALSE(d.setData(key, "{}")) << key;
        EXPECT_EQ(d.data(key), std::nullopt) << key;
    }
    EXPECT_TRUE(d.setData("kv.devices", "{}"));
    EXPECT_EQ(d.data("kv.devices"), "{}");
}

class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = getenv(name)) saved_ = old;
        if (value) setenv(name, value, 1); else unsetenv(name);
    }
    ~ScopedEnv() {
        if (saved_) setenv(name_, saved_->c_str(), 1); else unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> saved_;
};

TEST(FileUserDefaultsTest, FolderComesFromTheEnvironment) {
    ScopedEnv home("HOME", "/home/u");
    {
        ScopedEnv config("KELVO_CONFIG_DIR", "/tmp/kv-test");
        ScopedEnv xdg("XDG_CONFIG_HOME", "/xdg");
        EXPECT_EQ(FileUserDefaults::standardFolder(), "/tmp/kv-test");
    }
    ScopedEnv config("KELVO_CONFIG_DIR", nullptr);
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", "/xdg");
        EXPECT_EQ(FileUserDefaults::standardFolder(), "/xdg/kelvo");
    }
    ScopedEnv xdg("XDG_CONFIG_HOME", "relative");
    EXPECT_EQ(FileUserDefaults::standardFolder(), "/home/u/.config/kelvo");
}

}  // namespace
}  // namespace kelvo
