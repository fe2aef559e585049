#include <gtest/gtest.h>

#include "core/util/base64.hpp"

namespace kelvo {
namespace {

std::vector<uint8_t> bytesOf(std::string_view s) { return {s.begin(), s.end()}; }

TEST(Base64, EncodesStandardVectorsAndRoundTrips) {
    const std::vector<std::pair<std::string, std::string>> vectors{
        {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"}, {"\xfb\xff", "+/8="},
    };
    for (const auto& [plain, encoded] : vectors) {
        EXPECT_EQ(base64Encode(bytesOf(plain)), encoded);
        EXPECT_EQ(base64Decode(encoded), bytesOf(plain)) << encoded;
    }
    std::vector<uint8_t> key(32);
    for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<uint8_t>(i * 37 + 200);
    const auto text = base64Encode(key);
    EXPECT_EQ(text.size(), 44u);
    EXPECT_EQ(base64Decode(text), key);
}

TEST(Base64, RejectsEverythingButCanonicalPaddedText) {
    for (std::string_view bad : {"Zg", "Zg=", "Zm9", "Zg==Zg==", "Z===", "====", "Zm 9v", "Zm9v\n", "Zm9-",
                                 "Zm9_", "Zh==", "Zm9="}) {
        EXPECT_FALSE(base64Decode(bad)) << bad;
    }
    EXPECT_FALSE(base64Decode(std::string_view("Zm8\0", 4)));
}

}  // namespace
}  // namespace kelvo
