#include "platform/desktop/login_item.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>

#include "core/util/atomic_file.hpp"
#include "support/test_support.hpp"

namespace kelvo {
namespace {

class LoginItemTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* old = getenv("XDG_CONFIG_HOME")) saved_ = old;
        setenv("XDG_CONFIG_HOME", dir_.file("config").c_str(), 1);
    }
    void TearDown() override {
        if (saved_) setenv("XDG_CONFIG_HOME", saved_->c_str(), 1);
        else unsetenv("XDG_CONFIG_HOME");
    }

    test::TempDir dir_;
    std::optional<std::string> saved_;
};

TEST_F(LoginItemTest, EntryIsCreatedAndRemoved) {
    LoginItem item("/opt/kelvo/bin/kelvo-host");
    EXPECT_EQ(LoginItem::entryPath(), dir_.file("config/autostart/kelvo-host.desktop"));
    EXPECT_FALSE(item.isEnabled());

    ASSERT_FALSE(item.setEnabled(true));
    EXPECT_TRUE(item.isEnabled());
    std::string text = test::readFile(LoginItem::entryPath());
    EXPECT_NE(text.find("[Desktop Entry]\n"), std::string::npos);
    EXPECT_NE(text.find("\nExec=\"/opt/kelvo/bin/kelvo-host\"\n"), std::string::npos);

    ASSERT_FALSE(item.setEnabled(true));  // again: still one entry, no error
    ASSERT_FALSE(item.setEnabled(false));
    EXPECT_FALSE(item.isEnabled());
    EXPECT_FALSE(item.setEnabled(false));  // already gone
}

TEST_F(LoginItemTest, ExecQuotesPathsThatAShellOrTheEntryFormatWouldSplit) {
    struct Case {
        const char* path;
        const char* exec;
    } cases[] = {
        {"/home/a b/kelvo-host", "Exec=\"/home/a b/kelvo-host\"\n"},
        {"/x/\"q\"/k", "Exec=\"/x/\\\\\"q\\\\\"/k\"\n"},
        {"/x/$HOME/k", "Exec=\"/x/\\\\$HOME/k\"\n"},
        {"/x/a\\b", "Exec=\"/x/a\\\\\\\\b\"\n"},
        {"/x/100%/k", "Exec=\"/x/100%%/k\"\n"},
        {"/x/a\nName=evil", "Exec=\"/x/a Name=evil\"\n"},
    };
    for (const auto& c : cases) {
        std::string text = LoginItem(c.path).entryText();
        EXPECT_NE(text.find(c.exec), std::string::npos) << c.path << "\n" << text;
    }
}

TEST_F(LoginItemTest, FailureOnlyLogs) {
    // A file where the configuration folder should be: the entry cannot be written.
    test::writeFile(dir_.file("config"), "not a folder");
    test::LogCapture log;
    LoginItem("/usr/bin/kelvo-host").apply(true);
    EXPECT_EQ(log.count("login item: ", "app"), 1u);
    EXPECT_FALSE(LoginItem("/usr/bin/kelvo-host").isEnabled());
}

}  // namespace
}  // namespace kelvo
