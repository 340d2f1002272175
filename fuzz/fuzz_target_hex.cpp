// Targets and mining hashes as hex text. Besides crashes, checks that the
// white space around the text never matters and that what was read is
// what the lower-case hex of the bytes reads back as.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "src/base/hex.hpp"
#include "src/pow/target.hpp"

namespace {

[[noreturn]] void violated(const char* what) {
    std::fprintf(stderr, "fuzz_target_hex: %s\n", what);
    std::abort();
}

template <typename Parse>
void check(Parse parse, std::string_view text) {
    const auto parsed = parse(text);
    // U+00A0 and U+3000 are White_Space too; ASCII alone would not reach the
    // multi-byte trimming.
    const std::string padded = " \t\xc2\xa0" + std::string(text) + "\r\n\xe3\x80\x80";
    const auto again = parse(padded);
    if (parsed.has_value() != again.has_value()) violated("surrounding white space changed the outcome");
    if (!parsed) return;
    if (*again != *parsed) violated("surrounding white space changed the bytes");
    const auto reread = parse("0x" + hex_encode(*parsed));
    if (!reread || *reread != *parsed) violated("the bytes' own hex does not read back");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    check(parse_target_hex, text);
    check(parse_hash_hex, text);
    return 0;
}
