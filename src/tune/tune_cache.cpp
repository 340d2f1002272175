#include "src/tune/tune_cache.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <utility>
#include <pwd.h>
#include <unistd.h>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "src/base/file_replace.hpp"
#include "src/base/text_file.hpp"
#include "src/base/unicode.hpp"

namespace {

// ---- Path ------------------------------------------------------------------

// "a" + "b" -> "a/b", "a/" + "b" -> "a/b".
std::string join(std::string_view base, std::string_view tail) {
    std::string joined(base);
    if (!joined.empty() && joined.back() != '/') joined += '/';
    joined += tail;
    return joined;
}

// A directory text that may serve as a base: present, valid UTF-8 and
// absolute. An empty or relative one would be the working directory's, as
// the XDG base-directory rule says to ignore it.
bool usable_base(const std::optional<std::string>& dir) { return dir && dir->starts_with('/') && is_valid_utf8(*dir); }

std::optional<std::string> env_value(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

// The home directory of the process's user in the password database.
std::optional<std::string> account_home() {
    long hinted = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(hinted > 0 ? static_cast<std::size_t>(hinted) : 1024);
    for (;;) {
        struct passwd entry{};
        struct passwd* found = nullptr;
        const int code = ::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found);
        if (code == ERANGE && buffer.size() < (1u << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (code != 0 || found == nullptr || found->pw_dir == nullptr) return std::nullopt;
        return std::string(found->pw_dir);
    }
}

// ---- Reading -----------------------------------------------------------------

constexpr std::array<std::string_view, 7> FIELD_NAMES = {"variant", "blocks",   "threads", "iters",
                                                          "mhs",     "measured", "version"};
enum Field : int { VARIANT, BLOCKS, THREADS, ITERS, MHS, MEASURED, VERSION };
constexpr unsigned ALL_FIELDS = (1u << FIELD_NAMES.size()) - 1;

// Where the next value goes: a field of the record being read, nowhere (a
// member of unknown name, or something nested inside one), or nowhere
// allowed.
constexpr int SKIP = -1;
constexpr int INVALID = -2;

// Checks the form while the parser walks the text, so that a member given
// twice inside one record is seen (a DOM would have merged the two) and the
// first violation stops the parse.
class CacheReader final : public nlohmann::json_sax<nlohmann::json> {
public:
    std::unordered_map<std::string, Tuning> entries;

    bool null() override { return target() == SKIP; }
    bool boolean(bool) override { return target() == SKIP; }
    bool binary(binary_t&) override { return false; }

    bool number_integer(number_integer_t value) override {
        // The parser reports every number written with a minus sign here,
        // "-0" included: never a valid counter.
        const int field = target();
        if (field == SKIP) return true;
        if (field != MHS) return false;
        record_.mhs = static_cast<double>(value);
        return true;
    }

    bool number_unsigned(number_unsigned_t value) override {
        const int field = target();
        if (field == SKIP) return true;
        if (field == MHS) {
            record_.mhs = static_cast<double>(value);
            return true;
        }
        if (field == BLOCKS || field == THREADS || field == ITERS) {
            if (value > std::numeric_limits<std::uint32_t>::max()) return false;
            counter(field) = static_cast<std::uint32_t>(value);
            return true;
        }
        return false;
    }

    bool number_float(number_float_t value, const string_t&) override {
        // Anything written with a fraction or an exponent, "3.0" and "3e0"
        // too, is a float here and fits only the rate.
        const int field = target();
        if (field == SKIP) return true;
        if (field != MHS) return false;
        record_.mhs = value;
        return true;
    }

    bool string(string_t& value) override {
        const int field = target();
        if (field == SKIP) return true;
        switch (field) {
        case VARIANT: record_.variant = std::move(value); return true;
        case MEASURED: record_.measured = std::move(value); return true;
        case VERSION: record_.version = std::move(value); return true;
        default: return false;
        }
    }

    bool start_object(std::size_t) override {
        if (skip_next_ || skip_depth_ > 0) return enter_skipped();
        switch (where_) {
        case Where::start: where_ = Where::records; return true;
        case Where::records: begin_record(Where::record_object); return true;
        default: return false;
        }
    }

    bool end_object() override {
        if (skip_depth_ > 0) {
            --skip_depth_;
            return true;
        }
        switch (where_) {
        case Where::record_object:
            if (seen_ != ALL_FIELDS) return false;
            return end_record();
        case Where::records: where_ = Where::finished; return true;
        default: return false;
        }
    }

    bool start_array(std::size_t) override {
        if (skip_next_ || skip_depth_ > 0) return enter_skipped();
        if (where_ != Where::records) return false;
        begin_record(Where::record_array);
        return true;
    }

    bool end_array() override {
        if (skip_depth_ > 0) {
            --skip_depth_;
            return true;
        }
        if (where_ != Where::record_array || next_index_ != FIELD_NAMES.size()) return false;
        return end_record();
    }

    bool key(string_t& name) override {
        if (skip_depth_ > 0) return true;
        if (where_ == Where::records) {
            key_ = std::move(name);
            return true;
        }
        if (where_ != Where::record_object) return false;
        for (std::size_t i = 0; i < FIELD_NAMES.size(); ++i) {
            if (name != FIELD_NAMES[i]) continue;
            if (seen_ & (1u << i)) return false;
            seen_ |= 1u << i;
            pending_field_ = static_cast<int>(i);
            return true;
        }
        skip_next_ = true;
        return true;
    }

    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }

private:
    enum class Where { start, records, record_object, record_array, finished };

    // The field the value now being reported belongs to, SKIP or INVALID.
    int target() {
        if (skip_next_) {
            skip_next_ = false;
            return SKIP;
        }
        if (skip_depth_ > 0) return SKIP;
        if (where_ == Where::record_object) return pending_field_;
        if (where_ == Where::record_array && next_index_ < FIELD_NAMES.size()) return static_cast<int>(next_index_++);
        return INVALID;
    }

    bool enter_skipped() {
        skip_next_ = false;
        ++skip_depth_;
        return true;
    }

    void begin_record(Where form) {
        where_ = form;
        record_ = Tuning{};
        seen_ = 0;
        next_index_ = 0;
        pending_field_ = INVALID;
    }

    bool end_record() {
        // A record name given twice keeps the later record.
        entries.insert_or_assign(std::move(key_), std::move(record_));
        where_ = Where::records;
        return true;
    }

    std::uint32_t& counter(int field) {
        return field == BLOCKS ? record_.blocks : field == THREADS ? record_.threads : record_.iters;
    }

    Where where_ = Where::start;
    std::string key_;
    Tuning record_;
    unsigned seen_ = 0;
    std::size_t next_index_ = 0;
    int pending_field_ = INVALID;
    bool skip_next_ = false;
    int skip_depth_ = 0;
};

// ---- Writing -----------------------------------------------------------------

// A JSON string escaping only what JSON requires; other text, non-ASCII
// included, is written as is. Text that is not UTF-8 (a record built from a
// raw device name) is repaired first, as a file with it would not load.
void append_json_string(std::string& out, std::string_view text) {
    std::string repaired;
    if (!is_valid_utf8(text)) {
        repaired = utf8_lossy(text);
        text = repaired;
    }
    out += '"';
    for (const char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                fmt::format_to(std::back_inserter(out), "\\u{:04x}", static_cast<unsigned>(c));
            } else {
                out += c;
            }
        }
    }
    out += '"';
}

// The shortest digits that read back to the same double, laid out as plain
// decimals with a fraction part ("100.0", "0.001") while the point sits
// within 16 places, and as "1e16" / "1.5e-7" beyond that, where writing the
// zeros out would be long and not the shortest form.
std::string format_rate(double value) {
    if (!std::isfinite(value)) return "null";
    char buffer[64];
    const auto written = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    const std::string_view shortest(buffer, written.ptr);  // "-1.2345e+02"

    std::string out;
    std::string_view mantissa = shortest.substr(0, shortest.find('e'));
    if (mantissa.front() == '-') {
        out += '-';
        mantissa.remove_prefix(1);
    }
    std::string digits;
    for (const char c : mantissa)
        if (c != '.') digits += c;
    int exponent = 0;
    std::string_view exponent_text = shortest.substr(shortest.find('e') + 1);
    if (exponent_text.front() == '+') exponent_text.remove_prefix(1);
    std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(), exponent);

    const int length = static_cast<int>(digits.size());
    const int point = exponent + 1;  // digits before the decimal point
    if (point >= length && point <= 16) {
        out += digits;
        out.append(static_cast<std::size_t>(point - length), '0');
        out += ".0";
    } else if (point > 0 && point <= 16) {
        out += std::string_view(digits).substr(0, static_cast<std::size_t>(point));
        out += '.';
        out += std::string_view(digits).substr(static_cast<std::size_t>(point));
    } else if (point > -5 && point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out += digits;
    } else {
        out += digits.front();
        if (length > 1) {
            out += '.';
            out += std::string_view(digits).substr(1);
        }
        fmt::format_to(std::back_inserter(out), "e{}", exponent);
    }
    return out;
}

}  // namespace

std::string tune_cache_key(std::string_view label, std::string_view bus_id, double power_limit_w) {
    return fmt::format("{}|{}|{:.0f}W|{}", label, bus_id, power_limit_w, TUNING_VERSION);
}

std::filesystem::path tune_cache_path(const TuneCacheHomes& homes) {
    const auto in_config = [](std::string_view config) { return join(join(config, "ovik_dtc"), "tune.json"); };
    if (usable_base(homes.xdg_config_home)) return in_config(*homes.xdg_config_home);
    if (usable_base(homes.home)) return in_config(join(*homes.home, ".config"));
    if (usable_base(homes.account_home)) return in_config(join(*homes.account_home, ".config"));
    return {};
}

std::filesystem::path tune_cache_path() {
    TuneCacheHomes homes{env_value("XDG_CONFIG_HOME"), env_value("HOME"), std::nullopt};
    if (!usable_base(homes.xdg_config_home) && !usable_base(homes.home)) homes.account_home = account_home();
    return tune_cache_path(homes);
}

TuneCache tune_cache_parse(std::string_view text) {
    // The parser would skip a byte order mark; it is not white space, so the
    // text is not a JSON object.
    if (text.starts_with("\xEF\xBB\xBF")) return {};
    CacheReader reader;
    if (!nlohmann::json::sax_parse(text.begin(), text.end(), &reader, nlohmann::json::input_format_t::json,
                                   /*strict=*/true, /*ignore_comments=*/false))
        return {};
    return TuneCache{std::move(reader.entries), false};
}

TuneCache tune_cache_load(const std::filesystem::path& path) {
    const Result<std::string> text = read_regular_text_file(path.string(), TUNE_CACHE_MAX_BYTES);
    if (!text) return {};
    return tune_cache_parse(*text);
}

std::string tune_cache_text(const TuneCache& cache) {
    if (cache.entries.empty()) return "{}";
    std::string out = "{\n";
    // Sorted by key, so that the file's text depends on its records alone,
    // not on the order in which loads and merges filled the map.
    std::vector<const std::pair<const std::string, Tuning>*> records;
    for (const auto& entry : cache.entries) records.push_back(&entry);
    std::ranges::sort(records, {}, [](const auto* entry) { return std::string_view(entry->first); });
    bool first = true;
    for (const auto* entry : records) {
        const auto& [key, tuning] = *entry;
        if (!first) out += ",\n";
        first = false;
        out += "  ";
        append_json_string(out, key);
        out += ": {\n    \"variant\": ";
        append_json_string(out, tuning.variant);
        fmt::format_to(std::back_inserter(out),
                       ",\n    \"blocks\": {},\n    \"threads\": {},\n    \"iters\": {},\n    \"mhs\": {},\n"
                       "    \"measured\": ",
                       tuning.blocks, tuning.threads, tuning.iters, format_rate(tuning.mhs));
        append_json_string(out, tuning.measured);
        out += ",\n    \"version\": ";
        append_json_string(out, tuning.version);
        out += "\n  }";
    }
    out += "\n}";
    return out;
}

Result<void> tune_cache_save(const TuneCache& cache) { return tune_cache_save(cache, tune_cache_path()); }

Result<void> tune_cache_save(const TuneCache& cache, const std::filesystem::path& path,
                             std::chrono::milliseconds lock_wait) {
    if (path.empty())
        return fail("no home directory (HOME and XDG_CONFIG_HOME unset, empty or relative, none in the password "
                    "database)");
    const std::filesystem::path dir = path.parent_path();
    if (auto made = make_directory_tree(dir); !made)
        return std::unexpected(std::move(made.error()).context(fmt::format("mkdir {}", dir.string())));

    const Result<OwnedFd> lock = take_save_lock(path.string() + ".lock", lock_wait);
    if (!lock) return std::unexpected(lock.error());
    // Another miner may have saved since this one loaded: its records of
    // other keys are kept, this one's win for its own.
    TuneCache merged = tune_cache_load(path);
    for (const auto& [key, tuning] : cache.entries) merged.entries.insert_or_assign(key, tuning);
    return replace_file(path, tune_cache_text(merged));
}
