// Writes oracle vector files ("header nonce hash" lines) for a GPU check:
//
//   vector_file embedded          the table carried inside the miner
//   vector_file fresh COUNT SEED  COUNT vectors the table does not hold
//
// Fresh vectors come in runs of 16 that share a header and nonce high half
// (the self-test's mining path takes one job per run); their low halves are
// drawn whole, bytes 32-47 included (the embedded table keeps those zero),
// and the last vector's counter sits just below the 2^64 wrap.
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "src/base/hex.hpp"
#include "src/pow/nonce.hpp"
#include "src/selftest/vectors.hpp"

namespace {

constexpr std::uint64_t RUN = 16;

std::uint64_t splitmix64(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

template <std::size_t N>
std::array<std::uint8_t, N> draw_bytes(std::uint64_t& state) {
    std::array<std::uint8_t, N> bytes{};
    for (std::size_t i = 0; i < N; i += 8) {
        const std::uint64_t word = splitmix64(state);
        for (std::size_t b = 0; b < 8 && i + b < N; ++b) bytes[i + b] = static_cast<std::uint8_t>(word >> (8 * b));
    }
    return bytes;
}

void write_fresh(std::uint64_t count, std::uint64_t seed) {
    std::uint64_t state = seed;
    Bytes32 header{}, high{};
    for (std::uint64_t i = 0; i < count; ++i) {
        if (i % RUN == 0) {
            header = draw_bytes<32>(state);
            high = draw_bytes<32>(state);
        }
        const std::array<std::uint8_t, 24> low24 = draw_bytes<24>(state);
        const std::uint64_t counter = i + 1 == count ? ~std::uint64_t{0} - 2 : splitmix64(state);
        const Bytes64 nonce = mining_nonce(high, low24, counter);
        std::printf("%s %s %s\n", hex_encode(header).c_str(), hex_encode(nonce).c_str(),
                    hex_encode(pow_hash(header, nonce)).c_str());
    }
}

bool parse_number(std::string_view text, std::uint64_t& value) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && ec == std::errc() && end == text.data() + text.size();
}

}  // namespace

int main(int argc, char** argv) {
    const std::string_view mode = argc > 1 ? argv[1] : "";
    std::uint64_t count = 0, seed = 0;
    if (argc == 2 && mode == "embedded") {
        std::fwrite(SELFTEST_VECTORS.data(), 1, SELFTEST_VECTORS.size(), stdout);
    } else if (argc == 4 && mode == "fresh" && parse_number(argv[2], count) && parse_number(argv[3], seed) &&
               count > 0 && count <= 1'000'000) {
        write_fresh(count, seed);
    } else {
        std::fprintf(stderr, "usage: vector_file embedded | vector_file fresh COUNT SEED\n");
        return 2;
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}
