#include "src/gpu_selftest/startup_selftests.hpp"

#include <fmt/format.h>

#include "src/gpu/device.hpp"
#include "src/gpu/gpu_context.hpp"

namespace {

// The kernels one GPU is tested with: the named one, or its candidates.
Result<std::vector<KernelKind>> kernels_to_test(int device, KernelKind choice) {
    if (choice != KernelKind::none) return std::vector<KernelKind>{choice};
    return kernel_candidates(device);
}

}  // namespace

SelftestProgress SELFTEST_PROGRESS;

Result<void> run_selftest_mode(const std::string& path, std::span<const int> gpus, KernelKind choice,
                               const GeometryOverrides& overrides, const SelftestOutput& output) {
    SELFTEST_PROGRESS.unfinished.store(true);
    const Result<std::vector<SelftestVector>> vectors = load_vector_file(path);
    if (!vectors) return fail(vectors.error());
    output.out(fmt::format("selftest: {} vectors ({}) — kernel {}", vectors->size(), path, BUILD_DESCRIPTION));
    for (int d : gpus) {
        const Result<std::vector<KernelKind>> kernels = kernels_to_test(d, choice);
        if (!kernels) return fail(kernels.error());
        for (KernelKind k : *kernels) {
            const Result<LaunchGeometry> geometry = default_geometry(overrides, d, k);
            if (!geometry) return fail(geometry.error());
            output.out(fmt::format("GPU{} [{}] :", d, kernel_name(k)));
            if (auto passed = selftest_gpu(d, *vectors, *geometry, k, output); !passed)
                return fail(std::move(passed.error()).context(fmt::format("GPU{} [{}] : selftest ÉCHOUÉ", d, kernel_name(k))));
            SELFTEST_PROGRESS.vectors_checked.fetch_add(vectors->size());
            SELFTEST_PROGRESS.runs_passed.fetch_add(1);
        }
    }
    output.out(fmt::format("SELFTEST OK on {} GPUs", gpus.size()));
    SELFTEST_PROGRESS.unfinished.store(false);
    return {};
}

Result<void> validate_fast86(std::span<const int> gpus, KernelKind choice, const GeometryOverrides& overrides,
                             const SelftestOutput& output) {
    for (int d : gpus) {
        const Result<int> cc = gpu_compute_capability(d);
        if (!cc) return fail(cc.error());
        if (choice != KernelKind::fast86 && !(choice == KernelKind::none && *cc == 86)) continue;
        const Result<LaunchGeometry> geometry = default_geometry(overrides, d, KernelKind::fast86);
        if (!geometry) return fail(geometry.error());
        output.out(fmt::format("GPU{}: validating fast86 before mining", d));
        const Result<std::vector<SelftestVector>> vectors = parse_vectors(SELFTEST_VECTORS, EMBEDDED_VECTORS_LABEL);
        if (!vectors) return fail(vectors.error());
        Result<void> passed = selftest_gpu(d, *vectors, *geometry, KernelKind::fast86, output);
        if (passed) continue;
        if (choice == KernelKind::fast86) return fail(std::move(passed.error()).context("fast86 validation failed"));
        output.err(fmt::format("GPU{}: fast86 disabled after failed validation: {}", d, passed.error()));
        disable_fast86(d);
    }
    return {};
}

Result<void> replay_vectors(int device, std::span<const SelftestVector> vectors, const GeometryOverrides& overrides,
                            const SelftestOutput& output) {
    const Result<std::vector<KernelKind>> kernels = kernel_candidates(device);
    if (!kernels) return fail(kernels.error());
    for (KernelKind k : *kernels) {
        const Result<LaunchGeometry> geometry = default_geometry(overrides, device, k);
        if (!geometry) return fail(geometry.error());
        output.out(fmt::format("GPU{}: selftest {} vectors [{}]", device, vectors.size(), kernel_name(k)));
        if (auto passed = selftest_gpu(device, vectors, *geometry, k, output); !passed)
            return fail(std::move(passed.error())
                            .context(fmt::format("GPU{} [{}]: selftest FAILED — refusing to start", device, kernel_name(k))));
    }
    return {};
}
