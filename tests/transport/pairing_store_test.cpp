#include "core/transport/pairing_store.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "core/transport/secure_transport.hpp"
#include "core/util/base64.hpp"
#include "core/util/json.hpp"
#include "support/test_support.hpp"

namespace kelvo {
namespace {

using namespace std::chrono;

PairingRecord makeRecord(std::string udid, std::string service, uint8_t fill = 7) {
    return PairingRecord{udid, "iPad of " + udid, service, std::vector<uint8_t>(32, fill),
                         SystemTime(seconds(978'307'200 + 100))};
}

unsigned modeOf(const std::string& path) {
    struct stat st{};
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

std::vector<std::string> folderEntries(const std::string& folder) {
    std::vector<std::string> names;
    for (auto& e : std::filesystem::directory_iterator(folder)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(PairingStore, WritesTheSpecifiedFileForm) {
    test::TempDir dir;
    std::string path = dir.file("Kelvo/pairing.json");
    PairingStore store(path);
    auto rec = makeRecord("udid-1", "tablet-a");
    store.save(rec);

    auto json = parseJsonObject(test::readFile(path));
    ASSERT_TRUE(json);
    EXPECT_EQ((*json)["hostID"], store.hostID());
    ASSERT_EQ((*json)["devices"].size(), 1u);
    const auto& d = (*json)["devices"][0];
    EXPECT_EQ(d["udid"], "udid-1");
    EXPECT_EQ(d["service"], "tablet-a");
    EXPECT_EQ(d["key"], base64Encode(rec.key));
    EXPECT_EQ(d["key"].get<std::string>().size(), 44u);
    // 100 s after 2001-01-01, not after 1970.
    EXPECT_DOUBLE_EQ(d["paired"].get<double>(), 100.0);

    // A lower-case UUID identity that survives a reload together with the records.
    EXPECT_EQ(store.hostID().size(), 36u);
    EXPECT_EQ(store.hostID(), [&] {
        std::string s = store.hostID();
        for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return s;
    }());
    PairingStore again(path);
    EXPECT_EQ(again.hostID(), store.hostID());
    EXPECT_EQ(again.records(), store.records());
    EXPECT_EQ(again.records()[0].fingerprint(), SecureTransport::fingerprint(rec.key));
}

TEST(PairingStore, SaveReplacesSameUdidOrSameServiceAndAppends) {
    PairingStore store(std::nullopt);
    int changes = 0;
    store.onChange = [&] { ++changes; };
    store.save(makeRecord("a", "svc-a"));
    store.save(makeRecord("b", "svc-b"));
    store.save(makeRecord("c", "svc-c"));

    store.save(makeRecord("a", "svc-a2", 1));  // same tablet, new service
    store.save(makeRecord("d", "svc-b", 2));   // another tablet reusing a service name
    std::vector<std::string> udids;
    for (auto& r : store.records()) udids.push_back(r.udid);
    EXPECT_EQ(udids, (std::vector<std::string>{"c", "a", "d"}));
    EXPECT_EQ(store.record("a")->service, "svc-a2");
    EXPECT_EQ(store.recordForService("svc-b")->udid, "d");
    EXPECT_FALSE(store.record("b"));

    store.remove("nobody");  // still a change notification, even in memory
    store.remove("c");
    EXPECT_EQ(store.records().size(), 2u);
    EXPECT_EQ(changes, 7);
}

TEST(PairingStore, FileIsOwnerOnlyFromCreationAndAfterEverySave) {
    test::TempDir dir;
    std::string path = dir.file("Kelvo/pairing.json");
    mode_t old = umask(0);  // a permissive umask must not leak into the secret file
    {
        PairingStore store(path);
        store.save(makeRecord("a", "svc"));
        EXPECT_EQ(modeOf(path), 0600u);
        chmod(path.c_str(), 0644);
        store.remove("nobody");
        EXPECT_EQ(modeOf(path), 0600u);
        EXPECT_EQ(modeOf(dir.file("Kelvo")), 0700u);
    }
    umask(old);
    // No temporary file is left beside it.
    EXPECT_EQ(folderEntries(dir.file("Kelvo")), (std::vector<std::string>{"pairing.json"}));
}

TEST(PairingStore, UnreadableOrCorruptFileIsMovedAsideNotOverwritten) {
    struct Case {
        const char* name;
        std::string content;
    };
    const std::vector<Case> cases = {
        {"not JSON", "{\"hostID\": "},
        {"no devices", R"({"hostID":"11111111-2222-3333-4444-555555555555"})"},
        {"record without paired",
         R"({"hostID":"h","devices":[{"udid":"u","name":"n","service":"s","key":"AAAA"}]})"},
        {"key not Base64", R"({"hostID":"h","devices":[{"udid":"u","name":"n","service":"s","key":"!!","paired":1}]})"},
        {"paired beyond the clock",
         R"({"hostID":"h","devices":[{"udid":"u","name":"n","service":"s","key":"AAAA","paired":8650000050}]})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir dir;
        std::string path = dir.file("pairing.json");
        test::writeFile(path, c.content);
        test::LogCapture log;
        PairingStore store(path);
        EXPECT_TRUE(store.records().empty());
        EXPECT_EQ(log.count("load " + path, "pairing"), 1u);
        // The old file is kept, byte for byte, under another name.
        EXPECT_EQ(test::readFile(path + ".bad-1"), c.content);

        store.save(makeRecord("a", "svc"));
        EXPECT_EQ(PairingStore(path).hostID(), store.hostID());
        EXPECT_EQ(test::readFile(path + ".bad-1"), c.content);
    }
}

TEST(PairingStore, FileThatCannotBeMovedAsideIsNeverOverwritten) {
    test::TempDir dir;
    std::string path = dir.file("pairing.json");
    test::writeFile(path, "garbage");
    // Every name it could be moved to is taken.
    for (int n = 1; n < 100; ++n) test::writeFile(path + ".bad-" + std::to_string(n), "older");
    {
        test::LogCapture log;
        PairingStore store(path);
        store.save(makeRecord("a", "svc"));
        EXPECT_TRUE(log.contains("save " + path, "pairing"));
        EXPECT_EQ(store.records().size(), 1u);  // kept in memory
    }
    EXPECT_EQ(test::readFile(path), "garbage");
}

TEST(PairingStore, MissingFileStartsSilentlyAndWritesNothingUntilAChange) {
    test::TempDir dir;
    std::string path = dir.file("Kelvo/pairing.json");
    test::LogCapture log;
    PairingStore store(path);
    EXPECT_TRUE(store.records().empty());
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_TRUE(log.messages("pairing").empty());
}

TEST(PairingStore, DefaultPathFollowsXdgDataHome) {
    const char* saved = getenv("XDG_DATA_HOME");
    std::string keep = saved ? saved : "";
    setenv("XDG_DATA_HOME", "/data/home", 1);
    EXPECT_EQ(PairingStore::defaultPath(), "/data/home/Kelvo/pairing.json");
    unsetenv("XDG_DATA_HOME");
    setenv("HOME", getenv("HOME") ? getenv("HOME") : "/root", 1);
    EXPECT_EQ(PairingStore::defaultPath(), std::string(getenv("HOME")) + "/.local/share/Kelvo/pairing.json");
    if (saved) setenv("XDG_DATA_HOME", keep.c_str(), 1);
}

}  // namespace
}  // namespace kelvo
