#include "src/main/startup.hpp"

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <set>
#include <vector>

#include <fmt/format.h>

#include "src/base/text_file.hpp"
#include "src/base/unicode.hpp"
#include "src/devfee/dev_address.hpp"
#include "src/gpu/device.hpp"
#include "src/gpu/gpu_context.hpp"
#include "src/gpu_selftest/startup_selftests.hpp"
#include "src/pool/job_template.hpp"
#include "src/pool/masked_url.hpp"
#include "src/pool/pool_client.hpp"
#include "src/ui/banner.hpp"

namespace {

using namespace std::chrono_literals;

constexpr std::uint64_t DEV_FEE_SHARE = 1;  // per cent, written "1"

GeometryOverrides overrides_of(const Cli& cli) { return {cli.blocks, cli.threads, cli.iters}; }

Result<void> check_geometry_options(const Cli& cli) {
    if ((cli.blocks && *cli.blocks == 0) || (cli.threads && (*cli.threads == 0 || *cli.threads > 1024)) ||
        (cli.iters && *cli.iters == 0))
        return fail("--blocks/--threads (≤1024)/--iters must be > 0");
    // Without --threads only the grid limit can be checked here; the
    // variant's threads are checked with it once its geometry is made.
    if (cli.blocks)
        if (auto bounded = check_launch_bounds({*cli.blocks, cli.threads.value_or(1), 1}); !bounded)
            return fail(std::move(bounded.error()).context("--blocks/--threads"));
    return {};
}

Result<KernelKind> kernel_choice(const Cli& cli) {
    if (cli.kernel == "auto") return KernelKind::none;
    const KernelKind kind = parse_kernel_name(cli.kernel);
    if (kind == KernelKind::none)
        return fail("--kernel {}: expected auto, {}", cli.kernel, kernel_name_list());
    return kind;
}

Result<std::vector<int>> device_list(const Cli& cli) {
    const Result<int> found = gpu_device_count();
    if (!found) return fail(found.error());
    const int count = *found;
    if (count == 0) return fail("no CUDA GPU found");
    std::vector<int> devices;
    if (cli.gpu_list && !cli.gpu_list->empty())
        devices.assign(cli.gpu_list->begin(), cli.gpu_list->end());
    else
        for (int d = 0; d < count; ++d) devices.push_back(d);
    // One slot per GPU: the contexts of one device share its module's job
    // constants, so a second slot there would hash with the first one's job.
    std::set<int> listed;
    for (int d : devices) {
        if (d < 0 || d >= count) return fail("GPU {} inexistant ({} GPU CUDA)", d, count);
        if (!listed.insert(d).second) return fail("GPU {} listed twice in --gpu-list (one slot per GPU)", d);
    }
    return devices;
}

Result<void> describe_gpus(const std::vector<int>& devices, KernelKind choice, const LineOutput& lines) {
    for (int d : devices) {
        const Result<std::string> label = gpu_device_name(d);
        if (!label) return fail(label.error());
        lines.out(fmt::format("GPU{} : {}", d, *label));
        if (auto checked = check_capability(d, choice, RefusalWording::of_choice); !checked) return checked;
    }
    return {};
}

std::string label_or_ordinal(int device) {
    Result<std::string> label = gpu_device_name(device);
    return label ? *label : fmt::format("GPU{}", device);
}

Result<std::shared_ptr<DevFeeState>> dev_fee_state(const Cli& cli, const std::optional<std::string>& dev_address) {
    const MonoTime now = steady_now();
    if (!dev_address) return std::make_shared<DevFeeState>(std::nullopt, 1, now);
    const std::uint64_t p = cli.dev_fee_period_s;
    if (p < 100 || p % 100 != 0)
        return fail("--dev-fee-period-s {}: the period must be a multiple of {} s (dev window = period × {}/{} = {}% "
                    "exactly)",
                    p, 100, 1, 100, DEV_FEE_SHARE);
    // Beyond it the period's nanoseconds would wrap, and the accounting with
    // them: every turn in the dev session, or a switch loop that never ends.
    if (p > MAX_DEV_FEE_PERIOD_S)
        return fail("--dev-fee-period-s {}: the period must be at most {} s, the longest the dev-fee clock counts "
                    "(dev window = period × {}/{} = {}% exactly)",
                    p, MAX_DEV_FEE_PERIOD_S, 1, 100, DEV_FEE_SHARE);
    return std::make_shared<DevFeeState>(dev_address, p, now);
}

struct PoolPairs {
    std::shared_ptr<SessionClients> getwork = std::make_shared<SessionClients>();
    std::shared_ptr<SessionClients> submit = std::make_shared<SessionClients>();
};

PoolPairs pool_clients(const Cli& cli, const std::string& address, const std::string& worker,
                       const std::optional<std::string>& dev_address) {
    const std::chrono::milliseconds long_poll_timeout = getwork_timeout(cli.wait_ms), submit_timeout(10s);
    PoolPairs pairs;
    if (dev_address) {
        pairs.getwork->dev = pool_client_new(cli.pool, *dev_address, "dev", long_poll_timeout, true);
        pairs.submit->dev = pool_client_new(cli.pool, *dev_address, "dev", submit_timeout, true);
    }
    pairs.getwork->user = pool_client_new(cli.pool, address, worker, long_poll_timeout, false);
    pairs.submit->user = pool_client_new(cli.pool, address, worker, submit_timeout, false);
    return pairs;
}

void print_start_banner(const Cli& cli, KernelKind choice, const std::string& address, const std::string& worker,
                        const std::vector<int>& devices, const DevFeeState& devfee) {
    BannerInputs banner;
    banner.pool = masked_url(cli.pool);
    banner.address = address;
    banner.worker = worker;
    for (int d : devices) banner.gpu_labels.push_back(label_or_ordinal(d));
    banner.kernel = cli.kernel;
    banner.kernel_kind_name = std::string(kernel_name(chosen_or_energy(choice)));
    banner.no_autotune = cli.no_autotune;
    banner.build_description = std::string(BUILD_DESCRIPTION);
    banner.dev_fee = {devfee.dev_address.has_value(),
                      static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(devfee.window).count())};
    print_banner(banner);
}

// The cache key of a GPU: its label, PCI bus id and enforced power limit.
std::string cache_key(int device, const std::string& label) {
    const std::string bus_id = gpu_pci_bus_id(device).value_or(fmt::format("dev{}", device));
    std::uint32_t power = 0, limit = 0, clock = 0;
    const double watts = gpu_nvml_read(device, &power, &limit, &clock) == 0 ? static_cast<double>(limit) / 1000.0 : 0.0;
    return tune_cache_key(label, bus_id, watts);
}

// Step by step, each slot: replay, tuning, context.
Result<std::vector<GpuSlot>> prepare_gpus(const Cli& cli, const std::vector<int>& devices, KernelKind choice,
                                          const std::optional<std::vector<SelftestVector>>& vectors, TuneCache& cache,
                                          const StartupSeams& seams) {
    std::vector<GpuSlot> slots;
    const GeometryOverrides overrides = overrides_of(cli);
    const bool manual_geometry = cli.blocks || cli.threads || cli.iters || cli.no_autotune;
    const KernelKind base_kind = chosen_or_energy(choice);
    for (int d : devices) {
        const std::string label = label_or_ordinal(d);
        const Result<int> sms = gpu_sm_count(d);
        if (!sms) return fail(sms.error());
        const Result<LaunchGeometry> base = default_geometry(overrides, d, base_kind);
        if (!base) return fail(base.error());
        if (vectors)
            if (auto replayed = replay_vectors(d, *vectors, overrides, {seams.lines.out, seams.lines.err}); !replayed)
                return fail(replayed.error());

        AutotuneSeams tune;
        tune.lines = seams.lines;
        const TuningInputs in{d,           label,           *sms,        choice,         *base,
                              manual_geometry, cli.retune, cli.no_autotune, cache_key(d, label)};
        const Result<TuningDecision> decision = decide_tuning(in, cache, tune);
        if (!decision) return fail(decision.error());
        const Tuning& t = decision->record;
        if (t.threads == 0 || t.threads > gpu_max_threads(decision->kind, d))
            return fail("unsupported thread count for {}", t.variant);
        Result<GpuContext> gpu = gpu_open(d, cli.cap, decision->kind);
        if (!gpu) return fail(gpu.error());
        slots.push_back({std::move(*gpu), {t.blocks, t.threads, t.iters}});
    }
    return slots;
}

}  // namespace

bool internal_rig() {
    const char* value = std::getenv(std::string(INTERNAL_RIG_VARIABLE).c_str());
    return value != nullptr && std::string_view(value) == "1";
}

std::string worker_name(const std::optional<std::string>& option, const std::string& hostname_path) {
    if (option) return *option;
    const Result<std::string> text = read_text_file(hostname_path);
    if (!text) return "gpu";
    const std::string_view name = trim_white_space(*text);
    return name.empty() ? "gpu" : std::string(name);
}

Result<std::optional<std::string>> dev_fee_address(const Cli& cli, bool internal, std::string_view compiled_in) {
    if (cli.no_dev_fee) {
        if (internal) return std::optional<std::string>();
        return fail("--no-dev-fee is reserved for internal rigs ({}=1): the {}% (mining time) dev fee cannot be "
                    "disabled otherwise",
                    INTERNAL_RIG_VARIABLE, DEV_FEE_SHARE);
    }
    std::string_view candidate = compiled_in;
    if (cli.dev_address && !trim_white_space(*cli.dev_address).empty()) candidate = trim_white_space(*cli.dev_address);
    candidate = trim_white_space(candidate);
    if (candidate.empty() || candidate == DEV_ADDRESS_PLACEHOLDER)
        return fail("dev address not configured (DEV_ADDRESS = « {} »): rebuild with the final Quantus address in "
                    "src/devfee, or pass it with --dev-address <SS58>",
                    DEV_ADDRESS_PLACEHOLDER);
    return std::optional<std::string>(candidate);
}

Result<void> check_signed_jobs_key(const Cli& cli, std::string_view compiled_in) {
    if (cli.require_signed_jobs && compiled_in == POOL_PUBLIC_KEY_PLACEHOLDER)
        return fail("pool key not configured (POOL_PUBLIC_KEY = « {} »): --require-signed-jobs needs the pool "
                    "operator's Ed25519 public key: rebuild with -DOVIK_POOL_PUBLIC_KEY=<64 hex digits>",
                    POOL_PUBLIC_KEY_PLACEHOLDER);
    return {};
}

// A signal handler's text, built without allocating or formatting.
class SignalLine {
public:
    SignalLine& operator<<(std::string_view text) {
        const std::size_t room = sizeof text_ - length_;
        const std::size_t taken = text.size() < room ? text.size() : room;
        std::memcpy(text_ + length_, text.data(), taken);
        length_ += taken;
        return *this;
    }
    SignalLine& operator<<(std::uint64_t value) {
        char digits[20];
        std::size_t first = sizeof digits;
        do {
            digits[--first] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0);
        return *this << std::string_view(digits + first, sizeof digits - first);
    }
    void write() const { [[maybe_unused]] const ssize_t written = ::write(STDOUT_FILENO, text_, length_); }

private:
    char text_[256];
    std::size_t length_ = 0;
};

void on_signal(int) {
    const unsigned signals = STOP_SIGNALS.fetch_add(1) + 1;
    SHUTDOWN_REQUESTED.exchange(true);
    if (signals >= 2 && STARTING_UP.load()) {
        // Only async-signal-safe calls here: the writes, then the exit, with
        // nothing saved of a tune cut off half-way.
        (SignalLine() << "stop requested twice during the start-up — exiting now\n").write();
        // 0 says every vector was checked: never for a self-test cut short.
        if (!SELFTEST_PROGRESS.unfinished.load()) ::_exit(0);
        (SignalLine() << "selftest interrupted: " << SELFTEST_PROGRESS.vectors_checked.load()
                      << " vectors checked (GPU/kernel runs passed: " << SELFTEST_PROGRESS.runs_passed.load()
                      << "), not every one — exiting with status 1\n")
            .write();
        ::_exit(1);
    }
}

Result<ShutdownEnd> run(const Cli& cli, const StartupSeams& seams) {
    if (cli.cpu_spin) setenv("VEZEZIRUZ_CPU_SPIN", "1", 1);
    // SIGHUP (the terminal closed) stops the miner as SIGTERM does. SIGPIPE
    // (standard output's reader gone) is ignored: a console write that fails
    // is not fatal, and mining goes on.
    for (const int stop : {SIGINT, SIGTERM, SIGHUP}) std::signal(stop, on_signal);
    std::signal(SIGPIPE, SIG_IGN);
    if (auto checked = check_geometry_options(cli); !checked) return fail(checked.error());
    const Result<KernelKind> choice = kernel_choice(cli);
    if (!choice) return fail(choice.error());
    const Result<std::vector<int>> devices = device_list(cli);
    if (!devices) return fail(devices.error());
    if (auto described = describe_gpus(*devices, *choice, seams.lines); !described) return fail(described.error());

    const SelftestOutput selftest_output{seams.lines.out, seams.lines.err};
    const GeometryOverrides overrides = overrides_of(cli);
    if (cli.selftest) {
        if (auto tested = run_selftest_mode(*cli.selftest, *devices, *choice, overrides, selftest_output); !tested)
            return fail(tested.error());
        return ShutdownEnd{};
    }
    if (auto validated = validate_fast86(*devices, *choice, overrides, selftest_output); !validated)
        return fail(validated.error());

    if (!cli.address) return fail("--address required (Quantus SS58 address)");
    const std::string& address = *cli.address;
    const std::string worker = worker_name(cli.worker, seams.hostname_path);
    const Result<std::optional<std::string>> dev_address = dev_fee_address(cli, internal_rig(), DEV_ADDRESS);
    if (!dev_address) return fail(dev_address.error());
    if (auto keyed = check_signed_jobs_key(cli, POOL_PUBLIC_KEY); !keyed) return fail(keyed.error());
    ACCEPT_UNSIGNED_JOBS = !cli.require_signed_jobs;
    if (cli.require_signed_jobs)
        seams.lines.out("[pool] signed jobs required: only OvikPool-signed jobs will be mined (--require-signed-jobs)");
    Result<std::shared_ptr<DevFeeState>> devfee = dev_fee_state(cli, *dev_address);
    if (!devfee) return fail(devfee.error());
    const PoolPairs pairs = pool_clients(cli, address, worker, *dev_address);
    print_start_banner(cli, *choice, address, worker, *devices, **devfee);

    std::optional<std::vector<SelftestVector>> vectors;
    if (cli.vectors) {
        Result<std::vector<SelftestVector>> loaded = load_vector_file(*cli.vectors);
        if (!loaded) return fail(loaded.error());
        vectors = std::move(*loaded);
    }
    TuneCache cache = tune_cache_load(tune_cache_path());
    Result<std::vector<GpuSlot>> slots = prepare_gpus(cli, *devices, *choice, vectors, cache, seams);
    if (!slots) return fail(slots.error());
    if (cache.changed)
        if (auto saved = tune_cache_save(cache); !saved)
            seams.lines.out(fmt::format("[tune] cache not saved: {}", saved.error()));

    MinerSeams miner_seams;
    miner_seams.lines = seams.lines;
    // From here on a second signal is the shutdown's to handle.
    STARTING_UP.store(false);
    MinerThreads miner = start_miner_threads(cli, std::move(*slots), *devfee, pairs.getwork, pairs.submit,
                                             miner_seams);
    MainLoopSeams loop;
    loop.lines = seams.lines;
    return run_main_loop(miner, cli.stats_every, loop);
}

int process_main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // line-buffered even into a pipe
    const Cli cli = cli_parse(argc, argv);
    const auto print_error = [](const Error& error) {
        std::fflush(stdout);
        std::fputs(fmt::format("error: {:#}\n", error).c_str(), stderr);
    };
    const Result<ShutdownEnd> r = run(cli);
    if (!r) {
        print_error(r.error());
        return 1;
    }
    if (r->start_failure) print_error(*r->start_failure);
    if (r->threads_left_running) {
        // A thread still running (a GPU worker held in a driver call) must not
        // meet the static destructors and exit handlers of a normal exit.
        std::fflush(stdout);
        std::fflush(stderr);
        std::_Exit(r->status);
    }
    return r->status;
}
