#include "src/tune/autotune.hpp"

#include <algorithm>
#include <cmath>

#include <fmt/format.h>

#include "src/gpu/gpu_context.hpp"
#include "src/ui/colors.hpp"
#include "src/ui/console_safe.hpp"

namespace {

std::uint64_t batch_of(const LaunchGeometry& g) { return std::uint64_t{g.blocks} * g.threads * g.iters; }

bool positive(double x) { return std::isfinite(x) && x > 0; }

std::string measurement_line(int ordinal, KernelKind kind, const LaunchGeometry& g, double mhs) {
    return fmt::format("[tune] GPU{} {:<7} {}×{}×{} : {:.1f} MH/s", ordinal, kernel_name(kind), g.blocks, g.threads,
                       g.iters, mhs);
}

std::int64_t wall_clock_unix_seconds() {
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    return std::max<std::int64_t>(std::chrono::duration_cast<std::chrono::seconds>(since).count(), 0);
}

// The benchmark loop on an open context: a batch always queued behind the
// one being collected, the window opened by the first collect after the
// warm-up and closed by the first collect after it.
Result<double> bench_on(GpuContext& gpu, const LaunchGeometry& g, BenchSeconds warm_up, BenchSeconds window,
                        const MonoClock& clock) {
    Bytes32 header;
    header.fill(0x11);
    if (auto set = gpu_set_job(gpu, header, Bytes32{}, Bytes32{}, Bytes64{}); !set) return fail(set.error());
    const std::uint64_t n = batch_of(g);
    if (auto launched = gpu_mine_launch(gpu, 0, g.blocks, g.threads, g.iters, 0); !launched)
        return fail(launched.error());
    const MonoTime t0 = clock();
    std::optional<MonoTime> started;
    std::uint64_t counter = n, total = 0;
    std::uint32_t u = 0;
    MonoTime now;
    for (;;) {
        if (auto launched = gpu_mine_launch(gpu, counter, g.blocks, g.threads, g.iters, 1 - u); !launched)
            return fail(launched.error());
        const Result<BatchResult> r = gpu_mine_collect(gpu, u);
        if (!r) return fail(r.error());
        now = clock();
        if (!started) {
            if (now - t0 >= warm_up) started = now;
        } else {
            total += r->launched;
            if (now - *started >= window) break;
        }
        counter += n;
        u = 1 - u;
    }
    const double elapsed = BenchSeconds(now - *started).count();
    (void)gpu_mine_collect(gpu, 1 - u);  // the batch still in flight; dropped
    return static_cast<double>(total) / elapsed / 1e6;
}

}  // namespace

Result<double> bench_geometry(int ordinal, KernelKind kind, const LaunchGeometry& geometry, BenchSeconds warm_up,
                              BenchSeconds window, const MonoClock& clock) {
    Result<GpuContext> gpu = gpu_open(ordinal, 256, kind);
    if (!gpu) return fail(gpu.error());
    return bench_on(*gpu, geometry, warm_up, window, clock);
}

std::vector<LaunchGeometry> geometry_candidates(KernelKind best, int ordinal, std::uint32_t sms) {
    std::vector<LaunchGeometry> geometries;
    for (const GeometryStep& step : geometry_plan(best, ordinal).tuner) geometries.push_back(geometry_of(step, sms));
    return geometries;
}

Result<TuningDecision> autotune_gpu(int ordinal, const std::string& label, int sm_count, KernelKind kind,
                                     const std::optional<LaunchGeometry>& manual, const AutotuneSeams& seams) {
    std::vector<KernelKind> kernels;
    if (kind == KernelKind::none) {
        Result<std::vector<KernelKind>> candidates = kernel_candidates(ordinal);
        if (!candidates) return fail(candidates.error());
        kernels = std::move(*candidates);
    } else {
        kernels = {kind};
    }
    if (kernels.empty()) return fail("aucun noyau mesuré");
    const auto s = static_cast<std::uint32_t>(std::max(sm_count, 1));

    struct Best {
        KernelKind kind;
        LaunchGeometry geometry;
        double mhs;
    };
    std::optional<Best> best;
    for (KernelKind k : kernels) {
        const LaunchGeometry g = manual.value_or(variant_default_geometry(k, ordinal, s));
        if (g.threads > gpu_max_threads(k, ordinal)) continue;
        const Result<double> k1 = seams.bench(ordinal, k, g, KERNEL_WARM_UP, KERNEL_WINDOW);
        if (!k1) return fail(Error(k1.error()).context(fmt::format("mesure du noyau {}", kernel_name(k))));
        seams.lines.out(measurement_line(ordinal, k, g, *k1));
        if (kind == KernelKind::none && kernel_variant(k).specialised && best) {
            // A specialised variant must beat the best twice, by 2 %.
            const Result<double> b2 = seams.bench(ordinal, best->kind, best->geometry, KERNEL_WARM_UP, KERNEL_WINDOW);
            if (!b2) return fail(b2.error());
            const Result<double> k2 = seams.bench(ordinal, k, g, KERNEL_WARM_UP, KERNEL_WINDOW);
            if (!k2) return fail(k2.error());
            if (positive(best->mhs) && positive(*k1) && positive(*b2) && positive(*k2) &&
                std::min(*k1, *k2) > REPEATABLE_MARGIN * std::max(best->mhs, *b2)) {
                best = Best{k, g, *k1};
            } else {
                seams.lines.out(fmt::format("[tune] GPU{} {}: repeatable +2% not confirmed; keeping {}", ordinal,
                                            kernel_name(k), kernel_name(best->kind)));
            }
        } else if (!best || *k1 > best->mhs) {
            best = Best{k, g, *k1};
        }
    }
    if (!best) return fail("aucun noyau mesuré");

    if (!manual) {
        double threshold = best->mhs * GEOMETRY_MARGIN;
        for (const LaunchGeometry& g : geometry_candidates(best->kind, ordinal, s)) {
            const Result<double> x = seams.bench(ordinal, best->kind, g, GEOMETRY_WARM_UP, GEOMETRY_WINDOW);
            if (!x) return fail(x.error());
            seams.lines.out(measurement_line(ordinal, best->kind, g, *x));
            if (*x > threshold) {
                best->geometry = g;
                best->mhs = *x;
                threshold = *x * GEOMETRY_MARGIN;
            }
        }
    }
    const std::int64_t now = seams.unix_seconds ? seams.unix_seconds() : wall_clock_unix_seconds();
    return TuningDecision{Tuning{std::string(kernel_name(best->kind)), best->geometry.blocks, best->geometry.threads,
                                 best->geometry.iters, best->mhs, fmt::format("unix {} on {}", now, label),
                                 std::string(TUNING_VERSION)},
                          best->kind};
}

namespace {

// The variant a cached record names, by the exact name the tuner writes;
// none for any other text.
KernelKind kind_of_record(const Tuning& e) {
    const KernelKind kind = parse_kernel_name(e.variant);
    return kind != KernelKind::none && kernel_name(kind) == e.variant ? kind : KernelKind::none;
}

// The largest batch the tuner tries for `kind` on `sms` multiprocessors: its
// plan's first geometry or one of its candidates.
std::uint64_t largest_tuned_batch(KernelKind kind, int ordinal, std::uint32_t sms) {
    const GeometryPlan plan = geometry_plan(kind, ordinal);
    std::uint64_t largest = batch_of(geometry_of(plan.first, sms));
    for (const GeometryStep& step : plan.tuner) largest = std::max(largest, batch_of(geometry_of(step, sms)));
    return largest;
}

// A cached batch may be this many times the largest the tuner now tries, so
// that records of a tuner with somewhat longer batches stay usable, while a
// planted one of hours per batch (a stop waits for the batch in flight) does
// not.
constexpr std::uint64_t CACHED_BATCH_MARGIN = 4;

// 10^12 hashes a second, orders of magnitude above any card's rate: a rate
// above it was not measured.
constexpr double MAX_CACHED_MHS = 1e6;

// Whether the record could have come from the tuner: a variant's name, a
// geometry the command line would accept (no zero, within the launch
// bounds), a batch within the margin of the tuner's largest and a rate
// between 0 and the ceiling.
bool plausible(const Tuning& e, const LaunchGeometry& geometry, KernelKind kind, const TuningInputs& in) {
    if (kind == KernelKind::none) return false;
    if (e.blocks == 0 || e.threads == 0 || e.iters == 0 || !check_launch_bounds(geometry)) return false;
    const auto sms = static_cast<std::uint32_t>(std::max(in.sm_count, 1));
    if (batch_of(geometry) > CACHED_BATCH_MARGIN * largest_tuned_batch(kind, in.ordinal, sms)) return false;
    return e.mhs >= 0 && e.mhs <= MAX_CACHED_MHS;
}

// Whether a cached record of variant `kind` may serve this slot; the first
// failing test ends it. A record the tuner could not have written is broken:
// measured again.
bool usable(const Tuning& e, KernelKind kind, const TuningInputs& in) {
    const LaunchGeometry geometry{e.blocks, e.threads, e.iters};
    if (!plausible(e, geometry, kind, in)) return false;
    if (in.choice != KernelKind::none && kind != in.choice) return false;
    const Result<std::vector<KernelKind>> candidates = kernel_candidates(in.ordinal);
    if (!candidates || std::ranges::find(*candidates, kind) == candidates->end()) return false;
    if (e.threads > gpu_max_threads(kind, in.ordinal)) return false;
    if (in.manual_geometry && geometry != in.base) return false;
    return true;
}

}  // namespace

Result<TuningDecision> decide_tuning(const TuningInputs& in, TuneCache& cache, const AutotuneSeams& seams) {
    const KernelKind base_kind = chosen_or_energy(in.choice);
    if (in.no_autotune)
        return TuningDecision{Tuning{std::string(kernel_name(base_kind)), in.base.blocks, in.base.threads,
                                     in.base.iters, 0.0, "not measured (--no-autotune)", std::string(TUNING_VERSION)},
                              base_kind};
    if (const auto it = cache.entries.find(in.key); !in.retune && it != cache.entries.end()) {
        const Tuning& e = it->second;
        if (const KernelKind kind = kind_of_record(e); usable(e, kind, in)) {
            seams.lines.out(fmt::format(
                "[tune] GPU{} {}: cached — {} {}×{}×{} ({:.1f} MH/s when measured; --retune to measure again)",
                in.ordinal, in.label, console_safe_cut(e.variant), e.blocks, e.threads, e.iters, e.mhs));
            return TuningDecision{e, kind};
        }
    }
    seams.lines.out(
        fmt::format("[tune] GPU{} {}: measuring kernels and batch geometry (about 15 s)…", in.ordinal, in.label));
    Result<TuningDecision> decision = autotune_gpu(in.ordinal, in.label, in.sm_count, in.choice,
                                                   in.manual_geometry ? std::optional(in.base) : std::nullopt, seams);
    if (!decision) return decision;
    const Tuning& t = decision->record;
    seams.lines.out(ui_paint(fmt::format("[tune] GPU{} → {} {}×{}×{} = {:.1f} MH/s", in.ordinal, t.variant, t.blocks,
                                         t.threads, t.iters, t.mhs),
                             GREEN));
    if (in.choice == KernelKind::none && !in.manual_geometry) {
        cache.entries.insert_or_assign(in.key, t);
        cache.changed = true;
    }
    return decision;
}
