// Build-time generator of the embedded oracle table: 4096 lines
// "header nonce hash", all with one header and one nonce high half, written
// as a C++ source that defines SELFTEST_VECTORS.
//
// Lines 1 and 3467 are fixed; every other line draws bytes 48-55 and the
// counter from a seeded generator, so the table is the same on every build.
// A draw is kept only when its hash is above line 3467's (which stays the
// smallest), is not all 0xFF, does not end in 32 bytes of 0xFF, and its
// counter and bytes 48-55 are new.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <string>

#include "poseidon2-core/src/hash.hpp"
#include "src/base/bytes.hpp"
#include "src/base/hex.hpp"
#include "src/pow/target.hpp"

namespace {

constexpr int LINES = 4096;
constexpr int SMALLEST_LINE = 3467;
constexpr std::uint64_t SEED = 0x6f76696b5f647463ULL;

constexpr Bytes32 HEADER = {0xad, 0x76, 0x36, 0x74, 0xec, 0x79, 0xcf, 0xea, 0x8b, 0x8e, 0x15,
                            0x03, 0xfd, 0x9e, 0x1f, 0xff, 0xb8, 0x75, 0x4f, 0x19, 0x6d, 0xef,
                            0x1a, 0xde, 0xbd, 0xe4, 0x13, 0x3f, 0x2d, 0x7d, 0x37, 0xf5};
constexpr Bytes32 NONCE_HIGH = {0x5a, 0xec, 0xed, 0x52, 0xf6, 0x09, 0xb3, 0x20, 0x5e, 0xc2, 0xb9,
                                0xac, 0xbb, 0xd2, 0x0d, 0x75, 0xb9, 0xec, 0x5f, 0xd9, 0x26, 0x12,
                                0x10, 0x26, 0xa6, 0x79, 0xaf, 0xc6, 0xe3, 0xc8, 0x17, 0x45};

struct Draw {
    std::uint64_t middle;   // nonce bytes 48-55, big-endian
    std::uint64_t counter;  // nonce bytes 56-63, big-endian
};

constexpr Draw FIRST_LINE = {0xd8f30b16630d2b73ULL, 0};
constexpr Draw SMALLEST = {0x7cb55851166c4e78ULL, 0xa521375d57e9a728ULL};

std::uint64_t splitmix64(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

void put_be64(std::uint8_t* out, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) out[i] = static_cast<std::uint8_t>(v >> (56 - 8 * i));
}

Bytes64 nonce_of(const Draw& draw) {
    Bytes64 nonce{};
    std::memcpy(nonce.data(), NONCE_HIGH.data(), 32);
    put_be64(nonce.data() + 48, draw.middle);
    put_be64(nonce.data() + 56, draw.counter);
    return nonce;
}

Bytes64 hash_of(const Bytes64& nonce) {
    std::uint8_t input[poseidon2::INPUT_LEN];
    std::memcpy(input, HEADER.data(), 32);
    std::memcpy(input + 32, nonce.data(), 64);
    return poseidon2::poseidon2_hash_bytes(input);
}

std::string line_of(const Bytes64& nonce, const Bytes64& hash) {
    return hex_encode(HEADER) + ' ' + hex_encode(nonce) + ' ' + hex_encode(hash) + '\n';
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT.cpp\n", argv[0]);
        return 2;
    }
    const Bytes64 smallest_hash = hash_of(nonce_of(SMALLEST));
    std::set<std::uint64_t> counters = {FIRST_LINE.counter, SMALLEST.counter};
    std::set<std::uint64_t> middles = {FIRST_LINE.middle, SMALLEST.middle};
    std::uint64_t rng = SEED;

    std::string table;
    for (int line = 1; line <= LINES; ++line) {
        if (line == 1 || line == SMALLEST_LINE) {
            const Bytes64 nonce = nonce_of(line == 1 ? FIRST_LINE : SMALLEST);
            table += line_of(nonce, hash_of(nonce));
            continue;
        }
        for (;;) {
            const Draw draw = {splitmix64(rng), splitmix64(rng)};
            if (counters.contains(draw.counter) || middles.contains(draw.middle)) continue;
            const Bytes64 nonce = nonce_of(draw);
            const Bytes64 hash = hash_of(nonce);
            if (!hash_meets_target(smallest_hash, hash) || all_ff(std::span(hash).subspan(32))) continue;
            counters.insert(draw.counter);
            middles.insert(draw.middle);
            table += line_of(nonce, hash);
            break;
        }
    }

    std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
    out << "// Generated at build time by make_embedded_vectors; do not edit.\n"
           "#include \"src/selftest/vectors.hpp\"\n\n"
           "namespace {\n"
           "constexpr char EMBEDDED_TEXT[] =\n";
    for (std::size_t pos = 0; pos < table.size();) {
        const std::size_t lf = table.find('\n', pos);
        out << "    \"" << table.substr(pos, lf - pos) << "\\n\"\n";
        pos = lf + 1;
    }
    out << ";\n}  // namespace\n\n"
           "constinit const std::string_view SELFTEST_VECTORS{EMBEDDED_TEXT, sizeof EMBEDDED_TEXT - 1};\n";
    out.close();
    if (!out) {
        std::fprintf(stderr, "make_embedded_vectors: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
