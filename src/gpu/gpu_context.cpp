#include "src/gpu/gpu_context.hpp"

#include <cassert>
#include <cstring>
#include <utility>

#include "cuda/modules.hpp"
#include "src/gpu/device.hpp"
#include "src/gpu/variant_limits.hpp"

namespace {

// The module a variant dispatches to.
const QtcModule& module_of(KernelKind kind) {
    const QtcModule* module = variant_module(kernel_variant(kind));
    assert(module != nullptr && "a context always holds one of the variants");
    return *module;
}

}  // namespace

GpuContext::GpuContext(GpuContext&& other) noexcept
    : ctx_(std::exchange(other.ctx_, nullptr)),
      device_(other.device_),
      cap_(other.cap_),
      kind_(other.kind_),
      module_(other.module_) {}

GpuContext& GpuContext::operator=(GpuContext&& other) noexcept {
    if (this != &other) {
        release();
        ctx_ = std::exchange(other.ctx_, nullptr);
        device_ = other.device_;
        cap_ = other.cap_;
        kind_ = other.kind_;
        module_ = other.module_;
    }
    return *this;
}

GpuContext::~GpuContext() { release(); }

void GpuContext::release() noexcept {
    if (ctx_ != nullptr) module_->ctx_destroy(std::exchange(ctx_, nullptr));
}

Result<GpuContext> gpu_open(int device, std::uint32_t capacity, KernelKind kind) {
    if (auto rule = check_capability(device, kind, RefusalWording::at_open); !rule) return fail(std::move(rule.error()));
    char text[256] = {};
    const QtcModule& module = module_of(kind);
    void* ctx = module.ctx_create(device, capacity, text, sizeof text);
    if (ctx == nullptr) return fail("GPU {} ({}): {}", device, kernel_name(kind), cstr_to_string(text));
    return GpuContext(ctx, device, capacity == 0 ? 256 : capacity, kind, module);
}

Result<void> gpu_check_rc(const GpuContext& gpu, int rc, std::string_view function) {
    if (rc == 0) return {};
    return fail("GPU {} [{}]: {}: {}", gpu.device(), kernel_name(gpu.kind()), function, gpu_last_error(gpu));
}

std::string gpu_last_error(const GpuContext& gpu) { return cstr_to_string(gpu.module().ctx_error(gpu.ctx())); }

Result<void> gpu_mine_launch(GpuContext& gpu, std::uint64_t first, std::uint32_t blocks, std::uint32_t threads,
                             std::uint32_t iters, std::uint32_t buf) {
    if (blocks == 0 || threads == 0 || iters == 0 || threads > gpu_max_threads(gpu.kind(), gpu.device()))
        return fail("invalid launch geometry for {}", kernel_name(gpu.kind()));
    const int rc = gpu.module().mine_launch(gpu.ctx(), first, blocks, threads, iters, buf);
    return gpu_check_rc(gpu, rc, "qtc_mine_launch");
}

Result<BatchResult> gpu_mine_collect(GpuContext& gpu, std::uint32_t buf) {
    BatchResult batch;
    batch.candidates.assign(gpu.cap(), 0);
    const int rc = gpu.module().mine_collect(gpu.ctx(), buf, batch.candidates.data(), &batch.count,
                                                      &batch.launched);
    if (auto checked = gpu_check_rc(gpu, rc, "qtc_mine_collect"); !checked) return fail(std::move(checked.error()));
    batch.candidates.resize(std::min<std::size_t>(batch.count, gpu.cap()));
    return batch;
}

Result<void> gpu_set_job(GpuContext& gpu, const Bytes32& header, const Bytes32& nonce_high, const Bytes32& nonce_base,
                         const Bytes64& target) {
    const int rc = gpu.module().set_job(gpu.ctx(), header.data(), nonce_high.data(), nonce_base.data(),
                                                 target.data());
    return gpu_check_rc(gpu, rc, "qtc_set_job");
}

Result<std::vector<std::uint8_t>> gpu_mine_check(GpuContext& gpu, std::span<const std::uint8_t> nonce_lo) {
    assert(nonce_lo.size() % 32 == 0 && "nonce low halves are 32 bytes each");
    const auto n = static_cast<std::uint32_t>(nonce_lo.size() / 32);
    std::vector<std::uint8_t> out(std::size_t{n} * 32, 0);
    const int rc = gpu.module().mine_check(gpu.ctx(), nonce_lo.data(), out.data(), n);
    if (auto checked = gpu_check_rc(gpu, rc, "qtc_mine_check"); !checked) return fail(std::move(checked.error()));
    return out;
}

Result<std::vector<std::uint8_t>> gpu_hash_full(GpuContext& gpu, std::span<const std::uint8_t> inputs) {
    assert(inputs.size() % 96 == 0 && "inputs are 96 bytes each");
    const auto n = static_cast<std::uint32_t>(inputs.size() / 96);
    std::vector<std::uint8_t> out(std::size_t{n} * 64, 0);
    const int rc = gpu.module().hash_full(gpu.ctx(), inputs.data(), out.data(), n);
    if (auto checked = gpu_check_rc(gpu, rc, "qtc_hash_full"); !checked) return fail(std::move(checked.error()));
    return out;
}

bool gpu_kernel_times(const GpuContext& gpu, double& busy_ms, double& wall_ms) {
    if (!kernel_variant(gpu.kind()).kernel_timing) return false;
    const QtcModule& module = gpu.module();
    assert(module.kernel_times != nullptr && "the module of a variant with kernel timing keeps its times");
    module.kernel_times(gpu.ctx(), &busy_ms, &wall_ms);
    return true;
}
