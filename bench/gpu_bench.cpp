// Each kernel module's mining kernel on one GPU, at the module's default
// geometry and at the auto-tune's candidate geometries: one table of MH/s
// (wall clock, and kernel time from the host layer's CUDA events), the SM
// clock and power NVML reads, and the host check of every candidate
// (gpu_bench_window.hpp).
//
//   gpu_bench [--device N] [--seconds S] [--default-only]
//   gpu_bench --list     each device as the miner describes it
//
// Exit status 0 when every measured window passed its checks, 1 when one
// failed or the GPU failed (the runtime's own text when there is no driver,
// as the miner prints it), 2 for a usage error.
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "bench/gpu_bench_window.hpp"
#include "src/gpu/device.hpp"
#include "src/gpu/geometry.hpp"
#include "src/gpu/gpu_context.hpp"
#include "src/tune/autotune.hpp"

namespace {

struct Options {
    int device = 0;
    BenchClockSeconds window{2.0};
    bool default_only = false;
    bool list = false;
};

std::string geometry_text(const LaunchGeometry& g) { return fmt::format("{}×{}×{}", g.blocks, g.threads, g.iters); }

std::string table_row(KernelKind kind, const std::string& geometry, const BenchWindow& w, int bits) {
    const double mhs = static_cast<double>(w.nonces) / w.seconds / 1e6;
    const std::string kernel = w.kernel_ms && *w.kernel_ms > 0
                                   ? fmt::format("{:.1f}", static_cast<double>(w.nonces) / *w.kernel_ms / 1e3)
                                   : "-";
    const std::string clock = w.clock_mhz ? fmt::format("{}", *w.clock_mhz) : "-";
    const std::string power = w.power_mw ? fmt::format("{:.1f}", *w.power_mw / 1000.0) : "-";
    return fmt::format("{:<8} {:<18} {:>9.1f} {:>11} {:>7} {:>8} {:>9} {:>9.0f}  {}", kernel_name(kind), geometry, mhs,
                       kernel, clock, power, w.found, w.expected(bits), window_verdict(w, bits));
}

// The default first, then the auto-tune's candidates not already listed.
std::vector<LaunchGeometry> geometries_for(KernelKind kind, int device, std::uint32_t sms, bool default_only) {
    std::vector<LaunchGeometry> list{variant_default_geometry(kind, device, sms)};
    if (default_only) return list;
    for (const LaunchGeometry& g : geometry_candidates(kind, device, sms))
        if (std::find(list.begin(), list.end(), g) == list.end()) list.push_back(g);
    return list;
}

void say(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

bool list_devices() {
    const Result<int> count = gpu_device_count();
    if (!count) {
        std::fprintf(stderr, "error: %s\n", count.error().chain().c_str());
        return false;
    }
    for (int d = 0; d < *count; ++d) {
        const Result<std::string> label = gpu_device_name(d);
        if (!label) {
            std::fprintf(stderr, "error: %s\n", label.error().chain().c_str());
            return false;
        }
        say(fmt::format("GPU{} {}", d, *label));
    }
    return true;
}

// Every module the device may run; false when a window failed its checks
// or the GPU failed.
bool bench_device(const Options& o) {
    const Result<std::string> label = gpu_device_name(o.device);
    if (!label) {
        say(fmt::format("gpu_bench: GPU{}: {:#}", o.device, label.error()));
        return false;
    }
    const Result<int> sms = gpu_sm_count(o.device);
    if (!sms) {
        say(fmt::format("gpu_bench: GPU{}: {:#}", o.device, sms.error()));
        return false;
    }
    say(fmt::format("gpu_bench: GPU{} {}, {:.1f} s a geometry (* the default geometry)", o.device, *label,
                    o.window.count()));
    say(fmt::format("{:<8} {:<18} {:>9} {:>11} {:>7} {:>8} {:>9} {:>9}  {}", "module", "geometry", "MH/s",
                    "kernel MH/s", "SM MHz", "power W", "found", "expected", "host check"));
    const auto s = static_cast<std::uint32_t>(std::max(*sms, 1));
    bool passed = true;
    for (KernelKind kind : ALL_KERNEL_KINDS) {
        Result<GpuContext> gpu = gpu_open(o.device, 256, kind);
        if (!gpu) {
            say(fmt::format("{:<8} skipped: {:#}", kernel_name(kind), gpu.error()));
            continue;
        }
        const LaunchGeometry base = variant_default_geometry(kind, o.device, s);
        for (const LaunchGeometry& g : geometries_for(kind, o.device, s, o.default_only)) {
            const std::string geometry = geometry_text(g) + (g == base ? " *" : "");
            const int bits = odds_bits_for(std::uint64_t{g.blocks} * g.threads * g.iters);
            const Result<BenchWindow> w = measure_window(*gpu, g, bench_job(bits), o.window / 4, o.window);
            if (!w) {
                say(fmt::format("{:<8} {:<18} GPU failure: {:#}", kernel_name(kind), geometry, w.error()));
                return false;
            }
            say(table_row(kind, geometry, *w, bits));
            passed = passed && window_verdict(*w, bits) == "ok";
        }
    }
    return passed;
}

std::optional<Options> parse_options(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const bool has_value = i + 1 < argc;
        char* end = nullptr;
        if (arg == "--device" && has_value) {
            const long device = std::strtol(argv[++i], &end, 10);
            if (*end != '\0' || device < 0 || device > 1023) return std::nullopt;
            o.device = static_cast<int>(device);
        } else if (arg == "--seconds" && has_value) {
            const double seconds = std::strtod(argv[++i], &end);
            if (*end != '\0' || !(seconds > 0 && seconds <= 600)) return std::nullopt;
            o.window = BenchClockSeconds(seconds);
        } else if (arg == "--default-only") {
            o.default_only = true;
        } else if (arg == "--list") {
            o.list = true;
        } else {
            return std::nullopt;
        }
    }
    return o;
}

}  // namespace

int main(int argc, char** argv) {
    const std::optional<Options> options = parse_options(argc, argv);
    if (!options) {
        std::fprintf(stderr, "usage: gpu_bench [--device N] [--seconds S] [--default-only] | gpu_bench --list\n");
        return 2;
    }
    if (options->list) return list_devices() ? 0 : 1;
    return bench_device(*options) ? 0 : 1;
}
