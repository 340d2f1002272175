#include "tests/ptx/module_cases.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <random>
#include <set>
#include <stdexcept>
#include <string>

#include "poseidon2-core/src/hash.hpp"
#include "src/selftest/vectors.hpp"
#include "tests/ptx/ptx_builds.hpp"
#include "tests/ptx/ptx_host_layer.hpp"
#include "tests/support/counter_hash.hpp"
#include "tests/support/reference_poseidon2.hpp"
#include "tests/support/target_cases.hpp"

namespace ptx_cases {

using Hash = target_cases::Hash;

ModuleTraits traits_of(std::string_view module) {
    for (const PtxBuild& build : ptx_builds())
        if (build.module == module) return {build.single_stream, build.folded};
    throw std::invalid_argument("no PTX build of module " + std::string(module));
}

namespace {

constexpr std::uint64_t P = 0xffffffff00000001ULL;
constexpr std::uint8_t UNWRITTEN = 0x5a;  // what device buffers hold where no kernel may write

const std::vector<SelftestVector>& vectors() {
    static const auto parsed = parse_vectors(SELFTEST_VECTORS, EMBEDDED_VECTORS_LABEL).value();
    return parsed;
}

using target_cases::filled;
using target_cases::plus_one;

bool below(const Hash& h, const Hash& target) { return std::memcmp(h.data(), target.data(), 64) < 0; }

std::string hex(std::uint64_t v) {
    char text[24];
    std::snprintf(text, sizeof text, "%#llx", static_cast<unsigned long long>(v));
    return text;
}

// A job: a vector's header and nonce, whose bytes 56-63 each counter replaces.
struct Job {
    Bytes32 header;
    Bytes64 nonce;
    Hash target{};

    explicit Job(const SelftestVector& v) : header(v.header), nonce(v.nonce) {}

    Hash host_hash(std::uint64_t counter) const { return counter_hash(header, nonce, counter); }
    std::uint64_t counter() const { return nonce_counter(nonce); }
};

struct Batch {
    std::uint32_t count = 0;
    std::vector<std::uint64_t> stored;       // the first min(count, cap) entries, as collected
    std::vector<std::uint64_t> device_list;  // the whole device list after the batch
};

}  // namespace

// ---- the host layer of either record layout --------------------------------

class Context {
public:
    virtual ~Context() = default;
    virtual int set_job(const Job& job) = 0;
    virtual int hash_full(const std::uint8_t* in96, std::uint8_t* out64, std::uint32_t n) = 0;
    virtual int mine_check(const std::uint8_t* nlo32, std::uint8_t* h1_32, std::uint32_t n) = 0;
    // One batch in launch buffer 0, launched and collected; the device list
    // holds UNWRITTEN before.
    virtual int mine(std::uint64_t start, std::uint32_t blocks, std::uint32_t threads, std::uint32_t iters,
                     Batch& out) = 0;
    // The same launch of only the last block of a grid of `blocks` blocks,
    // through the module policy the host layer uses, with the context's
    // buffers; the count and list are read back from the device.
    virtual int mine_last_block(std::uint64_t start, std::uint32_t blocks, std::uint32_t threads, std::uint32_t iters,
                                Batch& out) = 0;
    // Grows the output scratch to `bytes` as the layer grows it, filled with
    // UNWRITTEN; what it holds after a call.
    virtual int presize_output_scratch(std::uint64_t bytes) = 0;
    virtual std::vector<std::uint8_t> output_scratch() = 0;
    virtual std::vector<std::uint64_t> midstate() = 0;
    virtual std::vector<std::uint64_t> start_state() = 0;
    // The job's midstate replaced by `words`, and the start state made from
    // it again as the job upload makes it from k_midstate's (k_midstate_mm,
    // then c_mm).
    virtual int use_midstate(const std::array<std::uint64_t, 12>& words) = 0;
    virtual std::string error() const = 0;
};

namespace {

std::vector<std::uint64_t> read_words(const void* device, std::size_t n) {
    std::vector<std::uint64_t> w(n);
    if (cudaMemcpy(w.data(), device, 8 * n, cudaMemcpyDeviceToHost) != cudaSuccess) w.clear();
    return w;
}

template <typename Layer>
class LayerContext final : public Context {
public:
    explicit LayerContext(std::uint32_t cap) {
        char err[256] = {};
        c_ = Layer::ctx_create(0, cap, err, sizeof err);
        if (c_ == nullptr) throw std::runtime_error(std::string("qtc_ctx_create: ") + err);
    }
    ~LayerContext() override { Layer::ctx_destroy(c_); }

    int set_job(const Job& job) override {
        return Layer::set_job(c_, job.header.data(), job.nonce.data(), job.nonce.data() + 32, job.target.data());
    }
    int hash_full(const std::uint8_t* in96, std::uint8_t* out64, std::uint32_t n) override {
        return Layer::hash_full(c_, in96, out64, n);
    }
    int mine_check(const std::uint8_t* nlo32, std::uint8_t* h1_32, std::uint32_t n) override {
        return Layer::mine_check(c_, nlo32, h1_32, n);
    }
    int mine(std::uint64_t start, std::uint32_t blocks, std::uint32_t threads, std::uint32_t iters,
             Batch& out) override {
        if (const int e = fill_list()) return e;
        if (const int e = Layer::mine_launch(c_, start, blocks, threads, iters, 0)) return e;
        std::vector<std::uint64_t> cands(c_->cap);
        std::uint64_t launched = 0;
        if (const int e = Layer::mine_collect(c_, 0, cands.data(), &out.count, &launched)) return e;
        cands.resize(std::min(out.count, c_->cap));
        out.stored = std::move(cands);
        out.device_list = read_words(c_->d_cands[0], c_->cap);
        return 0;
    }
    int mine_last_block(std::uint64_t start, std::uint32_t blocks, std::uint32_t threads, std::uint32_t iters,
                        Batch& out) override {
        if (const int e = fill_list()) return e;
        if (const cudaError_t e = cudaMemsetAsync(c_->d_count[0], 0, 4, c_->stream)) return e;
        ptx_host::active_module().set_grid_window(ptx_host::GridWindow{blocks - 1, blocks});
        cudaGetLastError();
        ptx_host::KernelModule::launch_mine(dim3(1), dim3(threads), c_->stream, c_->d_mid, c_->d_base, start, iters,
                                            c_->d_count[0], c_->d_cands[0], c_->cap);
        const cudaError_t launched = cudaGetLastError();
        const cudaError_t done = cudaStreamSynchronize(c_->stream);
        ptx_host::active_module().set_grid_window(std::nullopt);
        if (launched != cudaSuccess) return launched;
        if (done != cudaSuccess) return done;
        if (const cudaError_t e = cudaMemcpy(&out.count, c_->d_count[0], 4, cudaMemcpyDeviceToHost)) return e;
        out.device_list = read_words(c_->d_cands[0], c_->cap);
        out.stored.assign(out.device_list.begin(), out.device_list.begin() + std::min(out.count, c_->cap));
        return 0;
    }
    int presize_output_scratch(std::uint64_t bytes) override {
        if (!Layer::grow(c_, c_->d_scratch2, c_->d_scratch2_cap, bytes)) return -1;
        if (const cudaError_t e = cudaMemsetAsync(c_->d_scratch2, UNWRITTEN, bytes, c_->stream)) return e;
        return cudaStreamSynchronize(c_->stream);
    }
    std::vector<std::uint8_t> output_scratch() override {
        std::vector<std::uint8_t> bytes(c_->d_scratch2_cap);
        cudaMemcpy(bytes.data(), c_->d_scratch2, bytes.size(), cudaMemcpyDeviceToHost);
        return bytes;
    }
    std::vector<std::uint64_t> midstate() override { return read_words(c_->d_mid, 12); }
    std::vector<std::uint64_t> start_state() override { return read_words(c_->d_mm, 12); }
    int use_midstate(const std::array<std::uint64_t, 12>& words) override {
        using Module = ptx_host::KernelModule;
        if (const cudaError_t e = cudaMemcpy(c_->d_mid, words.data(), 96, cudaMemcpyHostToDevice)) return e;
        const auto start_state = [&] { Module::launch_midstate_mm(c_->stream, c_->d_mid, c_->d_base, c_->d_mm); };
        if (const int e = Layer::launched(c_, start_state)) return e;
        if (const cudaError_t e = Module::upload_start_state(c_->d_mm, c_->stream)) return e;
        return cudaStreamSynchronize(c_->stream);
    }
    std::string error() const override { return Layer::ctx_error(c_); }

private:
    int fill_list() {
        if (const cudaError_t e = cudaMemsetAsync(c_->d_cands[0], UNWRITTEN, 8ull * c_->cap, c_->stream)) return e;
        return cudaStreamSynchronize(c_->stream);
    }

    typename Layer::Ctx* c_;
};

// A host-layer call that must succeed with no thread faulting; false, with
// the problem noted, otherwise.
bool ran(Problems& problems, Rig& rig, const char* call, int result) {
    const std::string fault = rig.module.take_fault();
    if (!fault.empty()) problems.push_back(std::string(call) + ": a thread faulted: " + fault);
    if (result != 0) problems.push_back(std::string(call) + " returned " + std::to_string(result) + ": " + rig.context->error());
    return result == 0 && fault.empty();
}

void expect(Problems& problems, bool ok, std::string what) {
    if (!ok) problems.push_back(std::move(what));
}

// How many of `n` items differ, with the first few named.
void expect_items(Problems& problems, const char* what, std::size_t n, auto&& same) {
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < n; ++i)
        if (!same(i) && wrong++ < 3) problems.push_back(std::string(what) + " " + std::to_string(i) + " differs from the host");
    if (wrong > 3) problems.push_back(std::to_string(wrong) + " " + what + "s in all differ");
}

bool all_unwritten(const std::uint8_t* begin, const std::uint8_t* end) {
    return std::all_of(begin, end, [](std::uint8_t b) { return b == UNWRITTEN; });
}

std::uint64_t unwritten_word() {
    std::uint64_t w;
    std::memset(&w, UNWRITTEN, 8);
    return w;
}

// The batch's candidates against the host's: every counter whose hash is
// below the job's target, none stored twice, nothing past the count.
void expect_candidates(Problems& problems, const Batch& b, const std::set<std::uint64_t>& want, std::uint32_t cap) {
    expect(problems, b.count == want.size(),
           "count " + std::to_string(b.count) + ", the host finds " + std::to_string(want.size()));
    const std::set<std::uint64_t> stored(b.stored.begin(), b.stored.end());
    expect(problems, stored.size() == b.stored.size(), "a counter stored twice");
    for (std::uint64_t n : stored)
        expect(problems, want.count(n) != 0, "stored " + hex(n) + ", which is not below the target");
    if (want.size() <= cap)
        for (std::uint64_t n : want) expect(problems, stored.count(n) != 0, "candidate " + hex(n) + " not stored");
    for (std::size_t i = std::min<std::size_t>(b.count, cap); i < b.device_list.size(); ++i)
        expect(problems, b.device_list[i] == unwritten_word(), "list entry " + std::to_string(i) + " written past the count");
}

}  // namespace

// ---- the rig -----------------------------------------------------------------

Rig::Rig(std::string_view ptx_text, std::string_view module_name, std::uint32_t cap)
    : module(ptx_text), traits(traits_of(module_name)) {
    ptx_host::use(&module);
    if (traits.single_stream)
        context = std::make_unique<LayerContext<ptx_host::SingleStreamLayer>>(cap);
    else
        context = std::make_unique<LayerContext<ptx_host::TwoStreamLayer>>(cap);
}

Rig::~Rig() {
    context.reset();
    ptx_host::use(nullptr);
}

// ---- the checks ------------------------------------------------------------

// k_midstate and k_midstate_mm, as the job upload runs them: the host
// sponge's state after two permutations, and M_E of it with the base words
// (plus the first round constants where the module folds them).
Problems job_upload(Rig& rig) {
    Problems problems;
    std::uint64_t ext[12][12];
    reference::external_matrix(ext);
    for (std::size_t v = 0; v < 3; ++v) {
        Job job(vectors()[v]);
        job.target = filled(0);
        if (!ran(problems, rig, "qtc_set_job", rig.context->set_job(job))) return problems;
        std::uint8_t header[32], high[32];
        std::memcpy(header, job.header.data(), 32);
        std::memcpy(high, job.nonce.data(), 32);
        const poseidon2::State mid = poseidon2::poseidon2_midstate(header, high);
        reference::State s;
        for (int i = 0; i < 12; ++i) {
            std::uint32_t word = 0;
            if (i < 6) std::memcpy(&word, job.nonce.data() + 32 + 4 * i, 4);
            s[i] = reference::add(mid[i], word);
        }
        reference::State mm = reference::mat_mul(ext, s);
        if (rig.traits.folded)
            for (int i = 0; i < 12; ++i) mm[i] = reference::add(mm[i], poseidon2::QP_RC_EXT_INIT[0][i]);
        const std::vector<std::uint64_t> got_mid = rig.context->midstate(), got_mm = rig.context->start_state();
        for (int i = 0; i < 12; ++i) {
            expect(problems, got_mid.size() == 12 && got_mid[i] == mid[i] % P,
                   "vector " + std::to_string(v) + ": midstate element " + std::to_string(i));
            expect(problems, got_mm.size() == 12 && got_mm[i] == mm[i],
                   "vector " + std::to_string(v) + ": start state element " + std::to_string(i));
        }
    }
    return problems;
}

namespace {

using Midstate = std::array<std::uint64_t, 12>;

// Midstates no job upload makes (k_midstate's words are canonical), put in
// the context's midstate buffer, with nonce bytes 32-63 all zero: the base
// words, and counter 0 or the check kernel's one low half.
struct CraftedMidstate {
    const char* what;
    Midstate words;
};

// Words at and above p; and two midstates chosen to take the rare
// corrections (tests/ptx/rare_corrections.hpp) in the module's own PTX,
// through element 0 of the initial linear layer of permutation 3, which is
// 2·(2·m0 + 3·m1 + m2 + m3) + (2·m4 + 3·m5 + m6 + m7) + (2·m8 + 3·m9 + m10 +
// m11) exactly, plus QP_RC_EXT_INIT[0][0] in the folded modules' start
// state. With m10 = m11 = 2^64 − 1 (less that constant where the start
// state carries it), the rest 0, k_midstate_mm reduces 2^65 − 2 by qp6,
// which carries out of 64 bits twice. With m10 ≡ 2^48 − QP_RC_EXT_INIT[0][0]
// alone, the first S-box of permutation 3 (the mining kernel's from c_mm,
// the check kernel's from the midstate) squares 2^48, and 2^96 makes every
// product reduction's subtraction borrow.
std::vector<CraftedMidstate> crafted_midstates(bool folded) {
    const std::uint64_t rc = poseidon2::QP_RC_EXT_INIT[0][0];
    Midstate at_and_above_p;
    for (int i = 0; i < 12; ++i) at_and_above_p[i] = P + static_cast<std::uint64_t>(i) * 0x15555555ULL;
    at_and_above_p[11] = ~0ULL;
    Midstate qp6_carries_twice{};
    qp6_carries_twice[10] = ~0ULL;
    qp6_carries_twice[11] = ~0ULL - (folded ? rc : 0);
    Midstate square_borrows{};
    square_borrows[10] = static_cast<std::uint64_t>(((static_cast<reference::u128>(1) << 48) + P - rc % P) % P);
    return {{"words at and above p", at_and_above_p},
            {"a start state whose qp6 reduction carries twice", qp6_carries_twice},
            {"a first S-box input of 2^48", square_borrows}};
}

}  // namespace

// Crafted midstates through the three kernels that start from one: the
// start state k_midstate_mm makes, the check kernel's first half of the
// hash, and the mining kernel's decision on counter 0 against the hash
// plus one (found) and the hash itself (not found), against the host.
Problems crafted_midstates(Rig& rig) {
    Problems problems;
    std::uint64_t ext[12][12];
    reference::external_matrix(ext);
    Job job(vectors()[0]);
    std::fill(job.nonce.begin() + 32, job.nonce.end(), 0);
    const std::uint8_t zero_low[32] = {};
    for (const CraftedMidstate& m : crafted_midstates(rig.traits.folded)) {
        const std::string what(m.what);
        poseidon2::State residues;
        for (int i = 0; i < 12; ++i) residues[i] = m.words[i] % P;
        std::uint64_t words[8];
        poseidon2::poseidon2_hash_from_midstate(words, residues, zero_low);
        const Hash hash = poseidon2::hash_words_to_bytes(words);

        reference::State mm = reference::mat_mul(ext, residues);
        if (rig.traits.folded)
            for (int i = 0; i < 12; ++i) mm[i] = reference::add(mm[i], poseidon2::QP_RC_EXT_INIT[0][i]);
        for (const auto& [target, found] : {std::pair{plus_one(hash), true}, std::pair{hash, false}}) {
            job.target = target;
            if (!ran(problems, rig, "qtc_set_job", rig.context->set_job(job)) ||
                !ran(problems, rig, "the start state from the midstate", rig.context->use_midstate(m.words)))
                return problems;
            const std::vector<std::uint64_t> got_mm = rig.context->start_state();
            expect(problems, got_mm.size() == 12 && std::equal(mm.begin(), mm.end(), got_mm.begin()),
                   what + ": the start state differs from the host's");
            Batch got;
            if (!ran(problems, rig, "qtc_mine_launch and qtc_mine_collect", rig.context->mine(0, 1, 1, 1, got)))
                return problems;
            expect(problems, got.count == (found ? 1u : 0u),
                   what + ": counter 0 " + (found ? "not found below its hash + 1" : "found below its own hash"));
        }
        std::uint8_t first_half[32];
        if (!ran(problems, rig, "qtc_mine_check", rig.context->mine_check(zero_low, first_half, 1))) return problems;
        expect(problems, std::memcmp(first_half, hash.data(), 32) == 0, what + ": the check kernel's hash differs");
    }
    return problems;
}

// k_hash_full over 300 inputs, three blocks of 128 threads: 260 oracle
// vectors, then 40 inputs with words at and above p, which only the
// canonical form folds. The output scratch is larger than the 300 hashes:
// the threads past n must leave the rest alone.
Problems hash_full(Rig& rig) {
    Problems problems;
    constexpr std::uint32_t VECTORS = 260, n = 300, ROOM = 384;
    std::vector<std::uint8_t> in(96 * n);
    for (std::uint32_t i = 0; i < VECTORS; ++i) {
        std::memcpy(&in[96 * i], vectors()[i].header.data(), 32);
        std::memcpy(&in[96 * i + 32], vectors()[i].nonce.data(), 64);
    }
    std::mt19937_64 rng(0x7e57ab1eULL);
    for (std::uint32_t i = VECTORS; i < n; ++i) {
        for (std::uint32_t b = 0; b < 96; ++b) in[96 * i + b] = static_cast<std::uint8_t>(rng());
        std::fill_n(&in[96 * i + 8 * (i % 12)], 8, 0xff);
        const std::uint8_t p_le[8] = {1, 0, 0, 0, 0xff, 0xff, 0xff, 0xff};
        std::memcpy(&in[96 * i + 8 * ((i + 5) % 12)], p_le, 8);
    }
    if (!ran(problems, rig, "presizing the output scratch", rig.context->presize_output_scratch(64 * ROOM)))
        return problems;
    std::vector<std::uint8_t> out(64 * n);
    if (!ran(problems, rig, "qtc_hash_full", rig.context->hash_full(in.data(), out.data(), n))) return problems;
    expect_items(problems, "input", n, [&](std::size_t i) {
        if (i < VECTORS) return std::memcmp(&out[64 * i], vectors()[i].hash.data(), 64) == 0;
        std::uint8_t one[96];
        std::memcpy(one, &in[96 * i], 96);
        return std::memcmp(&out[64 * i], poseidon2::poseidon2_hash_bytes(one).data(), 64) == 0;
    });
    const std::vector<std::uint8_t> scratch = rig.context->output_scratch();
    expect(problems, scratch.size() == 64 * ROOM && all_unwritten(scratch.data() + 64 * n, scratch.data() + scratch.size()),
           "a thread past n wrote into the output");
    return problems;
}

// k_mine<true> for 200 nonce low halves after a job upload: the first 32
// bytes of each hash, from the midstate; the threads past n write nothing.
Problems check_first_halves(Rig& rig) {
    Problems problems;
    constexpr std::uint32_t n = 200, ROOM = 256;
    Job job(vectors()[0]);
    if (!ran(problems, rig, "qtc_set_job", rig.context->set_job(job))) return problems;
    std::vector<std::uint8_t> lows(32 * n);
    for (std::uint32_t i = 0; i < n; ++i) std::memcpy(&lows[32 * i], vectors()[i].nonce.data() + 32, 32);
    if (!ran(problems, rig, "presizing the output scratch", rig.context->presize_output_scratch(32 * ROOM)))
        return problems;
    std::vector<std::uint8_t> out(32 * n);
    if (!ran(problems, rig, "qtc_mine_check", rig.context->mine_check(lows.data(), out.data(), n))) return problems;
    std::uint8_t header[32], high[32];
    std::memcpy(header, job.header.data(), 32);
    std::memcpy(high, job.nonce.data(), 32);
    const poseidon2::State mid = poseidon2::poseidon2_midstate(header, high);
    expect_items(problems, "nonce low half", n, [&](std::size_t i) {
        std::uint8_t low[32];
        std::memcpy(low, &lows[32 * i], 32);
        std::uint64_t words[8];
        poseidon2::poseidon2_hash_from_midstate(words, mid, low);
        return std::memcmp(&out[32 * i], poseidon2::hash_words_to_bytes(words).data(), 32) == 0;
    });
    const std::vector<std::uint8_t> scratch = rig.context->output_scratch();
    expect(problems, scratch.size() == 32 * ROOM && all_unwritten(scratch.data() + 32 * n, scratch.data() + scratch.size()),
           "a thread past n wrote into the output");
    return problems;
}

namespace {

enum class TargetOf { HashPlusOne, Hash, AllOnes };

struct MiningBatch {
    std::string_view name;
    std::uint64_t start;
    std::uint32_t blocks, threads, iters;
    std::uint64_t pivot;  // the counter the target is made from
    TargetOf target;
};

// 33 threads cross a warp; a wrap at 2^64; upper counter halves whose four
// bytes differ, so that the byte order of both halves matters.
constexpr MiningBatch BATCHES[] = {
    {"found", 5000, 1, 33, 1, 5017, TargetOf::HashPlusOne},
    {"not found", 5000, 1, 33, 1, 5017, TargetOf::Hash},
    {"wrap", ~0ULL - 19, 2, 8, 2, 3, TargetOf::HashPlusOne},
    {"high halves", 0x89abcdef01234500ULL, 1, 16, 2, 0x89abcdef01234515ULL, TargetOf::HashPlusOne},
    {"no iterations", 1000, 2, 4, 0, 1000, TargetOf::AllOnes},
};

Hash target_of(const Job& job, const MiningBatch& b) {
    switch (b.target) {
        case TargetOf::HashPlusOne: return plus_one(job.host_hash(b.pivot));
        case TargetOf::Hash: return job.host_hash(b.pivot);
        case TargetOf::AllOnes: break;
    }
    return filled(0xff);
}

}  // namespace

std::vector<std::string_view> mining_batch_names() {
    std::vector<std::string_view> names;
    for (const MiningBatch& b : BATCHES) names.push_back(b.name);
    return names;
}

// k_mine<false> through a launch and collect: exactly the counters whose
// hash is below the target, the pivot among them exactly when the target
// is its hash plus one.
Problems mining_batch(Rig& rig, std::string_view name) {
    const auto it = std::find_if(std::begin(BATCHES), std::end(BATCHES), [&](const MiningBatch& b) { return b.name == name; });
    if (it == std::end(BATCHES)) throw std::invalid_argument("no mining batch " + std::string(name));
    const MiningBatch& b = *it;
    Problems problems;
    Job job(vectors()[1]);
    job.target = target_of(job, b);
    if (!ran(problems, rig, "qtc_set_job", rig.context->set_job(job))) return problems;
    std::set<std::uint64_t> want;
    const std::uint64_t covered = std::uint64_t{b.blocks} * b.threads * b.iters;
    for (std::uint64_t k = 0; k < covered; ++k)
        if (below(job.host_hash(b.start + k), job.target)) want.insert(b.start + k);
    if (b.iters != 0) {
        expect(problems, (want.count(b.pivot) != 0) == (b.target == TargetOf::HashPlusOne),
               "the case does not test what it says");
    }
    Batch got;
    if (!ran(problems, rig, "qtc_mine_launch and qtc_mine_collect", rig.context->mine(b.start, b.blocks, b.threads, b.iters, got)))
        return problems;
    expect_candidates(problems, got, want, 64);
    return problems;
}

// A target whose first 32 bytes equal the hash's sends the kernel into
// permutation 5 (and fast89 past its decision on bytes 0-7): the first
// difference decides, wherever it is, and 64 equal bytes reject.
Problems strict_over_sixty_four_bytes(Rig& rig) {
    Problems problems;
    const auto& vs = vectors();
    const auto v = std::find_if(vs.begin(), vs.end(), [](const SelftestVector& s) { return target_cases::has_room(s.hash); });
    Job job(*v);
    const std::uint64_t n = job.counter();
    for (const target_cases::Case& c : target_cases::around(v->hash)) {
        job.target = c.target;
        Batch got;
        if (!ran(problems, rig, "qtc_set_job", rig.context->set_job(job)) ||
            !ran(problems, rig, "qtc_mine_launch and qtc_mine_collect", rig.context->mine(n, 1, 1, 1, got)))
            return problems;
        const bool found = got.count == 1 && got.stored.size() == 1 && got.stored[0] == n;
        expect(problems, found == c.found && got.count == (c.found ? 1u : 0u), std::string(c.what) + ": wrongly decided");
    }
    return problems;
}

// An all-0xff target takes every counter: 2 × 4 threads × 3 counters from
// 1000 count 24, and a list of capacity 5 holds five of them; a store past
// the list is a fault (the list is its whole allocation).
Problems capacity(Rig& rig) {
    Problems problems;
    Job job(vectors()[0]);
    job.target = filled(0xff);
    Batch got;
    if (!ran(problems, rig, "qtc_set_job", rig.context->set_job(job)) ||
        !ran(problems, rig, "qtc_mine_launch and qtc_mine_collect", rig.context->mine(1000, 2, 4, 3, got)))
        return problems;
    std::set<std::uint64_t> all;
    for (std::uint64_t c = 1000; c < 1024; ++c) all.insert(c);
    expect_candidates(problems, got, all, 5);
    expect(problems, got.stored.size() == 5, "the list does not hold five counters");
    return problems;
}

// Thread indices 2^32 − 32 … 2^32 − 1 (the last block of 2^27 blocks of 32
// threads) with two counters each: iters × gid needs 64 bits.
Problems thread_index_near_the_top(Rig& rig) {
    Problems problems;
    constexpr std::uint32_t BLOCKS = 1u << 27, THREADS = 32, ITERS = 2;
    constexpr std::uint64_t START = 1000;
    const std::uint64_t first = START + std::uint64_t{ITERS} * (std::uint64_t{BLOCKS - 1} * THREADS);
    const std::uint64_t last = START + std::uint64_t{ITERS} * 0xffffffffULL + ITERS - 1;
    Job job(vectors()[2]);
    job.target = plus_one(job.host_hash(last));
    if (!ran(problems, rig, "qtc_set_job", rig.context->set_job(job))) return problems;
    std::set<std::uint64_t> want;
    for (std::uint64_t c = first; c <= last; ++c)
        if (below(job.host_hash(c), job.target)) want.insert(c);
    Batch got;
    if (!ran(problems, rig, "the launch of the last block", rig.context->mine_last_block(START, BLOCKS, THREADS, ITERS, got)))
        return problems;
    expect_candidates(problems, got, want, 64);
    return problems;
}

}  // namespace ptx_cases
