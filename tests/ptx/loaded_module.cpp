#include "tests/ptx/loaded_module.hpp"

#include <cstring>
#include <utility>
#include <vector>

#include "tests/ptx/interpreter/error.hpp"
#include "tests/ptx/interpreter/machine.hpp"
#include "tests/ptx/interpreter/parser.hpp"

namespace ptx_host {

sim::DeviceConstant<std::uint8_t, 64> c_tgt{};
sim::DeviceConstant<std::uint64_t, 12> c_mm{};

namespace {

LoadedModule* active = nullptr;

// The last name of an Itanium-mangled function name ("_ZN6qtcv_e6k_mineI…"
// gives "k_mine"), and what follows it.
std::pair<std::string_view, std::string_view> function_name(std::string_view mangled) {
    if (!mangled.starts_with("_Z")) return {};
    mangled.remove_prefix(2);
    const bool nested = mangled.starts_with("N");
    if (nested) mangled.remove_prefix(1);
    std::string_view last;
    while (!mangled.empty() && mangled[0] >= '0' && mangled[0] <= '9') {
        std::size_t length = 0;
        while (!mangled.empty() && mangled[0] >= '0' && mangled[0] <= '9') {
            length = length * 10 + static_cast<std::size_t>(mangled[0] - '0');
            mangled.remove_prefix(1);
        }
        if (length > mangled.size()) return {};
        last = mangled.substr(0, length);
        mangled.remove_prefix(length);
        if (!nested) break;
    }
    return {last, mangled};
}

// The symbol of a job constant: "c_tgt" at global scope, or mangled in a
// namespace ("_ZN6qtcv_e5c_tgtE").
const ptx::ConstSymbol* job_symbol(const ptx::Program& p, std::string_view name, std::uint32_t size) {
    for (const ptx::ConstSymbol& s : p.constants) {
        const bool named = s.name == name || (function_name(s.name).first == name && function_name(s.name).second == "E");
        if (named) {
            if (s.size != size) throw ptx::Error("constant " + s.name + " has " + std::to_string(s.size) + " bytes");
            return &s;
        }
    }
    throw ptx::Error("the PTX has no constant " + std::string(name));
}

}  // namespace

std::optional<KernelRole> role_of(std::string_view mangled) {
    const auto [name, rest] = function_name(mangled);
    if (name == "k_mine" && rest.starts_with("ILb0E")) return KernelRole::Mine;
    if (name == "k_mine" && rest.starts_with("ILb1E")) return KernelRole::Check;
    if (name == "k_midstate") return KernelRole::Midstate;
    if (name == "k_midstate_mm") return KernelRole::MidstateMm;
    if (name == "k_hash_full") return KernelRole::HashFull;
    return std::nullopt;
}

LoadedModule::LoadedModule(std::string_view ptx_text) : program_(ptx::parse(ptx_text)) {
    for (const ptx::Kernel& k : program_.kernels)
        if (const auto role = role_of(k.name)) kernels_[static_cast<int>(*role)] = &k;
    const char* names[] = {"k_mine<false>", "k_mine<true>", "k_midstate", "k_midstate_mm", "k_hash_full"};
    for (int i = 0; i < 5; ++i)
        if (kernels_[i] == nullptr) throw ptx::Error(std::string("the PTX has no kernel ") + names[i]);
    target_offset_ = job_symbol(program_, "c_tgt", 64)->offset;
    start_state_offset_ = job_symbol(program_, "c_mm", 96)->offset;
}

void LoadedModule::run_thread(KernelRole role, std::span<const ptx::Argument> arguments) {
    const ptx::Kernel& k = kernel(role);
    try {
        const std::vector<std::uint8_t> params = ptx::lay_out_params(k, arguments);
        // Each pointer argument opens the buffer it lies in; nothing else.
        std::vector<ptx::Buffer> buffers;
        for (const ptx::Argument& a : arguments) {
            if (!a.pointer) continue;
            const sim::AllocationRange range = sim::allocation_holding(reinterpret_cast<const void*>(a.address));
            if (range.start == nullptr) continue;
            const auto start = reinterpret_cast<std::uintptr_t>(range.start);
            buffers.push_back({start, start + range.size});
        }
        // The bank as the module image holds it, with the job's symbols as
        // the host layer last wrote them on this device.
        thread_local std::vector<std::uint8_t> bank;
        bank.assign(program_.constant_image.begin(), program_.constant_image.end());
        std::memcpy(bank.data() + target_offset_, c_tgt.data(), 64);
        std::memcpy(bank.data() + start_state_offset_, c_mm.data(), 96);

        const sim::ThreadCoordinates& at = sim::coordinates;
        ptx::ThreadPlace place;
        place.tid = {at.thread_idx.x, at.thread_idx.y, at.thread_idx.z};
        place.ntid = {at.block_dim.x, at.block_dim.y, at.block_dim.z};
        place.ctaid = {at.block_idx.x, at.block_idx.y, at.block_idx.z};
        place.nctaid = {at.grid_dim.x, at.grid_dim.y, at.grid_dim.z};
        if (window_) {
            place.ctaid.x += window_->first_block;
            place.nctaid.x = window_->full_grid;
        }
        const ptx::Memory memory{params, bank, buffers};
        executed_.fetch_add(ptx::run_thread(k, memory, place), std::memory_order_relaxed);
    } catch (const ptx::Error& e) {
        std::lock_guard lock(fault_mutex_);
        if (fault_.empty()) fault_ = e.what();
    }
}

std::string LoadedModule::take_fault() {
    std::lock_guard lock(fault_mutex_);
    return std::exchange(fault_, {});
}

void use(LoadedModule* module) { active = module; }

LoadedModule& active_module() {
    if (active == nullptr) throw ptx::Error("no PTX module in use");
    return *active;
}

}  // namespace ptx_host
