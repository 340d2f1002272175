#include "src/gpu_selftest/selftest_gpu.hpp"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <numeric>
#include <optional>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "src/base/bytes.hpp"
#include "src/base/hex.hpp"
#include "src/gpu/gpu_context.hpp"
#include "src/pow/nonce.hpp"
#include "src/pow/target.hpp"
#include "src/ui/console.hpp"

namespace {

// The small grid of three of the real-kernel checks: 256 nonces from c.
constexpr std::uint32_t SMALL_BLOCKS = 4, SMALL_THREADS = 32, SMALL_ITERS = 2;
constexpr std::size_t PICKED_VECTORS = 5;
constexpr std::string_view FAILED_MARKER = "  <<< FAILED";

std::string_view marker(std::size_t wrong) { return wrong > 0 ? FAILED_MARKER : std::string_view{}; }

Bytes32 nonce_high(const SelftestVector& v) {
    Bytes32 h;
    std::copy_n(v.nonce.begin(), 32, h.begin());
    return h;
}

Bytes32 nonce_low(const SelftestVector& v) {
    Bytes32 l;
    std::copy_n(v.nonce.begin() + 32, 32, l.begin());
    return l;
}

std::uint64_t counter_of(const SelftestVector& v) {
    std::uint64_t c = 0;
    for (int i = 56; i < 64; ++i) c = c << 8 | v.nonce[i];
    return c;
}

// The hash as a 512-bit big-endian number plus one; none for 64 bytes 0xFF.
std::optional<Bytes64> hash_plus_one(const Bytes64& hash) {
    if (all_ff(hash)) return std::nullopt;
    Bytes64 t = hash;
    for (int i = 63; i >= 0 && ++t[i] == 0; --i) {
    }
    return t;
}

// Bytes 0-31 of the hash, then bytes 32-63 plus one as a 256-bit number, the
// carry stopping at byte 32; none when bytes 32-63 are all 0xFF.
std::optional<Bytes64> top_256_bits_target(const Bytes64& hash) {
    if (all_ff(std::span(hash).subspan(32))) return std::nullopt;
    Bytes64 t = hash;
    for (int i = 63; i >= 32 && ++t[i] == 0; --i) {
    }
    return t;
}

bool contains(std::span<const std::uint64_t> list, std::uint64_t value) {
    return std::ranges::find(list, value) != list.end();
}

// One run's context and its checks; every return drops the context.
class SelftestRun {
public:
    SelftestRun(GpuContext gpu, std::span<const SelftestVector> vectors, const LaunchGeometry& geometry,
                const SelftestOutput& output)
        : gpu_(std::move(gpu)), vectors_(vectors), geometry_(geometry), output_(output) {}

    Result<void> host_hashes();
    Result<void> gpu_full_hashes();
    Result<void> gpu_mining_path();
    Result<void> real_mining_kernel();

private:
    Result<BatchResult> small_grid(std::uint64_t c);
    // Checks b-e of one picked vector; adds to the count of checks and the
    // list of candidate counts.
    Result<void> real_kernel_checks(std::size_t v, std::size_t& checks, std::vector<std::uint32_t>& counts);

    GpuContext gpu_;
    std::span<const SelftestVector> vectors_;
    LaunchGeometry geometry_;
    const SelftestOutput& output_;
};

Result<void> SelftestRun::host_hashes() {
    const std::size_t n = vectors_.size();
    const auto wrong = static_cast<std::size_t>(std::ranges::count_if(
        vectors_, [](const SelftestVector& v) { return pow_hash(v.header, v.nonce) != v.hash; }));
    output_.out(fmt::format("  [1] host poseidon2-core 3.1.0       : {}/{} OK{}", n - wrong, n, marker(wrong)));
    if (wrong > 0) return fail("selftest 1: {} vector(s) wrong host-side", wrong);
    return {};
}

Result<void> SelftestRun::gpu_full_hashes() {
    const std::size_t n = vectors_.size();
    std::vector<std::uint8_t> inputs;
    inputs.reserve(96 * n);
    for (const SelftestVector& v : vectors_) {
        inputs.insert(inputs.end(), v.header.begin(), v.header.end());
        inputs.insert(inputs.end(), v.nonce.begin(), v.nonce.end());
    }
    const Result<std::vector<std::uint8_t>> hashes = gpu_hash_full(gpu_, inputs);
    if (!hashes) return fail(hashes.error());
    std::size_t wrong = 0, first = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (std::memcmp(hashes->data() + 64 * i, vectors_[i].hash.data(), 64) == 0) continue;
        if (wrong++ == 0) first = i;
    }
    output_.out(fmt::format("  [2] GPU full hash (5 permutations)   : {}/{} OK{}", n - wrong, n, marker(wrong)));
    if (wrong == 0) return {};
    output_.out(fmt::format("      first mismatch vector {}", first));
    output_.out(fmt::format("      got {}", hex_encode(std::span(*hashes).subspan(64 * first, 64))));
    output_.out(fmt::format("      exp {}", hex_encode(vectors_[first].hash)));
    return fail("selftest 2 : {} hash(s) GPU faux", wrong);
}

Result<void> SelftestRun::gpu_mining_path() {
    const std::size_t n = vectors_.size();
    const Bytes32 zero_base{};
    const Bytes64 zero_target{};
    std::size_t wrong = 0;
    // Groups: runs of neighbours with the first one's header and nonce high half.
    for (std::size_t start = 0; start < n;) {
        const SelftestVector& first = vectors_[start];
        std::size_t end = start + 1;
        while (end < n && vectors_[end].header == first.header &&
               std::equal(first.nonce.begin(), first.nonce.begin() + 32, vectors_[end].nonce.begin()))
            ++end;
        if (auto set = gpu_set_job(gpu_, first.header, nonce_high(first), zero_base, zero_target); !set)
            return fail(set.error());
        std::vector<std::uint8_t> lows;
        lows.reserve(32 * (end - start));
        for (std::size_t i = start; i < end; ++i)
            lows.insert(lows.end(), vectors_[i].nonce.begin() + 32, vectors_[i].nonce.end());
        const Result<std::vector<std::uint8_t>> h1 = gpu_mine_check(gpu_, lows);
        if (!h1) return fail(h1.error());
        for (std::size_t i = start; i < end; ++i)
            if (std::memcmp(h1->data() + 32 * (i - start), vectors_[i].hash.data(), 32) != 0) ++wrong;
        start = end;
    }
    output_.out(fmt::format("  [3] GPU mining path (midstate+P3+P4): {}/{} OK{}", n - wrong, n, marker(wrong)));
    if (wrong > 0) return fail("selftest 3 : {} h1 faux", wrong);
    return {};
}

Result<BatchResult> SelftestRun::small_grid(std::uint64_t c) {
    if (auto launched = gpu_mine_launch(gpu_, c, SMALL_BLOCKS, SMALL_THREADS, SMALL_ITERS, 0); !launched)
        return fail(launched.error());
    return gpu_mine_collect(gpu_, 0);
}

Result<void> SelftestRun::real_kernel_checks(std::size_t v, std::size_t& checks, std::vector<std::uint32_t>& counts) {
    const SelftestVector& vector = vectors_[v];
    const std::optional<Bytes64> t = hash_plus_one(vector.hash);
    if (!t) return {};
    const std::uint64_t c = counter_of(vector);
    const Bytes32 h = nonce_high(vector), l = nonce_low(vector);
    auto check = [&](const BatchResult& batch, const Bytes64& target, std::string_view label) {
        return check_vector_candidates(vector, h, l, c, batch.candidates, target, label, v);
    };

    // b: the small grid from c, target hash + 1.
    if (auto set = gpu_set_job(gpu_, vector.header, h, l, *t); !set) return fail(set.error());
    const Result<BatchResult> small = small_grid(c);
    if (!small) return fail(small.error());
    if (auto checked = check(*small, *t, "petite grille, cible=hash+1"); !checked) return checked;
    if (small->launched != 256) return fail("vector {} : hash counter {} != 256", v, small->launched);

    // c: the production grid, c being nonce 5 × iterations + 3 of the batch.
    const std::uint64_t offset = 5ull * geometry_.iters + 3;
    if (c >= offset) {
        if (auto launched = gpu_mine_launch(gpu_, c - offset, geometry_.blocks, geometry_.threads, geometry_.iters, 0);
            !launched)
            return fail(launched.error());
        const Result<BatchResult> production = gpu_mine_collect(gpu_, 0);
        if (!production) return fail(production.error());
        if (production->count > production->candidates.size())
            return fail("vector {} : {} candidates > cap {} (target too easy for this check)", v, production->count,
                        production->candidates.size());
        if (auto checked = check(*production, *t, "grille de production, cible=hash+1"); !checked) return checked;
        const std::uint64_t batch = std::uint64_t{geometry_.blocks} * geometry_.threads * geometry_.iters;
        if (production->launched != batch) return fail("vector {} : hash counter {} != {}", v, production->launched, batch);
        counts.push_back(production->count);
        checks += 2;
    } else {
        checks += 1;
    }

    // d: the hash itself as the target; the comparison is strict.
    if (auto set = gpu_set_job(gpu_, vector.header, h, l, vector.hash); !set) return fail(set.error());
    const Result<BatchResult> strict = small_grid(c);
    if (!strict) return fail(strict.error());
    if (contains(strict->candidates, c))
        return fail("vector {}: reported with target = hash (comparison must be strict)", v);
    checks += 1;

    // e: the first 32 target bytes equal to the hash's.
    if (const std::optional<Bytes64> t2 = top_256_bits_target(vector.hash)) {
        if (auto set = gpu_set_job(gpu_, vector.header, h, l, *t2); !set) return fail(set.error());
        const Result<BatchResult> tie = small_grid(c);
        if (!tie) return fail(tie.error());
        if (auto checked = check(*tie, *t2, "top-256-bits equality (P5 path)"); !checked) return checked;
        checks += 1;
    }
    return {};
}

Result<void> SelftestRun::real_mining_kernel() {
    std::vector<std::size_t> order(vectors_.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::ranges::stable_sort(order, [&](std::size_t a, std::size_t b) { return vectors_[a].hash < vectors_[b].hash; });
    order.resize(std::min(order.size(), PICKED_VECTORS));

    std::size_t checks = 0;
    std::vector<std::uint32_t> counts;
    for (std::size_t v : order)
        if (auto checked = real_kernel_checks(v, checks, counts); !checked) return checked;
    output_.out(fmt::format("  [4] real mining GPU kernel            : {} checks OK (vectors [{}], grids 4×32×2 and "
                            "{}×{}×{}, candidates/batch [{}], all host-rehashed < target)",
                            checks, fmt::join(order, ", "), geometry_.blocks, geometry_.threads, geometry_.iters,
                            fmt::join(counts, ", ")));
    return {};
}

}  // namespace

Result<void> selftest_gpu(int device, std::span<const SelftestVector> vectors, const LaunchGeometry& geometry,
                          KernelKind kind, const SelftestOutput& output) {
    if (vectors.empty()) return fail("no vector");
    const std::uint64_t batch = std::uint64_t{geometry.blocks} * geometry.threads * geometry.iters;
    if (batch > SELFTEST_BATCH_LIMIT)
        return fail("selftest : lot de {} nonces trop grand (> 16 M) pour le buffer de candidats", batch);
    Result<GpuContext> gpu = gpu_open(device, static_cast<std::uint32_t>(std::max<std::uint64_t>(batch, 256)), kind);
    if (!gpu) return fail(gpu.error());
    const auto started = std::chrono::steady_clock::now();

    SelftestRun run(std::move(*gpu), vectors, geometry, output);
    for (auto step : {&SelftestRun::host_hashes, &SelftestRun::gpu_full_hashes, &SelftestRun::gpu_mining_path,
                      &SelftestRun::real_mining_kernel})
        if (auto passed = (run.*step)(); !passed) return passed;
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - started;
    output.out(fmt::format("  selftest OK in {:.2f} s", elapsed.count()));
    return {};
}

Result<void> check_vector_candidates(const SelftestVector& vector, const Bytes32& h, const Bytes32& l, std::uint64_t c,
                                     std::span<const std::uint64_t> candidates, const Bytes64& target,
                                     std::string_view label, std::size_t index) {
    if (!contains(candidates, c))
        return fail("vector {} ({}): counter {:#x} NOT reported (candidates: [{:x}])", index, label, c,
                    fmt::join(candidates, ", "));
    for (std::uint64_t x : candidates) {
        const Bytes64 nonce = mining_nonce(h, std::span(l).first<24>(), x);
        const Bytes64 hash = pow_hash(vector.header, nonce);
        if (!hash_meets_target(hash, target))
            return fail("vector {} ({}): candidate {:#x} reported but host hash ≥ target", index, label, x);
        if (x == c && (nonce != vector.nonce || hash != vector.hash))
            return fail("vector {} ({}) : rebuilt nonce != vector\n  got {}\n  exp {}", index, label, hex_encode(nonce),
                        hex_encode(vector.nonce));
    }
    return {};
}
