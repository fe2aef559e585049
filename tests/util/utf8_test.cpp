#include <gtest/gtest.h>

#include "core/util/utf8.hpp"

namespace kelvo {
namespace {

const std::string kFFFD = "\xEF\xBF\xBD";

TEST(Utf8, KeepsValidTextIncludingFourByteSequences) {
    const std::string text = "abc \xE2\x8C\x98 \xE6\x93\xA6 \xF0\x9F\x98\x80";  // ⌘ 擦 😀
    EXPECT_EQ(decodeUtf8Lossy(text), text);
    EXPECT_TRUE(isValidUtf8(text));
    EXPECT_EQ(decodeUtf8Lossy(std::string_view("")), "");
}

TEST(Utf8, ReplacesEachMaximalInvalidSubpartOnce) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {"a\x80z", "a" + kFFFD + "z"},                       // lone continuation
        {"\xE2\x8C", kFFFD},                                  // truncated at end
        {"\xE2\x8Cz", kFFFD + "z"},                           // truncated before ASCII
        {"\xC0\xAF", kFFFD + kFFFD},                          // overlong two-byte
        {"\xE0\x80\xAF", kFFFD + kFFFD + kFFFD},              // overlong three-byte
        {"\xED\xA0\x80", kFFFD + kFFFD + kFFFD},              // surrogate
        {"\xF4\x90\x80\x80", kFFFD + kFFFD + kFFFD + kFFFD},  // above U+10FFFF
        {"\xF0\x9F\x98", kFFFD},
        {"\xFF\xFE", kFFFD + kFFFD},
        {std::string("a\0b", 3), std::string("a\0b", 3)},
    };
    for (const auto& [in, out] : cases) {
        EXPECT_EQ(decodeUtf8Lossy(in), out);
        EXPECT_FALSE(isValidUtf8(in) && in != out);
        EXPECT_TRUE(isValidUtf8(decodeUtf8Lossy(in)));
    }
}

}  // namespace
}  // namespace kelvo
