#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>

#include "poseidon2-core/src/hash.hpp"
#include "src/base/hex.hpp"
#include "src/pow/target.hpp"
#include "src/selftest/vectors.hpp"

namespace {

constexpr std::string_view FIRST_LINE =
    "ad763674ec79cfea8b8e1503fd9e1fffb8754f196def1adebde4133f2d7d37f5 "
    "5aeced52f609b3205ec2b9acbbd20d75b9ec5fd926121026a679afc6e3c8174500000000000000000000000000000000d8f30b16630d2b730000000000000000 "
    "9dc3c76301db19074880cf57a9b0fea367de226a8b6a740ce1a0a228c8bdaa9a765a7068a32e199bdc688cfbb95a28f33abdaad8664afd51706ad3bf333aa791\n";
constexpr std::string_view LINE_3467 =
    "ad763674ec79cfea8b8e1503fd9e1fffb8754f196def1adebde4133f2d7d37f5 "
    "5aeced52f609b3205ec2b9acbbd20d75b9ec5fd926121026a679afc6e3c81745000000000000000000000000000000007cb55851166c4e78a521375d57e9a728 "
    "0001872bf7055af3c5f7c34b17ce9f8b381b3d95d734f4cd0127ea9222ecb3a73092d20db1afe5b163359deb9ddae37e522e0da66510769b46f347351307e1ad\n";

std::string without_lf(std::string_view line) { return std::string(line.substr(0, line.size() - 1)); }

std::uint64_t counter_of(const SelftestVector& v) {
    std::uint64_t c = 0;
    for (int i = 56; i < 64; ++i) c = c << 8 | v.nonce[i];
    return c;
}

Bytes64 host_hash(const SelftestVector& v) {
    std::uint8_t input[poseidon2::INPUT_LEN];
    std::memcpy(input, v.header.data(), 32);
    std::memcpy(input + 32, v.nonce.data(), 64);
    return poseidon2::poseidon2_hash_bytes(input);
}

}  // namespace

TEST(ParseVectors, AcceptsTheFormatsOfTheFormat) {
    const std::string one = without_lf(FIRST_LINE);
    const std::string two = without_lf(LINE_3467);
    std::string upper = one;
    std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
    std::string tabs = one;
    std::replace(tabs.begin(), tabs.end(), ' ', '\t');

    struct Case {
        const char* what;
        std::string text;
        std::size_t count;
    };
    const Case cases[] = {
        {"empty text", "", 0},
        {"blank lines only", "\n  \n\t\r\n", 0},
        {"LF endings", one + "\n" + two + "\n", 2},
        {"CR LF endings", one + "\r\n" + two + "\r\n", 2},
        {"last line without LF", one + "\n" + two, 2},
        {"tabs and several blanks, leading blanks", "   " + tabs + "\n  " + one + "  \n", 2},
        {"other Unicode spaces between fields", "\xe2\x80\x83" + one + "\xc2\xa0", 1},
        {"blank line between vectors", one + "\n\n" + two + "\n", 2},
        {"upper-case digits", upper, 1},
    };
    for (const Case& c : cases) {
        const auto parsed = parse_vectors(c.text, "vec.txt");
        ASSERT_TRUE(parsed) << c.what << ": " << parsed.error().chain();
        EXPECT_EQ(parsed->size(), c.count) << c.what;
    }
    const auto lower = parse_vectors(one, "x").value();
    const auto upper_parsed = parse_vectors(upper, "x").value();
    EXPECT_EQ(lower[0].hash, upper_parsed[0].hash);
    EXPECT_EQ(lower[0].nonce, upper_parsed[0].nonce);
    EXPECT_EQ(hex_encode(lower[0].header), one.substr(0, 64));
}

TEST(ParseVectors, RefusesMalformedLinesWithTheirMessage) {
    const std::string one = without_lf(FIRST_LINE);
    const std::string header = one.substr(0, 64);
    const std::string nonce = one.substr(65, 128);
    const std::string hash = one.substr(194, 128);
    std::string hash_with_g = hash;
    hash_with_g[7] = 'g';

    struct Case {
        const char* what;
        std::string text;
        std::string error;
    };
    const Case cases[] = {
        {"two fields", header + " " + nonce, "vec.txt:1 : expected 3 fields"},
        {"four fields on line 5", one + "\n" + one + "\n\n\n" + one + " 00", "vec.txt:5 : expected 3 fields"},
        {"one field", "abcd", "vec.txt:1 : expected 3 fields"},
        {"error after a blank line counts it", one + "\n\n" + header, "vec.txt:3 : expected 3 fields"},
        {"header of 62 digits", header.substr(2) + " " + nonce + " " + hash, "vec.txt:1 : expected sizes 32/64/64"},
        {"nonce and hash swapped sizes", header + " " + header + " " + hash, "vec.txt:1 : expected sizes 32/64/64"},
        {"header of 63 digits", header.substr(1) + " " + nonce + " " + hash, "Odd number of digits"},
        {"hash with a g", header + " " + nonce + " " + hash_with_g, "Invalid character 'g' at position 7"},
        {"header checked before nonce", header.substr(1).insert(0, 1, 'x') + " " + nonce.substr(1) + " " + hash,
         "Invalid character 'x' at position 0"},
        {"comment line", "# vectors\n" + one, "vec.txt:1 : expected 3 fields"},
    };
    for (const Case& c : cases) {
        const auto parsed = parse_vectors(c.text, "vec.txt");
        ASSERT_FALSE(parsed) << c.what;
        EXPECT_EQ(parsed.error().chain(), c.error) << c.what;
    }
}

TEST(LoadVectorFile, PrefixesReadErrorsWithThePathAsTyped) {
    const auto dir = std::filesystem::path(testing::TempDir()) / "ovik_vectors";
    std::filesystem::create_directories(dir);
    const std::string good = (dir / "good.txt").string();
    const std::string latin1 = (dir / "latin1.txt").string();
    std::ofstream(good) << FIRST_LINE << "\r\n";
    std::ofstream(latin1) << FIRST_LINE << "\xe9\n";

    EXPECT_EQ(load_vector_file(good).value().size(), 1u);
    EXPECT_EQ(load_vector_file(latin1).error().chain(), latin1 + ": stream did not contain valid UTF-8");
    EXPECT_EQ(load_vector_file("no/such.txt").error().chain(),
              "no/such.txt: No such file or directory (os error 2)");
    std::ofstream(good) << FIRST_LINE << "00\n";
    EXPECT_EQ(load_vector_file(good).error().chain(), good + ":2 : expected 3 fields");
}

TEST(EmbeddedVectors, HaveTheLayoutTheValidationReliesOn) {
    ASSERT_EQ(SELFTEST_VECTORS.size(), 1323008u);
    for (std::size_t line = 0; line < 4096; ++line) {
        ASSERT_EQ(SELFTEST_VECTORS[line * 323 + 322], '\n') << "line " << line + 1;
        ASSERT_TRUE(std::all_of(SELFTEST_VECTORS.begin() + line * 323, SELFTEST_VECTORS.begin() + line * 323 + 322,
                                [](char c) { return c == ' ' || (std::isxdigit(c) && !std::isupper(c)); }));
    }
    EXPECT_EQ(SELFTEST_VECTORS.substr(0, 323), FIRST_LINE);
    EXPECT_EQ(SELFTEST_VECTORS.substr(3466 * 323, 323), LINE_3467);
}

TEST(EmbeddedVectors, AreOneGroupOfDistinctCountersWithHashesThatCheck) {
    const auto vectors = parse_vectors(SELFTEST_VECTORS, EMBEDDED_VECTORS_LABEL).value();
    ASSERT_EQ(vectors.size(), 4096u);
    EXPECT_EQ(counter_of(vectors[0]), 0u);

    std::set<std::uint64_t> counters, middles;
    std::set<int> top_nibbles;
    std::size_t smallest = 0;
    for (std::size_t i = 0; i < vectors.size(); ++i) {
        const SelftestVector& v = vectors[i];
        ASSERT_EQ(v.header, vectors[0].header);
        ASSERT_TRUE(std::equal(v.nonce.begin(), v.nonce.begin() + 32, vectors[0].nonce.begin()));
        ASSERT_TRUE(std::all_of(v.nonce.begin() + 32, v.nonce.begin() + 48, [](auto b) { return b == 0; }));
        ASSERT_EQ(host_hash(v), v.hash) << "vector " << i;
        ASSERT_FALSE(std::all_of(v.hash.begin() + 32, v.hash.end(), [](auto b) { return b == 0xff; }));
        std::uint64_t middle = 0;
        for (int k = 48; k < 56; ++k) middle = middle << 8 | v.nonce[k];
        counters.insert(counter_of(v));
        middles.insert(middle);
        top_nibbles.insert(static_cast<int>(counter_of(v) >> 60));
        if (hash_meets_target(v.hash, vectors[smallest].hash)) smallest = i;
    }
    EXPECT_EQ(counters.size(), 4096u);
    EXPECT_EQ(middles.size(), 4096u);
    EXPECT_EQ(top_nibbles.size(), 16u) << "counters spread over the 64-bit range";
    EXPECT_EQ(smallest, 3466u);
}
