#include "src/pow/target.hpp"

#include "src/base/hex.hpp"
#include "src/base/unicode.hpp"

namespace {

std::string_view strip_hex_prefixes(std::string_view text) {
    while (text.starts_with("0x")) text.remove_prefix(2);
    return text;
}

template <std::size_t N>
Result<std::array<std::uint8_t, N>> parse_fixed_hex(std::string_view text) {
    const std::string_view digits = strip_hex_prefixes(trim_white_space(text));
    if (digits.size() != 2 * N) return fail("expected {} hex digits, got {}", 2 * N, digits.size());
    return hex_decode_array<N>(digits);
}

}  // namespace

Result<Bytes64> parse_target_hex(std::string_view text) { return parse_fixed_hex<64>(text); }

Result<Bytes32> parse_hash_hex(std::string_view text) { return parse_fixed_hex<32>(text); }
