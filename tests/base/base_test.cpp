#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "src/base/durations.hpp"
#include "src/base/error.hpp"
#include "src/base/file_replace.hpp"
#include "src/base/hex.hpp"
#include "src/base/text_file.hpp"
#include "src/base/unicode.hpp"
#include "tests/support/temp_files.hpp"

namespace {

Result<int> failing_step() { return fail("connection refused"); }

Result<int> outer_step() { return with_context(failing_step(), "getwork"); }

}  // namespace

TEST(Error, AlternateFormShowsTheWholeChain) {
    const Error error = Error("root cause").context("middle").context("outer");
    EXPECT_EQ(fmt::format("{}", error), "outer");
    EXPECT_EQ(fmt::format("{:#}", error), "outer: middle: root cause");
    EXPECT_EQ(error.messages(), (std::vector<std::string>{"outer", "middle", "root cause"}));

    const Result<int> result = outer_step();
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().chain(), "getwork: connection refused");
    EXPECT_EQ(with_context(Result<int>(5), "unused").value(), 5);
}

TEST(Hex, EncodesLowerCase) {
    const std::uint8_t bytes[] = {0x00, 0x0f, 0xab, 0xff};
    EXPECT_EQ(hex_encode(bytes), "000fabff");
    EXPECT_EQ(hex_encode({}), "");
}

TEST(Hex, DecodesOrReportsTheDecodersMessages) {
    struct Case {
        std::string_view text;
        std::string_view error;  // empty: decodes
        std::vector<std::uint8_t> bytes;
    };
    const Case cases[] = {
        {"", "", {}},
        {"00fFaB", "", {0x00, 0xff, 0xab}},
        {"abc", "Odd number of digits", {}},
        {"abcg", "Invalid character 'g' at position 3", {}},
        {"0123g5", "Invalid character 'g' at position 4", {}},
        {"01234g", "Invalid character 'g' at position 5", {}},
        {"zz1", "Odd number of digits", {}},  // length is checked before digits
        {"0 ", "Invalid character ' ' at position 1", {}},
        {"\t0", "Invalid character '\\t' at position 0", {}},
        {"'0", "Invalid character '\\'' at position 0", {}},
        {"\\0", "Invalid character '\\\\' at position 0", {}},
        {std::string_view("\0" "0", 2), "Invalid character '\\0' at position 0", {}},
        {"0\x7f", "Invalid character '\\u{7f}' at position 1", {}},
        // Bytes, not characters: the first byte of "é" (C3 A9) reads as U+00C3.
        {"0\xc3\xa9" "0", "Invalid character '\xc3\x83' at position 1", {}},
        {"\xc2\xa0" "00", "Invalid character '\xc3\x82' at position 0", {}},
        {"0\xa0", "Invalid character '\\u{a0}' at position 1", {}},
    };
    for (const Case& c : cases) {
        const auto decoded = hex_decode(c.text);
        if (c.error.empty()) {
            ASSERT_TRUE(decoded) << c.text;
            EXPECT_EQ(*decoded, c.bytes);
        } else {
            ASSERT_FALSE(decoded) << c.text;
            EXPECT_EQ(decoded.error().chain(), c.error);
        }
    }
}

TEST(Hex, FixedSizeDecodeRefusesOtherLengthsAndKeepsOutputOnFailure) {
    EXPECT_EQ(hex_decode_array<2>("abcd").value(), (std::array<std::uint8_t, 2>{0xab, 0xcd}));
    EXPECT_EQ(hex_decode_array<2>("abcdef").error().chain(), "Invalid string length");
    std::array<std::uint8_t, 2> out = {1, 2};
    EXPECT_FALSE(hex_decode_into("ffzz", out));
    EXPECT_EQ(out, (std::array<std::uint8_t, 2>{1, 2}));
}

TEST(Unicode, TrimsAndSplitsAtEveryWhiteSpaceCharacter) {
    const std::string all_spaces =
        "\t\n\v\f\r \xc2\x85\xc2\xa0\xe1\x9a\x80\xe2\x80\x80\xe2\x80\x8a\xe2\x80\xa8\xe2\x80\xa9"
        "\xe2\x80\xaf\xe2\x81\x9f\xe3\x80\x80";
    EXPECT_EQ(trim_white_space(all_spaces + "a b" + all_spaces), "a b");
    EXPECT_EQ(trim_white_space(all_spaces), "");
    // Zero-width space U+200B and U+FEFF are not White_Space.
    EXPECT_EQ(trim_white_space("\xe2\x80\x8bx\xef\xbb\xbf"), "\xe2\x80\x8bx\xef\xbb\xbf");
    EXPECT_EQ(split_white_space("  a\tbb" + all_spaces + "\xc3\xa9 "),
              (std::vector<std::string_view>{"a", "bb", "\xc3\xa9"}));
    EXPECT_TRUE(split_white_space(" \t ").empty());
}

TEST(Unicode, RecognisesWellFormedUtf8Only) {
    EXPECT_TRUE(is_valid_utf8("plain \xc3\xa9 \xe2\x80\x94 \xf0\x9f\x98\x80"));
    for (std::string_view bad : {"\xff", "\xc3", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "a\x80"})
        EXPECT_FALSE(is_valid_utf8(bad)) << bad;
}

TEST(Unicode, LossyDecodingAndScalarCounts) {
    struct Case {
        std::string_view bytes, text;
    };
    const Case cases[] = {
        {"plain \xc3\xa9", "plain \xc3\xa9"},
        {"a\xff" "b", "a\xef\xbf\xbd" "b"},
        {"\xe2\x82", "\xef\xbf\xbd"},                // a cut sequence is one replacement
        {"\xe2\x82x", "\xef\xbf\xbd" "x"},
        {"\xc0\xaf", "\xef\xbf\xbd\xef\xbf\xbd"},  // overlong: each byte
        {"\xed\xa0\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},  // surrogate: each byte
        {"\xf0\x9f\x98", "\xef\xbf\xbd"},
    };
    for (const Case& c : cases) EXPECT_EQ(utf8_lossy(c.bytes), c.text) << c.bytes;

    std::string accents;
    for (int i = 0; i < 300; ++i) accents += "\xc3\xa9";
    EXPECT_EQ(first_scalar_values(accents, 200).size(), 400u);
    EXPECT_EQ(first_scalar_values("abc", 200), "abc");
}

TEST(TextFile, ReadsUtf8AndNamesWhatWentWrong) {
    const auto dir = std::filesystem::path(testing::TempDir()) / "ovik_text_file";
    std::filesystem::create_directories(dir);
    const auto good = (dir / "good.txt").string();
    const auto latin1 = (dir / "latin1.txt").string();
    std::ofstream(good) << "caf\xc3\xa9\r\n";
    std::ofstream(latin1) << "caf\xe9";

    EXPECT_EQ(read_text_file(good).value(), "caf\xc3\xa9\r\n");
    EXPECT_EQ(read_text_file(latin1).error().chain(), "stream did not contain valid UTF-8");
    EXPECT_EQ(read_text_file((dir / "missing.txt").string()).error().chain(),
              "No such file or directory (os error 2)");
    EXPECT_EQ(read_text_file(dir.string()).error().chain(), "Is a directory (os error 21)");
}

TEST(FileReplace, ReplacesTheWholeFileInItsDirectoryAndLeavesNothingBeside) {
    const TempDir dir;
    const std::filesystem::path path = dir.path() / "a" / "b" / "file";
    ASSERT_TRUE(make_directory_tree(path.parent_path()));
    EXPECT_TRUE(make_directory_tree(path.parent_path())) << "an existing tree";
    EXPECT_TRUE(make_directory_tree("")) << "a file name alone has no directory to make";

    ASSERT_TRUE(replace_file(path, "a longer first text"));
    ASSERT_TRUE(replace_file(path, "short"));
    EXPECT_EQ(read_file(path), "short");
    ASSERT_TRUE(replace_file(path, ""));
    EXPECT_EQ(read_file(path), "");
    EXPECT_EQ(names_in(path.parent_path()), std::set<std::string>{"file"});
}

TEST(FileReplace, TheSaveLockLastsAsLongAsItsDescriptor) {
    using namespace std::chrono_literals;
    const TempDir dir;
    const std::filesystem::path lock_path = dir.path() / "file.lock";
    Result<OwnedFd> first = take_save_lock(lock_path, 0ms);
    ASSERT_TRUE(first);
    {
        // flock locks belong to the open file: a second take in this process
        // contends like another process.
        const Result<OwnedFd> second = take_save_lock(lock_path, 30ms);
        ASSERT_FALSE(second);
        EXPECT_EQ(second.error().chain(), fmt::format("{} held by another save for 0.0 s", lock_path.string()));
        const OwnedFd moved = std::move(*first);
        EXPECT_FALSE(take_save_lock(lock_path, 0ms)) << "held by the descriptor moved to";
    }
    EXPECT_TRUE(take_save_lock(lock_path, 0ms)) << "released with that descriptor";
    EXPECT_TRUE(std::filesystem::is_regular_file(lock_path)) << "the lock file stays";
}

TEST(Durations, CountsPastTheClocksRangeSaturateInsteadOfWrapping) {
    using namespace std::chrono_literals;
    using std::chrono::seconds, std::chrono::milliseconds;
    constexpr ClockDuration LONGEST = ClockDuration::max();
    struct Case {
        ClockDuration got, want;
        const char* what;
    };
    const Case cases[] = {
        {duration_from_s(0), 0s, "0 s"},
        {duration_from_s(1000), 1000s, "1000 s"},
        {duration_from_s(9223372036), seconds(9223372036), "the most whole seconds the clock holds"},
        {duration_from_s(9223372037), LONGEST, "one more"},
        {duration_from_s(10000000000), LONGEST, "10^10 s, whose nanoseconds wrap"},
        {duration_from_s(std::uint64_t{1} << 63), LONGEST, "2^63 s, negative as a signed count"},
        {duration_from_s(UINT64_MAX), LONGEST, "the largest count"},
        {duration_from_ms(1500), 1500ms, "1500 ms"},
        {duration_from_ms(9223372036854), milliseconds(9223372036854), "the most whole milliseconds"},
        {duration_from_ms(9223372036855), LONGEST, "one more"},
        {duration_from_ms(UINT64_MAX), LONGEST, "2^64 - 1 ms, -1 as a signed count"},
        {saturating_add(20s, 15s), 35s, "a sum"},
        {saturating_add(LONGEST - 1s, 15s), LONGEST, "a sum past the range"},
        {saturating_add(LONGEST, LONGEST), LONGEST, "the longest twice"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.got, c.want) << c.what;
}
