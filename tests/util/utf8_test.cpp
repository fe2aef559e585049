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

namespace kelvo {
namespace {

TEST(Utf8, ShortenNameCountsUserPerceivedCharactersAfterTrimming) {
    struct Case {
        std::string name;
        size_t limit, head, tail;
        std::string shown;
    } cases[] = {
        {"abcdefghijklmnopqr", 19, 11, 5, "abcdefghijklmnopqr"},  // 18: whole
        {"abcdefghijklmnopqrs", 19, 11, 5, "abcdefghijk…opqrs"},
        {" \t\u3000abcdefghijklmnopqr\n\u00A0", 19, 11, 5, "abcdefghijklmnopqr"},  // blanks are not counted
        {"abcdefghijklmno", 15, 8, 4, "abcdefgh…lmno"},
        // A flag and an accented letter made of two code points are one character each.
        {"\U0001F1E8\U0001F1F3e\u0301cdefghijklmn", 15, 8, 4, "\U0001F1E8\U0001F1F3e\u0301cdefghijklmn"},
        {"\U0001F1E8\U0001F1F3e\u0301cdefghijklmno", 15, 8, 4, "\U0001F1E8\U0001F1F3e\u0301cdefgh…lmno"},
        {"a\xFF" "b", 15, 8, 4, "a\uFFFDb"},
        {"  \n ", 15, 8, 4, ""},
    };
    for (const auto& c : cases) EXPECT_EQ(shortenName(c.name, c.limit, c.head, c.tail), c.shown) << c.name;
}

}  // namespace
}  // namespace kelvo
