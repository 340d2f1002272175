// Oracle vector text. Besides crashes, checks that accepted vectors,
// written back as lines, read back the same.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "src/base/hex.hpp"
#include "src/selftest/vectors.hpp"

namespace {

[[noreturn]] void violated(const char* what) {
    std::fprintf(stderr, "fuzz_vectors: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto vectors = parse_vectors(text, "fuzz");
    if (!vectors) {
        if (vectors.error().message().empty()) violated("an error without a message");
        return 0;
    }
    std::string written;
    for (const SelftestVector& v : *vectors)
        written += hex_encode(v.header) + " " + hex_encode(v.nonce) + " " + hex_encode(v.hash) + "\n";
    const auto reread = parse_vectors(written, "rewritten");
    if (!reread || reread->size() != vectors->size()) violated("rewritten vectors do not read back");
    for (std::size_t i = 0; i < vectors->size(); ++i) {
        const SelftestVector& a = (*vectors)[i];
        const SelftestVector& b = (*reread)[i];
        if (a.header != b.header || a.nonce != b.nonce || a.hash != b.hash) violated("a rewritten vector changed");
    }
    return 0;
}
