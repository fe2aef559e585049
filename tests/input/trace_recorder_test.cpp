#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>

#include "core/input/trace_recorder.hpp"
#include "support/test_support.hpp"

namespace kelvo {
namespace {

TEST(TraceRecorder, WritesSortedLinesAndLoadsTheFramesBack) {
    test::TempDir dir;
    auto trace = TraceRecorder::create(dir.path() + "/nested/logs");
    ASSERT_TRUE(trace);
    TouchFrame first{1000, {{1, TouchPhase::began, 1, {0.123456, 0.5}, 9.5, 2}, {2, TouchPhase::moved, 1, {1, 0}, 8, 2}}};
    TouchFrame second{2000, {{1, TouchPhase::ended, 1, {0.25, 0.75}, 6.25, 2}}};
    trace->record(first);
    trace->recordText("héllo", 555);
    trace->record(second);

    EXPECT_EQ(test::readFile(trace->path()),
              "{\"t\":1000,\"touches\":[{\"id\":1,\"ph\":0,\"r\":9.5,\"x\":0.1235,\"y\":0.5},"
              "{\"id\":2,\"ph\":1,\"r\":8,\"x\":1,\"y\":0}]}\n"
              "{\"t\":555,\"textLength\":5}\n"
              "{\"t\":2000,\"touches\":[{\"id\":1,\"ph\":3,\"r\":6.25,\"x\":0.25,\"y\":0.75}]}\n");

    auto frames = TraceRecorder::load(trace->path());
    ASSERT_EQ(frames.size(), 2u);
    first.touches[0].norm.x = 0.1235;
    EXPECT_EQ(frames[0], first);
    EXPECT_EQ(frames[1], second);
}

TEST(TraceRecorder, LoadSkipsWhatIsNotAFrame) {
    const auto frames = TraceRecorder::parse(
        "not json\n"
        "\n"
        "{\"t\":1,\"touches\":[{\"id\":1,\"ph\":1,\"x\":0.5,\"y\":0.5}]}\n"       // r defaults to 8
        "{\"t\":2,\"touches\":[{\"id\":1,\"ph\":9,\"x\":0.5,\"y\":0.5},"         // unknown phase: touch dropped
        "{\"id\":2,\"ph\":1,\"x\":0.1,\"y\":0.2,\"r\":4}]}\n"
        "{\"t\":-5,\"touches\":[]}\n"                                           // t out of range
        "{\"t\":1e30,\"touches\":[]}\n"
        "{\"t\":3,\"touches\":[{\"id\":300,\"ph\":1,\"x\":0.5,\"y\":0.5}]}\n"    // id out of range
        "{\"t\":4,\"touches\":[{\"id\":-1,\"ph\":1,\"x\":0.5,\"y\":0.5}]}\n"
        "{\"t\":5,\"touches\":[{\"id\":\"a\",\"ph\":1,\"x\":0.5,\"y\":0.5}]}\n"  // id not numeric: touch dropped
        "{\"t\":6,\"touches\":[7]}\n"                                           // not an array of objects
        "{\"t\":\"7\",\"touches\":[]}\n"
        "{\"t\":8}\n"
        "[1,2]\n"
        "{\"t\":9,\"touches\":[]}");                                            // no final newline
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(frames[0], (TouchFrame{1, {{1, TouchPhase::moved, 1, {0.5, 0.5}, 8.0, 2.0}}}));
    EXPECT_EQ(frames[1], (TouchFrame{2, {{2, TouchPhase::moved, 1, {0.1, 0.2}, 4.0, 2.0}}}));
    EXPECT_EQ(frames[2], (TouchFrame{5, {}}));
    EXPECT_EQ(frames[3], (TouchFrame{9, {}}));

    test::TempDir dir;
    EXPECT_TRUE(TraceRecorder::load(dir.file("missing.jsonl")).empty());
    EXPECT_TRUE(TraceRecorder::load(dir.path()).empty()) << "a folder is unreadable as a trace";
}

TEST(TraceRecorder, RecordersOfOneSecondNeverShareAFile) {
    test::TempDir dir;
    // Names carry the second: three recorders made at once need distinct names. Retry when the
    // clock's second turns over between them.
    for (int attempt = 0; attempt < 5; ++attempt) {
        auto a = TraceRecorder::create(dir.path());
        auto b = TraceRecorder::create(dir.path());
        auto c = TraceRecorder::create(dir.path());
        ASSERT_TRUE(a && b && c);
        a->record({1, {}});
        b->record({2, {}});
        const std::string base = a->path().substr(0, a->path().size() - 6);
        if (b->path() != base + "-2.jsonl") continue;
        EXPECT_EQ(c->path(), base + "-3.jsonl");
        EXPECT_EQ(TraceRecorder::load(a->path()), (std::vector<TouchFrame>{{1, {}}}));
        EXPECT_EQ(TraceRecorder::load(b->path()), (std::vector<TouchFrame>{{2, {}}}));
        struct stat st {};
        ASSERT_EQ(::stat(a->path().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        return;
    }
    FAIL() << "the second never stood still";
}

TEST(TraceRecorder, StandardFolderFollowsXdgState) {
    const char* saved = getenv("XDG_STATE_HOME");
    const std::string keep = saved ? saved : "";
    setenv("XDG_STATE_HOME", "/var/tmp/state", 1);
    EXPECT_EQ(TraceRecorder::standardFolder(), "/var/tmp/state/kelvo");
    setenv("XDG_STATE_HOME", "relative", 1);
    EXPECT_TRUE(TraceRecorder::standardFolder().ends_with("/.local/state/kelvo"));
    if (saved) setenv("XDG_STATE_HOME", keep.c_str(), 1);
    else unsetenv("XDG_STATE_HOME");
}

TEST(TraceRecorder, CreateFailsWhereNoFileCanBeMade) {
    test::TempDir dir;
    test::writeFile(dir.file("plain"), "x");
    EXPECT_FALSE(TraceRecorder::create(dir.file("plain")));
}

}  // namespace
}  // namespace kelvo
