#include "src/selftest/vectors.hpp"

#include <fmt/format.h>

#include "src/base/hex.hpp"
#include "src/base/text_file.hpp"
#include "src/base/unicode.hpp"

namespace {

// Lines end at LF, a CR right before it included; a last line needs no LF.
template <typename Visit>
Result<void> for_each_line(std::string_view text, Visit visit) {
    std::size_t number = 0;
    while (!text.empty()) {
        const std::size_t lf = text.find('\n');
        std::string_view line = text.substr(0, lf);
        text.remove_prefix(lf == std::string_view::npos ? text.size() : lf + 1);
        if (lf != std::string_view::npos && line.ends_with('\r')) line.remove_suffix(1);
        if (auto visited = visit(line, ++number); !visited) return visited;
    }
    return {};
}

template <std::size_t N>
bool copy_exact(const std::vector<std::uint8_t>& bytes, std::array<std::uint8_t, N>& out) {
    if (bytes.size() != N) return false;
    std::copy(bytes.begin(), bytes.end(), out.begin());
    return true;
}

}  // namespace

Result<std::vector<SelftestVector>> parse_vectors(std::string_view text, std::string_view label) {
    std::vector<SelftestVector> vectors;
    auto parsed = for_each_line(text, [&](std::string_view line, std::size_t number) -> Result<void> {
        const std::vector<std::string_view> fields = split_white_space(line);
        if (fields.empty()) return {};
        if (fields.size() != 3) return fail("{}:{} : expected 3 fields", label, number);
        std::vector<std::uint8_t> decoded[3];
        for (std::size_t i = 0; i < 3; ++i) {
            auto bytes = hex_decode(fields[i]);
            if (!bytes) return std::unexpected(std::move(bytes.error()));
            decoded[i] = std::move(*bytes);
        }
        SelftestVector vector;
        if (!copy_exact(decoded[0], vector.header) || !copy_exact(decoded[1], vector.nonce) ||
            !copy_exact(decoded[2], vector.hash))
            return fail("{}:{} : expected sizes 32/64/64", label, number);
        vectors.push_back(vector);
        return {};
    });
    if (!parsed) return std::unexpected(std::move(parsed.error()));
    return vectors;
}

Error vector_file_error(std::string_view path, const Error& io_error) {
    return Error(fmt::format("{}: {:#}", path, io_error));
}

Result<std::vector<SelftestVector>> load_vector_file(const std::string& path) {
    auto text = read_text_file(path);
    if (!text) return std::unexpected(vector_file_error(path, text.error()));
    return parse_vectors(*text, path);
}
