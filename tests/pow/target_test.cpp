#include <gtest/gtest.h>

#include "src/pow/target.hpp"

namespace {

std::string digits(std::size_t n) {
    std::string text;
    for (std::size_t i = 0; i < n; ++i) text += "0123456789abcdef"[i % 16];
    return text;
}

}  // namespace

TEST(ParseTargetHex, AcceptsOrRefusesWithTheMessage) {
    const std::string d128 = digits(128);
    struct Case {
        std::string text;
        std::string error;  // empty: accepted
    };
    const Case cases[] = {
        {d128, ""},
        {"  0x" + d128 + "\n", ""},
        {"0x0x" + d128, ""},
        {"\xe3\x80\x80\xc2\xa0" + d128 + "\xe2\x80\xa9\t", ""},
        {"0X" + d128, "expected 128 hex digits, got 130"},
        {"0x" + digits(127), "expected 128 hex digits, got 127"},
        {"", "expected 128 hex digits, got 0"},
        {"0 x" + d128, "expected 128 hex digits, got 131"},
        {d128.substr(0, 5) + "g" + d128.substr(6), "Invalid character 'g' at position 5"},
        {"0x" + d128.substr(0, 127) + "-", "Invalid character '-' at position 127"},
        {d128.substr(0, 126) + "\xc3\xa9", "Invalid character '\xc3\x83' at position 126"},
    };
    for (const Case& c : cases) {
        const auto parsed = parse_target_hex(c.text);
        if (c.error.empty()) {
            ASSERT_TRUE(parsed) << c.text;
            EXPECT_EQ((*parsed)[0], 0x01);
            EXPECT_EQ((*parsed)[63], 0xef);
        } else {
            ASSERT_FALSE(parsed) << c.text;
            EXPECT_EQ(parsed.error().chain(), c.error);
        }
    }
}

TEST(ParseTargetHex, DigitCaseDoesNotMatter) {
    std::string upper = digits(128);
    for (char& ch : upper) ch = static_cast<char>(std::toupper(ch));
    EXPECT_EQ(parse_target_hex(upper).value(), parse_target_hex(digits(128)).value());
}

TEST(ParseHashHex, UsesTheSameRulesWith64Digits) {
    EXPECT_EQ(parse_hash_hex(" 0x" + digits(64) + " ").value()[31], 0xef);
    EXPECT_EQ(parse_hash_hex(digits(128)).error().chain(), "expected 64 hex digits, got 128");
    EXPECT_EQ(parse_hash_hex(digits(63)).error().chain(), "expected 64 hex digits, got 63");
}

TEST(HashMeetsTarget, IsStrictAndByteZeroFirst) {
    Bytes64 target;
    target.fill(0x80);
    struct Case {
        const char* what;
        int byte;       // byte to change, -1 for none
        int delta;
        bool meets;
    };
    const Case cases[] = {
        {"equal", -1, 0, false},
        {"one less in byte 63", 63, -1, true},
        {"one more in byte 63", 63, +1, false},
        {"smaller first byte, larger rest", 0, -1, true},
        {"larger first byte", 0, +1, false},
    };
    for (const Case& c : cases) {
        Bytes64 hash = target;
        if (c.byte >= 0) hash[c.byte] = static_cast<std::uint8_t>(hash[c.byte] + c.delta);
        if (c.byte == 0) std::fill(hash.begin() + 1, hash.end(), c.delta < 0 ? 0xff : 0x00);
        EXPECT_EQ(hash_meets_target(hash, target), c.meets) << c.what;
    }
}
