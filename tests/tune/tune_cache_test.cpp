#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <set>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <fmt/format.h>

#include "src/tune/tune_cache.hpp"
#include "tests/support/temp_files.hpp"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// Sets or unsets an environment variable for one scope, then puts back what
// was there.
class EnvVar {
public:
    EnvVar(const char* name, const std::optional<std::string>& value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value) {
            ::setenv(name, value->c_str(), 1);
        } else {
            ::unsetenv(name);
        }
    }
    EnvVar(const EnvVar&) = delete;
    EnvVar& operator=(const EnvVar&) = delete;
    ~EnvVar() {
        if (old_) {
            ::setenv(name_, old_->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

// The names in a directory.
void write_bytes(const fs::path& path, std::string_view bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

const Tuning SAMPLE{"hb89", 1024, 256, 64, 123.45, "unix 1700000000 on RTX 4090", "1.0.0"};

// SAMPLE in both forms a record may take in the file.
constexpr std::string_view SAMPLE_OBJECT =
    R"({"variant": "hb89", "blocks": 1024, "threads": 256, "iters": 64, "mhs": 123.45,
        "measured": "unix 1700000000 on RTX 4090", "version": "1.0.0"})";
constexpr std::string_view SAMPLE_ARRAY = R"(["hb89", 1024, 256, 64, 123.45, "unix 1700000000 on RTX 4090", "1.0.0"])";

// The text of a one-record cache holding SAMPLE, with `mhs` as the rate.
std::string rate_text(double mhs) {
    Tuning tuning = SAMPLE;
    tuning.mhs = mhs;
    const std::string text = tune_cache_text(TuneCache{{{"k", tuning}}});
    const std::size_t start = text.find("\"mhs\": ") + 7;
    return text.substr(start, text.find(',', start) - start);
}

}  // namespace

TEST(TuneCacheKey, RoundsThePowerLimitToWholeWatts) {
    struct Case {
        double watts;
        std::string_view key;
    };
    const Case cases[] = {
        {350.0, "L|B|350W|1.0.0"}, {262.4, "L|B|262W|1.0.0"}, {263.6, "L|B|264W|1.0.0"},
        {0.0, "L|B|0W|1.0.0"},     {262.5, "L|B|262W|1.0.0"},  // exact halves go to the even neighbour
        {263.5, "L|B|264W|1.0.0"},
    };
    for (const Case& c : cases) EXPECT_EQ(tune_cache_key("L", "B", c.watts), c.key) << c.watts;
    EXPECT_EQ(tune_cache_key("NVIDIA GeForce RTX 4090", "00000000:01:00.0", 450.0),
              "NVIDIA GeForce RTX 4090|00000000:01:00.0|450W|1.0.0");
}

TEST(TuneCachePath, PrefersXdgThenHomeThenTheAccountsHomeAndNeverTheWorkingDirectory) {
    using Env = std::optional<std::string>;
    struct Case {
        Env xdg, home, account;
        std::string_view path;  // empty: no cache
    };
    const Case cases[] = {
        {"/etc/xdg", "/home/u", "/home/a", "/etc/xdg/ovik_dtc/tune.json"},
        {"/etc/xdg/", std::nullopt, std::nullopt, "/etc/xdg/ovik_dtc/tune.json"},
        // A relative variable is ignored, as an empty one: the next rule holds.
        {"relative/conf", "/home/u", std::nullopt, "/home/u/.config/ovik_dtc/tune.json"},
        {"relcfg", "home/u", "/var/lib/miner", "/var/lib/miner/.config/ovik_dtc/tune.json"},
        {"", "/home/u", std::nullopt, "/home/u/.config/ovik_dtc/tune.json"},
        {"\xff\xfe", "/home/u", std::nullopt, "/home/u/.config/ovik_dtc/tune.json"},
        {std::nullopt, "/home/u/", std::nullopt, "/home/u/.config/ovik_dtc/tune.json"},
        {std::nullopt, "/", std::nullopt, "/.config/ovik_dtc/tune.json"},
        {std::nullopt, "/home/j\xc3\xbcrgen", std::nullopt, "/home/j\xc3\xbcrgen/.config/ovik_dtc/tune.json"},
        // A service: neither variable, or both empty or broken.
        {std::nullopt, std::nullopt, "/var/lib/miner", "/var/lib/miner/.config/ovik_dtc/tune.json"},
        {"", "", "/var/lib/miner", "/var/lib/miner/.config/ovik_dtc/tune.json"},
        {"", "\xc3\x28", "/var/lib/miner", "/var/lib/miner/.config/ovik_dtc/tune.json"},
        {std::nullopt, std::nullopt, std::nullopt, ""},
        {std::nullopt, "", "", ""},
        {std::nullopt, std::nullopt, "relative", ""},
        {std::nullopt, std::nullopt, "/home/\xff", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(tune_cache_path(TuneCacheHomes{c.xdg, c.home, c.account}).string(), c.path)
            << "XDG_CONFIG_HOME=" << c.xdg.value_or("(unset)") << " HOME=" << c.home.value_or("(unset)")
            << " account=" << c.account.value_or("(none)");
    }

    // From the environment; without either variable, never the working
    // directory's tree.
    {
        const EnvVar xdg("XDG_CONFIG_HOME", "/etc/xdg");
        EXPECT_EQ(tune_cache_path().string(), "/etc/xdg/ovik_dtc/tune.json");
    }
    const EnvVar xdg("XDG_CONFIG_HOME", std::nullopt);
    const EnvVar home("HOME", std::nullopt);
    const fs::path unset = tune_cache_path();
    EXPECT_TRUE(unset.empty() || unset.is_absolute()) << unset;
}

TEST(TuneCacheParse, AcceptsBothRecordForms) {
    using Entries = std::unordered_map<std::string, Tuning>;
    Tuning whole = SAMPLE;
    whole.mhs = 100.0;
    Tuning widest = SAMPLE;
    widest.blocks = widest.threads = widest.iters = 4294967295u;
    struct Case {
        std::string_view name;
        std::string text;
        Entries entries;
    };
    const Case cases[] = {
        {"object", fmt::format(R"({{"a": {}}})", SAMPLE_OBJECT), {{"a", SAMPLE}}},
        {"array", fmt::format(R"({{"a": {}}})", SAMPLE_ARRAY), {{"a", SAMPLE}}},
        {"both", fmt::format(R"({{"a": {}, "b": {}}})", SAMPLE_OBJECT, SAMPLE_ARRAY), {{"a", SAMPLE}, {"b", SAMPLE}}},
        {"any member order",
         R"({"a": {"version": "1.0.0", "measured": "unix 1700000000 on RTX 4090", "mhs": 123.45, "iters": 64,
                   "threads": 256, "blocks": 1024, "variant": "hb89"}})",
         {{"a", SAMPLE}}},
        {"unknown members skipped, nested names included",
         R"({"a": {"variant": "hb89", "note": {"variant": [1, {"blocks": null}], "x": []}, "blocks": 1024,
                   "threads": 256, "iters": 64, "mhs": 123.45, "other": null, "measured": "unix 1700000000 on RTX 4090",
                   "version": "1.0.0", "last": [[true]]}})",
         {{"a", SAMPLE}}},
        {"later duplicate record wins",
         fmt::format(R"({{"a": ["old", 1, 2, 3, 4.5, "m", "0.9.0"], "a": {}}})", SAMPLE_ARRAY),
         {{"a", SAMPLE}}},
        {"integer rate", R"({"a": ["hb89", 1024, 256, 64, 100, "unix 1700000000 on RTX 4090", "1.0.0"]})",
         {{"a", whole}}},
        {"widest counters",
         R"({"a": ["hb89", 4294967295, 4294967295, 4294967295, 123.45, "unix 1700000000 on RTX 4090", "1.0.0"]})",
         {{"a", widest}}},
        {"escaped names and values",
         R"({"k\u00e9y": {"\u0076ariant": "hb\u0038\u0039", "blocks": 1024, "threads": 256, "iters": 64,
                          "mhs": 1.2345e2, "measured": "unix 1700000000 on RTX 4090", "version": "1.0.0"}})",
         {{"k\xc3\xa9y", SAMPLE}}},
        {"white space around everything", fmt::format(" \t\r\n{{ \"a\" :\n{}\r\n}} \t\r\n", SAMPLE_ARRAY),
         {{"a", SAMPLE}}},
        {"empty", "{}", {}},
    };
    for (const Case& c : cases) {
        const TuneCache cache = tune_cache_parse(c.text);
        EXPECT_EQ(cache.entries, c.entries) << c.name;
        EXPECT_FALSE(cache.changed) << c.name;
    }
}

TEST(TuneCacheParse, AnyViolationEmptiesTheWholeCache) {
    struct Case {
        std::string_view name;
        std::string record;  // placed beside a good record
    };
    const Case cases[] = {
        {"array of six", R"(["hb89", 1024, 256, 64, 123.45, "m"])"},
        {"array of eight", R"(["hb89", 1024, 256, 64, 123.45, "m", "1.0.0", "x"])"},
        {"array with a wrong type", R"(["hb89", "1024", 256, 64, 123.45, "m", "1.0.0"])"},
        {"null rate", R"({"variant": "hb89", "blocks": 1, "threads": 2, "iters": 3, "mhs": null, "measured": "m",
                          "version": "1.0.0"})"},
        {"missing version", R"({"variant": "hb89", "blocks": 1, "threads": 2, "iters": 3, "mhs": 1.0,
                                "measured": "m"})"},
        {"member twice", R"({"variant": "hb89", "blocks": 1, "threads": 2, "iters": 3, "mhs": 1.0, "measured": "m",
                             "version": "1.0.0", "blocks": 1})"},
        {"negative blocks", R"(["hb89", -1, 256, 64, 1.0, "m", "1.0.0"])"},
        {"minus zero threads", R"(["hb89", 1, -0, 64, 1.0, "m", "1.0.0"])"},
        {"fractional iters", R"(["hb89", 1, 2, 3.5, 1.0, "m", "1.0.0"])"},
        {"whole number with a fraction", R"(["hb89", 3.0, 2, 3, 1.0, "m", "1.0.0"])"},
        {"whole number with an exponent", R"(["hb89", 1e2, 2, 3, 1.0, "m", "1.0.0"])"},
        {"counter over 32 bits", R"(["hb89", 4294967296, 2, 3, 1.0, "m", "1.0.0"])"},
        {"counter over 64 bits", R"(["hb89", 18446744073709551616, 2, 3, 1.0, "m", "1.0.0"])"},
        {"rate out of range", R"(["hb89", 1, 2, 3, 1e400, "m", "1.0.0"])"},
        {"rate as a string", R"(["hb89", 1, 2, 3, "1.0", "m", "1.0.0"])"},
        {"number as variant", R"([89, 1, 2, 3, 1.0, "m", "1.0.0"])"},
        {"boolean as measured", R"(["hb89", 1, 2, 3, 1.0, false, "1.0.0"])"},
        {"null as version", R"(["hb89", 1, 2, 3, 1.0, "m", null])"},
        {"object as a field", R"(["hb89", 1, 2, 3, 1.0, {"a": 1}, "1.0.0"])"},
        {"array as a field", R"({"variant": ["hb89"], "blocks": 1, "threads": 2, "iters": 3, "mhs": 1.0,
                                 "measured": "m", "version": "1.0.0"})"},
        {"record as a string", R"("hb89")"},
        {"record as null", "null"},
        {"record as a number", "5"},
        {"control character in a string", "[\"hb\x01\", 1, 2, 3, 1.0, \"m\", \"1.0.0\"]"},
        {"invalid UTF-8 in a string", "[\"hb\xff\", 1, 2, 3, 1.0, \"m\", \"1.0.0\"]"},
        {"lone surrogate escape", R"(["\ud800", 1, 2, 3, 1.0, "m", "1.0.0"])"},
        {"trailing comma", R"(["hb89", 1, 2, 3, 1.0, "m", "1.0.0",])"},
    };
    for (const Case& c : cases) {
        const std::string text = fmt::format("{{\"good\": {}, \"bad\": {}}}", SAMPLE_OBJECT, c.record);
        EXPECT_TRUE(tune_cache_parse(text).entries.empty()) << c.name;
    }

    const std::string good = fmt::format(R"({{"a": {}}})", SAMPLE_ARRAY);
    ASSERT_EQ(tune_cache_parse(good).entries.size(), 1u);
    const std::string whole_texts[] = {
        "",
        "   ",
        good + " x",
        good + "{}",
        good + ",",
        "\xEF\xBB\xBF" + good,
        "/* note */" + good,
        good + "// note",
        good.substr(0, good.size() - 1),
        fmt::format("[{}]", SAMPLE_ARRAY),
        "null",
        "\"text\"",
        std::string(good).insert(1, "\v"),  // vertical tab is not JSON white space
    };
    for (const std::string& text : whole_texts) EXPECT_TRUE(tune_cache_parse(text).entries.empty()) << text;
}

TEST(TuneCacheLoad, ReadsTheFileOrGivesAnEmptyCache) {
    const TempDir dir;
    const fs::path path = dir.path() / "tune.json";
    EXPECT_TRUE(tune_cache_load(path).entries.empty());  // missing
    EXPECT_TRUE(tune_cache_load(dir.path()).entries.empty());  // a directory

    write_bytes(path, fmt::format(R"({{"a": {}}})", SAMPLE_ARRAY));
    const TuneCache loaded = tune_cache_load(path);
    EXPECT_EQ(loaded.entries, (std::unordered_map<std::string, Tuning>{{"a", SAMPLE}}));
    EXPECT_FALSE(loaded.changed);

    // A stray byte outside any string is still not UTF-8.
    write_bytes(path, fmt::format("{{\"a\": {}}} \xff", SAMPLE_ARRAY));
    EXPECT_TRUE(tune_cache_load(path).entries.empty());
}

TEST(TuneCacheLoad, ReadsOnlyARegularFileOfBoundedSizeAndNeverBlocks) {
    const TempDir dir;
    const std::string record = fmt::format(R"({{"a": {}}})", SAMPLE_ARRAY);
    write_bytes(dir.path() / "good.json", record);
    // Trailing white space is valid: only the size refuses these.
    write_bytes(dir.path() / "at_bound.json", record + std::string(TUNE_CACHE_MAX_BYTES - record.size(), ' '));
    write_bytes(dir.path() / "over_bound.json", record + std::string(TUNE_CACHE_MAX_BYTES - record.size() + 1, ' '));
    ASSERT_EQ(::mkfifo((dir.path() / "fifo").c_str(), 0600), 0);
    struct Case {
        const char* what;
        std::function<void(const fs::path&)> plant;  // makes tune.json
        bool loads;
    };
    const auto link_to = [](fs::path target) { return [target](const fs::path& at) { fs::create_symlink(target, at); }; };
    const Case cases[] = {
        {"a link to a regular file", link_to(dir.path() / "good.json"), true},
        {"a file of exactly the bound", link_to(dir.path() / "at_bound.json"), true},
        {"a byte over the bound", link_to(dir.path() / "over_bound.json"), false},
        {"a link to /dev/zero (read without end, once)", link_to("/dev/zero"), false},
        {"a FIFO nobody writes to (blocked the start, once)", link_to(dir.path() / "fifo"), false},
        {"a FIFO itself", [&](const fs::path& at) { ASSERT_EQ(::mkfifo(at.c_str(), 0600), 0); }, false},
        {"a dangling link", link_to(dir.path() / "missing.json"), false},
    };
    for (const Case& c : cases) {
        const fs::path path = dir.path() / "tune.json";
        fs::remove(path);
        c.plant(path);
        const TuneCache loaded = tune_cache_load(path);
        EXPECT_EQ(loaded.entries.size(), c.loads ? 1u : 0u) << c.what;
    }
}

TEST(TuneCacheText, WritesTheExactLayout) {
    EXPECT_EQ(tune_cache_text(TuneCache{}), "{}");

    const TuneCache one{{{"RTX 4090|00000000:01:00.0|450W|1.0.0", SAMPLE}}};
    EXPECT_EQ(tune_cache_text(one),
              "{\n"
              "  \"RTX 4090|00000000:01:00.0|450W|1.0.0\": {\n"
              "    \"variant\": \"hb89\",\n"
              "    \"blocks\": 1024,\n"
              "    \"threads\": 256,\n"
              "    \"iters\": 64,\n"
              "    \"mhs\": 123.45,\n"
              "    \"measured\": \"unix 1700000000 on RTX 4090\",\n"
              "    \"version\": \"1.0.0\"\n"
              "  }\n"
              "}");

    // Records are separated by "," after the closing brace, in their keys'
    // order whatever the map's.
    Tuning other = SAMPLE;
    other.variant = "fast120";
    const TuneCache two{{{"b", other}, {"a", SAMPLE}}};
    std::string expected = "{\n";
    for (const std::string key : {"a", "b"}) {
        const std::string single = tune_cache_text(TuneCache{{{key, two.entries.at(key)}}});
        if (expected.size() > 2) expected += ",\n";
        expected += single.substr(2, single.size() - 4);
    }
    expected += "\n}";
    EXPECT_EQ(tune_cache_text(two), expected);
    EXPECT_EQ(tune_cache_parse(tune_cache_text(two)).entries, two.entries);
}

TEST(TuneCacheText, EscapesOnlyWhatJsonRequires) {
    Tuning tuning = SAMPLE;
    tuning.measured = "unix 1 on GPU \"0\" \\ a/b \x7f caf\xc3\xa9 \xe2\x82\xac\t\n\r\b\f\x01\x1f";
    tuning.variant = "bad \xff byte";  // written repaired, so the file still loads
    const std::string text = tune_cache_text(TuneCache{{{"q\"k", tuning}}});
    EXPECT_NE(text.find("  \"q\\\"k\": {\n"), std::string::npos) << text;
    EXPECT_NE(text.find("    \"measured\": \"unix 1 on GPU \\\"0\\\" \\\\ a/b \x7f caf\xc3\xa9 \xe2\x82\xac"
                        "\\t\\n\\r\\b\\f\\u0001\\u001f\",\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("    \"variant\": \"bad \xef\xbf\xbd byte\",\n"), std::string::npos) << text;

    const TuneCache back = tune_cache_parse(text);
    ASSERT_EQ(back.entries.count("q\"k"), 1u);
    EXPECT_EQ(back.entries.at("q\"k").measured, tuning.measured);
}

TEST(TuneCacheText, WritesTheShortestRateThatReadsBack) {
    struct Case {
        double mhs;
        std::string_view text;
    };
    const Case cases[] = {
        {0.0, "0.0"},
        {100.0, "100.0"},
        {123.45, "123.45"},
        {-2.5, "-2.5"},
        {0.1 + 0.2, "0.30000000000000004"},
        {1e15, "1000000000000000.0"},
        {1e16, "1e16"},
        {1.5e17, "1.5e17"},
        {0.00001, "0.00001"},
        {0.000012345, "0.000012345"},
        {1e-6, "1e-6"},
        {1.5e-7, "1.5e-7"},
        {5e-324, "5e-324"},
        {std::numeric_limits<double>::max(), "1.7976931348623157e308"},
        {std::nan(""), "null"},
        {std::numeric_limits<double>::infinity(), "null"},
        {-std::numeric_limits<double>::infinity(), "null"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(rate_text(c.mhs), c.text) << c.mhs;
        if (!std::isfinite(c.mhs)) continue;
        Tuning tuning = SAMPLE;
        tuning.mhs = c.mhs;
        const TuneCache back = tune_cache_parse(tune_cache_text(TuneCache{{{"k", tuning}}}));
        ASSERT_EQ(back.entries.count("k"), 1u) << c.mhs;
        EXPECT_EQ(back.entries.at("k"), tuning) << c.mhs;
    }
}

TEST(TuneCacheSave, WritesThroughATemporaryFileAndLoadsBack) {
    const TempDir dir;
    const EnvVar xdg("XDG_CONFIG_HOME", (dir.path() / "new" / "conf").string());
    const fs::path path = dir.path() / "new" / "conf" / "ovik_dtc" / "tune.json";
    ASSERT_EQ(tune_cache_path(), path);

    Tuning unmeasured{"energy", 68, 128, 16, 0.0, "not measured (--no-autotune)", "1.0.0"};
    TuneCache cache{{{"a|b|350W|1.0.0", SAMPLE}, {"c|d|0W|1.0.0", unmeasured}}, true};
    const Result<void> saved = tune_cache_save(cache);
    ASSERT_TRUE(saved) << fmt::format("{:#}", saved.error());
    EXPECT_EQ(read_file(path), tune_cache_text(cache));
    EXPECT_EQ(names_in(path.parent_path()), (std::set<std::string>{"tune.json", "tune.json.lock"}));
    const TuneCache loaded = tune_cache_load(path);
    EXPECT_EQ(loaded.entries, cache.entries);
    EXPECT_FALSE(loaded.changed);

    // Saving again keeps the file's records of other keys; the saver's own
    // win for theirs.
    Tuning remeasured = unmeasured;
    remeasured.mhs = 7.5;
    ASSERT_TRUE(tune_cache_save(TuneCache{{{"c|d|0W|1.0.0", remeasured}}, true}, path));
    EXPECT_EQ(tune_cache_load(path).entries,
              (std::unordered_map<std::string, Tuning>{{"a|b|350W|1.0.0", SAMPLE}, {"c|d|0W|1.0.0", remeasured}}));
    EXPECT_EQ(names_in(path.parent_path()), (std::set<std::string>{"tune.json", "tune.json.lock"}));

    // Any file name works when the path is given.
    const fs::path plain = dir.path() / "cache";
    ASSERT_TRUE(tune_cache_save(TuneCache{}, plain));
    EXPECT_EQ(read_file(plain), "{}");
}

TEST(TuneCacheSave, NeverWritesThroughALinkBesideTheCache) {
    const TuneCache cache{{{"a|b|350W|1.0.0", SAMPLE}}, true};
    struct Case {
        const char* what;
        const char* link;  // the name planted as a link to the victim
        bool saved;
    };
    const Case cases[] = {
        {"tune.json a link to another file (replaced by the file)", "tune.json", true},
        {"tune.json.tmp, an older miner's temporary name, a link (left alone)", "tune.json.tmp", true},
        {"tune.json.lock a link (not opened through it: not saved)", "tune.json.lock", false},
    };
    for (const bool victim_exists : {true, false}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(fmt::format("{}, victim {}", c.what, victim_exists ? "present" : "absent"));
            const TempDir dir;
            const fs::path path = dir.path() / "ovik_dtc" / "tune.json";
            const fs::path victim = dir.path() / "victim";
            fs::create_directories(path.parent_path());
            if (victim_exists) write_bytes(victim, "precious");
            fs::create_symlink(victim, path.parent_path() / c.link);

            EXPECT_EQ(bool(tune_cache_save(cache, path)), c.saved);
            EXPECT_EQ(fs::exists(victim), victim_exists);
            if (victim_exists) {
                EXPECT_EQ(read_file(victim), "precious");
            }
            if (c.saved) {
                EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(path)));
                EXPECT_EQ(read_file(path), tune_cache_text(cache));
            }
            for (const std::string& name : names_in(path.parent_path()))
                EXPECT_FALSE(name.starts_with("tune.json.tmp.")) << name;
        }
    }
}

TEST(TuneCacheSave, ReportsEachStepsFailure) {
    const TempDir dir;
    const fs::path regular = dir.path() / "regular";
    write_bytes(regular, "not a directory");

    // The directory cannot be made under a regular file.
    const Result<void> under_file = tune_cache_save(TuneCache{}, regular / "ovik_dtc" / "tune.json");
    ASSERT_FALSE(under_file);
    EXPECT_EQ(under_file.error().message(), fmt::format("mkdir {}", (regular / "ovik_dtc").string()));
    EXPECT_EQ(fmt::format("{:#}", under_file.error()),
              fmt::format("mkdir {}: Not a directory (os error 20)", (regular / "ovik_dtc").string()));

    // The lock file cannot be opened.
    const fs::path blocked = dir.path() / "blocked" / "tune.json";
    fs::create_directories(dir.path() / "blocked" / "tune.json.lock");
    const Result<void> no_lock = tune_cache_save(TuneCache{}, blocked);
    ASSERT_FALSE(no_lock);
    EXPECT_EQ(fmt::format("{}", no_lock.error()), fmt::format("lock {}.lock: Is a directory (os error 21)", blocked.string()));

    // The rename fails over a directory; the written temporary is removed.
    const fs::path occupied = dir.path() / "occupied" / "tune.json";
    fs::create_directories(occupied / "inside");
    const Result<void> no_rename = tune_cache_save(TuneCache{}, occupied);
    ASSERT_FALSE(no_rename);
    EXPECT_EQ(fmt::format("{:#}", no_rename.error()), "Is a directory (os error 21)");
    EXPECT_EQ(names_in(occupied.parent_path()), (std::set<std::string>{"tune.json", "tune.json.lock"}));
}

TEST(TuneCacheSave, ALockHeldElsewhereSkipsTheSaveAfterTheWait) {
    const TempDir dir;
    const fs::path path = dir.path() / "tune.json";
    ASSERT_TRUE(tune_cache_save(TuneCache{{{"mine", SAMPLE}}, true}, path));
    const std::string before = read_file(path);

    // flock locks belong to the open file: a second open in this process
    // contends like another miner.
    const int held = ::open((path.string() + ".lock").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    const Result<void> skipped = tune_cache_save(TuneCache{{{"other", SAMPLE}}, true}, path, 50ms);
    ::close(held);
    ASSERT_FALSE(skipped);
    EXPECT_EQ(fmt::format("{}", skipped.error()), fmt::format("{}.lock held by another save for 0.1 s", path.string()));
    EXPECT_EQ(read_file(path), before);
    EXPECT_TRUE(tune_cache_save(TuneCache{{{"other", SAMPLE}}, true}, path, 50ms));
}

TEST(TuneCacheSave, SaversRacingOnOneCacheKeepEveryRecord) {
    const TempDir dir;
    const fs::path path = dir.path() / "ovik_dtc" / "tune.json";
    constexpr int SAVERS = 4, SAVES = 40;
    std::vector<pid_t> children;
    for (int i = 0; i < SAVERS; ++i) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            // Each saver knows its own GPU's record only, as a miner that
            // loaded the cache before the others saved.
            Tuning mine = SAMPLE;
            bool all_saved = true;
            for (int n = 0; n < SAVES; ++n) {
                mine.blocks = static_cast<std::uint32_t>(n + 1);
                all_saved &= bool(tune_cache_save(TuneCache{{{fmt::format("gpu{}", i), mine}}, true}, path, 10s));
            }
            ::_exit(all_saved ? 0 : 1);
        }
        children.push_back(pid);
    }
    for (const pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a save failed";
    }
    const TuneCache kept = tune_cache_load(path);
    ASSERT_EQ(kept.entries.size(), static_cast<std::size_t>(SAVERS)) << read_file(path);
    for (const auto& [key, tuning] : kept.entries) EXPECT_EQ(tuning.blocks, std::uint32_t{SAVES}) << key;
    EXPECT_EQ(names_in(path.parent_path()), (std::set<std::string>{"tune.json", "tune.json.lock"}));
}

TEST(TuneCacheSave, WithoutAHomeNothingIsWrittenAnywhere) {
    const TempDir dir;
    const fs::path previous = fs::current_path();
    fs::current_path(dir.path());
    const Result<void> saved = tune_cache_save(TuneCache{{{"a", SAMPLE}}, true}, tune_cache_path(TuneCacheHomes{}));
    fs::current_path(previous);
    ASSERT_FALSE(saved);
    EXPECT_EQ(fmt::format("{}", saved.error()),
              "no home directory (HOME and XDG_CONFIG_HOME unset, empty or relative, none in the password database)");
    EXPECT_TRUE(names_in(dir.path()).empty());
}
