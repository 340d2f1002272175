#include "sim/cuda_runtime.hpp"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "sim/env_list.hpp"
#include "sim/pci_bus_id.hpp"

using Clock = std::chrono::steady_clock;
using Operation = std::move_only_function<void()>;

// A FIFO of operations run in order by a thread of its own.
struct CUstream_st {
    CUstream_st(int device_, unsigned flags_) : device(device_), flags(flags_), worker([this] { run(); }) {}

    void enqueue(Operation op) {
        std::lock_guard lock(mutex);
        queue.push_back(std::move(op));
        ++enqueued;
        work.notify_one();
    }
    // Work enqueued so far; wait_for(ticket()) returns once it has all run.
    std::uint64_t ticket() {
        std::lock_guard lock(mutex);
        return enqueued;
    }
    void wait_for(std::uint64_t ticket) {
        std::unique_lock lock(mutex);
        done.wait(lock, [&] { return completed >= ticket; });
    }
    // Runs what is queued, then ends the worker.
    void stop() {
        {
            std::lock_guard lock(mutex);
            stopping = true;
            work.notify_one();
        }
        worker.join();
    }

    const int device;
    const unsigned flags;

private:
    void run() {
        for (;;) {
            Operation op;
            {
                std::unique_lock lock(mutex);
                work.wait(lock, [&] { return !queue.empty() || stopping; });
                if (queue.empty()) return;
                op = std::move(queue.front());
                queue.pop_front();
            }
            op();
            op = nullptr;
            std::lock_guard lock(mutex);
            ++completed;
            done.notify_all();
        }
    }

    std::mutex mutex;
    std::condition_variable work, done;
    std::deque<Operation> queue;
    std::uint64_t enqueued = 0, completed = 0;
    bool stopping = false;
    std::thread worker;  // last: starts once the rest is built
};

// Completion of an event's records: `recorded` counts cudaEventRecord
// calls; `done` is the highest record that its stream has reached.
struct CUevent_st {
    CUevent_st(int device_, unsigned flags_) : device(device_), flags(flags_) {}

    const int device;
    const unsigned flags;
    std::mutex mutex;
    std::condition_variable reached;
    std::uint64_t recorded = 0, done = 0;
    Clock::time_point time{};
};

namespace sim {

thread_local constinit ThreadCoordinates coordinates;

namespace {

thread_local int thread_device = 0;
thread_local cudaError_t last_error = cudaSuccess;

constexpr int MAX_THREADS_PER_BLOCK = 1024;
constexpr unsigned MAX_BLOCK_DIM[3] = {1024, 1024, 64};
constexpr unsigned MAX_GRID_DIM[3] = {0x7fffffffu, 65535, 65535};
constexpr std::size_t DEVICE_MEMORY = std::size_t{16} << 30;
constexpr std::size_t ALIGNMENT = 256;
constexpr unsigned char FRESH_MEMORY = 0xa5;  // what a new allocation holds

// ---- Devices ----------------------------------------------------------------

struct Device {
    std::string name;
    int multiprocessors = 0, major = 0, minor = 0;
    std::string bus_id;
    PciAddress pci{};
};

struct DeviceList {
    cudaError_t status = cudaSuccess;  // returned by every call when not success
    std::vector<Device> devices;
};

// What may stand around a field of the runtime's settings.
constexpr std::string_view BLANKS = " \t";

std::optional<int> int_at_least(std::string_view s, int least) {
    int value = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (ec != std::errc{} || end != s.data() + s.size() || value < least) return std::nullopt;
    return value;
}

// "name,multiprocessors,compute capability,bus id"; the name may hold commas.
std::optional<Device> parse_device(std::string_view entry) {
    std::string_view fields[3];
    for (int i = 2; i >= 0; --i) {
        const auto comma = entry.rfind(',');
        if (comma == std::string_view::npos) return std::nullopt;
        fields[i] = trim(entry.substr(comma + 1), BLANKS);
        entry = entry.substr(0, comma);
    }
    Device d;
    d.name = trim(entry, BLANKS);
    // No real device has no multiprocessor; the stand-in allows one, for the
    // tests of how the miner takes such a reading.
    const auto sms = int_at_least(fields[0], 0);
    const auto cc = int_at_least(fields[1], 1);
    const auto pci = parse_pci_bus_id(fields[2]);
    if (d.name.empty() || !sms || !cc || *cc < 10 || !pci) return std::nullopt;
    d.multiprocessors = *sms;
    d.major = *cc / 10;
    d.minor = *cc % 10;
    d.bus_id = fields[2];
    d.pci = *pci;
    return d;
}

DeviceList read_devices() {
    const char* text = std::getenv("VEZEZIRUZ_SIM_DEVICES");
    if (text == nullptr) text = "Simulated GPU,2,90,0000:01:00.0";
    DeviceList list;
    std::string_view rest = text;
    while (!rest.empty()) {
        const std::string_view entry = take_entry(rest);
        if (trim(entry, BLANKS).empty()) continue;
        auto device = parse_device(entry);
        if (!device || list.devices.size() == MAX_DEVICES) {
            std::fprintf(stderr, "sim: VEZEZIRUZ_SIM_DEVICES: %s \"%.*s\"\n",
                         device ? "more devices than the stand-in holds at" : "malformed entry",
                         static_cast<int>(entry.size()), entry.data());
            return {cudaErrorInitializationError, {}};
        }
        list.devices.push_back(std::move(*device));
    }
    if (list.devices.empty()) list.status = cudaErrorNoDevice;
    return list;
}

// ---- Block pool ---------------------------------------------------------------

struct Grid {
    Grid(int device_, dim3 grid_, dim3 block_, std::function<void()> body_)
        : device(device_), grid(grid_), block(block_), body(std::move(body_)),
          blocks(std::uint64_t{grid.x} * grid.y * grid.z) {}

    const int device;
    const dim3 grid, block;
    const std::function<void()> body;
    const std::uint64_t blocks;
    std::atomic<std::uint64_t> next{0};
    std::mutex mutex;
    std::condition_variable finished_cv;
    std::uint64_t finished = 0;
};

void run_block(const Grid& g, std::uint64_t index) {
    const dim3 block_idx(static_cast<unsigned>(index % g.grid.x), static_cast<unsigned>(index / g.grid.x % g.grid.y),
                         static_cast<unsigned>(index / (std::uint64_t{g.grid.x} * g.grid.y)));
    for (unsigned z = 0; z < g.block.z; ++z)
        for (unsigned y = 0; y < g.block.y; ++y)
            for (unsigned x = 0; x < g.block.x; ++x) {
                coordinates = {dim3(x, y, z), block_idx, g.block, g.grid};
                g.body();
            }
}

// Takes blocks of `g` until none is left.
void take_blocks(Grid& g) {
    thread_device = g.device;
    std::uint64_t ran = 0;
    for (;;) {
        const std::uint64_t index = g.next.fetch_add(1, std::memory_order_relaxed);
        if (index >= g.blocks) break;
        run_block(g, index);
        ++ran;
    }
    if (ran == 0) return;
    std::lock_guard lock(g.mutex);
    g.finished += ran;
    if (g.finished == g.blocks) g.finished_cv.notify_all();
}

// Threads, one per core, that help the stream worker running a grid.
class BlockPool {
public:
    void run(std::shared_ptr<Grid> g) {
        {
            std::lock_guard lock(mutex_);
            if (threads_.empty()) {
                const unsigned n = std::max(1u, std::thread::hardware_concurrency());
                for (unsigned i = 0; i < n; ++i) threads_.emplace_back([this] { serve(); });
            }
            grids_.push_back(g);
            available_.notify_all();
        }
        take_blocks(*g);
        {
            std::unique_lock lock(g->mutex);
            g->finished_cv.wait(lock, [&] { return g->finished == g->blocks; });
        }
        std::lock_guard lock(mutex_);
        if (const auto it = std::find(grids_.begin(), grids_.end(), g); it != grids_.end()) grids_.erase(it);
    }

private:
    void serve() {
        for (;;) {
            std::shared_ptr<Grid> g;
            {
                std::unique_lock lock(mutex_);
                available_.wait(lock, [&] { return !grids_.empty(); });
                g = grids_.front();
            }
            take_blocks(*g);
            std::lock_guard lock(mutex_);
            if (!grids_.empty() && grids_.front() == g) grids_.pop_front();
        }
    }

    std::mutex mutex_;
    std::condition_variable available_;
    std::deque<std::shared_ptr<Grid>> grids_;
    std::vector<std::thread> threads_;
};

// ---- Process-wide state ---------------------------------------------------------

// A failure, or with `hold` set a delay: the call waits that long, then
// runs as usual.
struct Fault {
    std::string function;
    int remaining;
    cudaError_t error;
    std::chrono::milliseconds hold{0};
};

constexpr std::string_view HOLD_PREFIX = "hold=";

// Parses "function@n:code" and "function@n:hold=ms" entries separated by
// ";"; nullopt when one is malformed or there is none.
std::optional<std::vector<Fault>> parse_faults(std::string_view text) {
    std::vector<Fault> parsed;
    while (!text.empty()) {
        const std::string_view entry = trim(take_entry(text), BLANKS);
        if (entry.empty()) continue;
        const std::size_t at = entry.find('@');
        const std::size_t colon = at == std::string_view::npos ? at : entry.find(':', at);
        if (at == 0 || colon == std::string_view::npos) return std::nullopt;
        const auto nth = int_at_least(entry.substr(at + 1, colon - at - 1), 1);
        if (!nth) return std::nullopt;
        std::string_view what = entry.substr(colon + 1);
        if (what.starts_with(HOLD_PREFIX)) {
            const auto ms = int_at_least(what.substr(HOLD_PREFIX.size()), 1);
            if (!ms) return std::nullopt;
            parsed.push_back({std::string(entry.substr(0, at)), *nth, cudaSuccess, std::chrono::milliseconds(*ms)});
            continue;
        }
        const auto code = int_at_least(what, 1);
        if (!code) return std::nullopt;
        parsed.push_back({std::string(entry.substr(0, at)), *nth, static_cast<cudaError_t>(*code)});
    }
    if (parsed.empty()) return std::nullopt;
    return parsed;
}

// A device-to-host copy whose delivery gets one bit flipped.
struct Corruption {
    std::size_t count;
    int remaining;
    std::size_t byte;
};

struct Allocation {
    std::size_t size;
    int device;
};

struct Runtime {
    std::mutex devices_mutex;
    std::optional<DeviceList> devices;

    std::mutex objects_mutex;
    std::unordered_map<CUstream_st*, std::shared_ptr<CUstream_st>> streams;
    std::shared_ptr<CUstream_st> null_streams[MAX_DEVICES];
    std::unordered_map<CUevent_st*, std::shared_ptr<CUevent_st>> events;

    std::mutex memory_mutex;
    std::map<std::uintptr_t, Allocation> device_memory;
    std::size_t device_bytes[MAX_DEVICES] = {};
    std::unordered_set<void*> host_memory;

    std::mutex faults_mutex;
    std::vector<Fault> faults;
    std::vector<Corruption> corruptions;
    std::atomic<bool> faults_armed{false};

    BlockPool pool;
};

// The faults of VEZEZIRUZ_SIM_FAIL, armed when the runtime first initialises.
void arm_faults_from_environment(Runtime& r) {
    const char* text = std::getenv("VEZEZIRUZ_SIM_FAIL");
    if (text == nullptr) return;
    if (auto faults = parse_faults(text)) {
        r.faults = std::move(*faults);
        return;
    }
    std::fprintf(stderr, "sim: VEZEZIRUZ_SIM_FAIL: malformed \"%s\", no fault armed\n", text);
}

// Never destroyed: stream and pool threads may still run at exit.
Runtime& rt() {
    static Runtime* const runtime = [] {
        auto* r = new Runtime;
        arm_faults_from_environment(*r);
        r->faults_armed.store(!r->faults.empty(), std::memory_order_release);
        return r;
    }();
    return *runtime;
}

const DeviceList& devices_locked(Runtime& r) {
    if (!r.devices) r.devices = read_devices();
    return *r.devices;
}

cudaError_t device_status() {
    Runtime& r = rt();
    std::lock_guard lock(r.devices_mutex);
    return devices_locked(r).status;
}

// The device, or 101 for an ordinal that names none.
cudaError_t find_device(int ordinal, Device& out) {
    Runtime& r = rt();
    std::lock_guard lock(r.devices_mutex);
    const auto& list = devices_locked(r).devices;
    if (ordinal < 0 || static_cast<std::size_t>(ordinal) >= list.size()) return cudaErrorInvalidDevice;
    out = list[static_cast<std::size_t>(ordinal)];
    return cudaSuccess;
}

// A hold that comes due is waited out here, without the lock, before the
// call goes on (or fails, when a failure comes due with it).
bool take_fault(std::string_view function, cudaError_t& error) {
    Runtime& r = rt();
    if (!r.faults_armed.load(std::memory_order_acquire)) return false;
    bool hit = false;
    std::chrono::milliseconds hold{0};
    {
        std::lock_guard lock(r.faults_mutex);
        for (auto it = r.faults.begin(); it != r.faults.end();) {
            if (it->function == function && --it->remaining <= 0) {
                if (it->hold.count() > 0) {
                    hold = std::max(hold, it->hold);
                } else {
                    if (!hit) error = it->error;
                    hit = true;
                }
                it = r.faults.erase(it);
            } else {
                ++it;
            }
        }
        r.faults_armed.store(!r.faults.empty() || !r.corruptions.empty(), std::memory_order_release);
    }
    if (hold.count() > 0) std::this_thread::sleep_for(hold);
    return hit;
}

// The byte to flip in a device-to-host copy of `count` bytes, if a test
// asked for this one.
std::optional<std::size_t> take_corruption(std::size_t count) {
    Runtime& r = rt();
    if (!r.faults_armed.load(std::memory_order_acquire)) return std::nullopt;
    std::lock_guard lock(r.faults_mutex);
    std::optional<std::size_t> byte;
    for (auto it = r.corruptions.begin(); it != r.corruptions.end();) {
        if (it->count == count && --it->remaining <= 0) {
            if (!byte) byte = it->byte;
            it = r.corruptions.erase(it);
        } else {
            ++it;
        }
    }
    r.faults_armed.store(!r.faults.empty() || !r.corruptions.empty(), std::memory_order_release);
    return byte;
}

cudaError_t set_last(cudaError_t error) {
    if (error != cudaSuccess) last_error = error;
    return error;
}

// Every runtime call: an armed fault, then the device list, then the call.
template <typename Body>
cudaError_t call(std::string_view function, Body&& body) {
    if (cudaError_t error; take_fault(function, error)) return set_last(error);
    if (const cudaError_t status = device_status(); status != cudaSuccess) return set_last(status);
    return set_last(body());
}

// ---- Streams and events -----------------------------------------------------------

cudaError_t resolve_stream(cudaStream_t handle, std::shared_ptr<CUstream_st>& out) {
    Runtime& r = rt();
    std::lock_guard lock(r.objects_mutex);
    if (handle == nullptr) {
        auto& null_stream = r.null_streams[thread_device];
        if (!null_stream) null_stream = std::make_shared<CUstream_st>(thread_device, 0u);
        out = null_stream;
        return cudaSuccess;
    }
    const auto it = r.streams.find(handle);
    if (it == r.streams.end()) return cudaErrorInvalidResourceHandle;
    out = it->second;
    return cudaSuccess;
}

cudaError_t resolve_event(cudaEvent_t handle, std::shared_ptr<CUevent_st>& out) {
    Runtime& r = rt();
    std::lock_guard lock(r.objects_mutex);
    const auto it = r.events.find(handle);
    if (it == r.events.end()) return cudaErrorInvalidResourceHandle;
    out = it->second;
    return cudaSuccess;
}

// Waits for the work enqueued so far on every stream of `device` (all
// devices for -1).
void synchronize_streams(int device) {
    Runtime& r = rt();
    std::vector<std::pair<std::shared_ptr<CUstream_st>, std::uint64_t>> waits;
    {
        std::lock_guard lock(r.objects_mutex);
        auto add = [&](const std::shared_ptr<CUstream_st>& s) {
            if (s && (device < 0 || s->device == device)) waits.emplace_back(s, s->ticket());
        };
        for (const auto& [handle, stream] : r.streams) add(stream);
        for (const auto& stream : r.null_streams) add(stream);
    }
    for (auto& [stream, ticket] : waits) stream->wait_for(ticket);
}

cudaError_t create_event(cudaEvent_t* event, unsigned flags) {
    if (event == nullptr || (flags & ~(cudaEventBlockingSync | cudaEventDisableTiming)) != 0)
        return cudaErrorInvalidValue;
    auto e = std::make_shared<CUevent_st>(thread_device, flags);
    Runtime& r = rt();
    std::lock_guard lock(r.objects_mutex);
    r.events.emplace(e.get(), e);
    *event = e.get();
    return cudaSuccess;
}

// ---- Memory ---------------------------------------------------------------------

// The start and size of the device allocation that holds `p`, if one does.
std::optional<std::pair<std::uintptr_t, std::size_t>> allocation_at(const void* p) {
    Runtime& r = rt();
    const auto address = reinterpret_cast<std::uintptr_t>(p);
    std::lock_guard lock(r.memory_mutex);
    auto it = r.device_memory.upper_bound(address);
    if (it == r.device_memory.begin()) return std::nullopt;
    --it;
    if (address - it->first >= it->second.size) return std::nullopt;
    return std::pair{it->first, it->second.size};
}

// Whether [p, p + count) lies inside one device allocation.
bool in_device_memory(const void* p, std::size_t count) {
    const auto a = allocation_at(p);
    return a && count <= a->second - (reinterpret_cast<std::uintptr_t>(p) - a->first);
}

void* allocate(std::size_t size) {
    void* p = std::aligned_alloc(ALIGNMENT, (size + ALIGNMENT - 1) / ALIGNMENT * ALIGNMENT);
    if (p != nullptr) std::memset(p, FRESH_MEMORY, size);
    return p;
}

cudaError_t check_copy(void* dst, const void* src, std::size_t count, cudaMemcpyKind kind) {
    if (kind < cudaMemcpyHostToHost || kind > cudaMemcpyDefault) return cudaErrorInvalidMemcpyDirection;
    if (count == 0) return cudaSuccess;
    if (dst == nullptr || src == nullptr) return cudaErrorInvalidValue;
    const bool device_dst = kind == cudaMemcpyHostToDevice || kind == cudaMemcpyDeviceToDevice;
    const bool device_src = kind == cudaMemcpyDeviceToHost || kind == cudaMemcpyDeviceToDevice;
    if (device_dst && !in_device_memory(dst, count)) return cudaErrorInvalidValue;
    if (device_src && !in_device_memory(src, count)) return cudaErrorInvalidValue;
    return cudaSuccess;
}

// A copy whose source is host memory. The runtime stages such a source
// before the call returns (so the caller may reuse it at once, as the host
// layer does with a block on its stack); the stand-in stages every one.
bool from_host_memory(const void* src, std::size_t count, cudaMemcpyKind kind) {
    if (kind == cudaMemcpyHostToDevice || kind == cudaMemcpyHostToHost) return true;
    return kind == cudaMemcpyDefault && !in_device_memory(src, count);
}

// The work of one copy, with a host source copied aside now.
std::function<void()> copy_work(void* dst, const void* src, std::size_t count, cudaMemcpyKind kind) {
    if (from_host_memory(src, count, kind)) {
        auto staged = std::make_shared<std::vector<unsigned char>>(static_cast<const unsigned char*>(src),
                                                                   static_cast<const unsigned char*>(src) + count);
        return [dst, staged] { std::memcpy(dst, staged->data(), staged->size()); };
    }
    return [dst, src, count] { std::memcpy(dst, src, count); };
}

cudaError_t enqueue_copy(void* dst, const void* src, std::size_t count, cudaMemcpyKind kind, cudaStream_t stream,
                         bool wait) {
    if (const cudaError_t error = check_copy(dst, src, count, kind); error != cudaSuccess) return error;
    std::shared_ptr<CUstream_st> s;
    if (const cudaError_t error = resolve_stream(stream, s); error != cudaSuccess) return error;
    if (count == 0) return cudaSuccess;
    std::function<void()> work = copy_work(dst, src, count, kind);
    const bool to_host = kind == cudaMemcpyDeviceToHost || (kind == cudaMemcpyDefault && !in_device_memory(dst, count));
    if (const auto byte = to_host ? take_corruption(count) : std::nullopt; byte && *byte < count) {
        work = [work = std::move(work), flipped = static_cast<unsigned char*>(dst) + *byte] {
            work();
            *flipped ^= 1;
        };
    }
    s->enqueue(std::move(work));
    if (wait) s->wait_for(s->ticket());
    return cudaSuccess;
}

}  // namespace

// ---- sim:: ------------------------------------------------------------------------

int current_device() { return thread_device; }

cudaError_t memcpy_to_symbol_async(void* device_copy, std::size_t symbol_size, const void* src, std::size_t count,
                                   std::size_t offset, cudaStream_t stream) {
    return memcpy_to_symbol_async(device_copy, symbol_size, src, count, offset, cudaMemcpyHostToDevice, stream);
}

cudaError_t memcpy_to_symbol_async(void* device_copy, std::size_t symbol_size, const void* src, std::size_t count,
                                   std::size_t offset, cudaMemcpyKind kind, cudaStream_t stream) {
    return call("cudaMemcpyToSymbolAsync", [&] {
        if (kind != cudaMemcpyHostToDevice && kind != cudaMemcpyDeviceToDevice && kind != cudaMemcpyDefault)
            return cudaErrorInvalidMemcpyDirection;
        if (device_copy == nullptr || offset > symbol_size || count > symbol_size - offset)
            return cudaErrorInvalidValue;
        if (count > 0 && (src == nullptr || (kind == cudaMemcpyDeviceToDevice && !in_device_memory(src, count))))
            return cudaErrorInvalidValue;
        std::shared_ptr<CUstream_st> s;
        if (const cudaError_t error = resolve_stream(stream, s); error != cudaSuccess) return error;
        if (count > 0) {
            void* dst = static_cast<unsigned char*>(device_copy) + offset;
            s->enqueue(copy_work(dst, src, count, kind));
        }
        return cudaSuccess;
    });
}

void launch(const char* /*kernel_name*/, unsigned launch_bound, dim3 grid, dim3 block, cudaStream_t stream,
            std::function<void()> body) {
    call("launch", [&] {
        const unsigned grid_dims[3] = {grid.x, grid.y, grid.z};
        const unsigned block_dims[3] = {block.x, block.y, block.z};
        for (int i = 0; i < 3; ++i) {
            if (grid_dims[i] == 0 || grid_dims[i] > MAX_GRID_DIM[i]) return cudaErrorInvalidConfiguration;
            if (block_dims[i] == 0 || block_dims[i] > MAX_BLOCK_DIM[i]) return cudaErrorInvalidConfiguration;
        }
        const std::uint64_t threads = std::uint64_t{block.x} * block.y * block.z;
        if (threads > MAX_THREADS_PER_BLOCK || (launch_bound != 0 && threads > launch_bound))
            return cudaErrorInvalidConfiguration;
        std::shared_ptr<CUstream_st> s;
        if (const cudaError_t error = resolve_stream(stream, s); error != cudaSuccess) return error;
        if (s->device != thread_device) return cudaErrorInvalidResourceHandle;
        auto g = std::make_shared<Grid>(thread_device, grid, block, std::move(body));
        s->enqueue([g = std::move(g)] { rt().pool.run(g); });
        return cudaSuccess;
    });
}

void fail_call(const std::string& function, int nth, cudaError_t error) {
    Runtime& r = rt();
    std::lock_guard lock(r.faults_mutex);
    r.faults.push_back({function, std::max(nth, 1), error});
    r.faults_armed.store(true, std::memory_order_release);
}

void hold_call(const std::string& function, int nth, std::chrono::milliseconds hold) {
    Runtime& r = rt();
    std::lock_guard lock(r.faults_mutex);
    r.faults.push_back({function, std::max(nth, 1), cudaSuccess, std::max(hold, std::chrono::milliseconds(1))});
    r.faults_armed.store(true, std::memory_order_release);
}

bool fail_calls(std::string_view text) {
    std::optional<std::vector<Fault>> faults = parse_faults(text);
    if (!faults) return false;
    Runtime& r = rt();
    std::lock_guard lock(r.faults_mutex);
    r.faults.insert(r.faults.end(), faults->begin(), faults->end());
    r.faults_armed.store(true, std::memory_order_release);
    return true;
}

void corrupt_copy_to_host(std::size_t count, int nth, std::size_t byte) {
    Runtime& r = rt();
    std::lock_guard lock(r.faults_mutex);
    r.corruptions.push_back({count, std::max(nth, 1), byte});
    r.faults_armed.store(true, std::memory_order_release);
}

void clear_faults() {
    Runtime& r = rt();
    std::lock_guard lock(r.faults_mutex);
    r.faults.clear();
    r.corruptions.clear();
    r.faults_armed.store(false, std::memory_order_release);
}

AllocationRange allocation_holding(const void* p) {
    const auto a = allocation_at(p);
    if (!a) return {nullptr, 0};
    return {reinterpret_cast<const void*>(a->first), a->second};
}

LiveObjects live_objects() {
    Runtime& r = rt();
    LiveObjects live{};
    {
        std::lock_guard lock(r.objects_mutex);
        live.streams = r.streams.size();
        live.events = r.events.size();
    }
    std::lock_guard lock(r.memory_mutex);
    live.device_allocations = r.device_memory.size();
    live.host_allocations = r.host_memory.size();
    return live;
}

void reload_devices() {
    Runtime& r = rt();
    std::lock_guard lock(r.devices_mutex);
    r.devices = read_devices();
}

}  // namespace sim

// ---- The runtime functions ------------------------------------------------------------

using sim::call;
using sim::thread_device;

const char* cudaGetErrorString(cudaError_t error) {
    switch (error) {
        case cudaSuccess: return "no error";
        case cudaErrorInvalidValue: return "invalid argument";
        case cudaErrorMemoryAllocation: return "out of memory";
        case cudaErrorInitializationError: return "initialization error";
        case cudaErrorInvalidConfiguration: return "invalid configuration argument";
        case cudaErrorInvalidDevicePointer: return "invalid device pointer";
        case cudaErrorInvalidMemcpyDirection: return "invalid copy direction for memcpy";
        case cudaErrorInsufficientDriver: return "CUDA driver version is insufficient for CUDA runtime version";
        case cudaErrorNoDevice: return "no CUDA-capable device is detected";
        case cudaErrorInvalidDevice: return "invalid device ordinal";
        case cudaErrorInvalidResourceHandle: return "invalid resource handle";
        case cudaErrorNotReady: return "device not ready";
        case cudaErrorLaunchOutOfResources: return "too many resources requested for launch";
        case cudaErrorLaunchFailure: return "unspecified launch failure";
        case cudaErrorUnknown: return "unknown error";
    }
    return "unrecognized error code";
}

// A fault here is returned as it is; the thread's last error stays.
cudaError_t cudaGetLastError() {
    if (cudaError_t error; sim::take_fault("cudaGetLastError", error)) return error;
    return std::exchange(sim::last_error, cudaSuccess);
}

cudaError_t cudaPeekAtLastError() {
    if (cudaError_t error; sim::take_fault("cudaPeekAtLastError", error)) return error;
    return sim::last_error;
}

cudaError_t cudaGetDeviceCount(int* count) {
    if (cudaError_t error; sim::take_fault("cudaGetDeviceCount", error)) return sim::set_last(error);
    if (count == nullptr) return sim::set_last(cudaErrorInvalidValue);
    sim::Runtime& r = sim::rt();
    std::lock_guard lock(r.devices_mutex);
    const auto& list = sim::devices_locked(r);
    *count = static_cast<int>(list.devices.size());
    return sim::set_last(list.status);
}

cudaError_t cudaSetDevice(int device) {
    return call("cudaSetDevice", [&] {
        sim::Device d;
        if (const cudaError_t error = sim::find_device(device, d); error != cudaSuccess) return error;
        thread_device = device;
        return cudaSuccess;
    });
}

cudaError_t cudaGetDevice(int* device) {
    return call("cudaGetDevice", [&] {
        if (device == nullptr) return cudaErrorInvalidValue;
        *device = thread_device;
        return cudaSuccess;
    });
}

cudaError_t cudaSetDeviceFlags(unsigned flags) {
    return call("cudaSetDeviceFlags", [&] {
        // One of auto (0), spin (1), yield (2), blocking sync (4); how a
        // thread waits is not observable here.
        const bool schedule = flags == 0 || flags == 1 || flags == 2 || flags == cudaDeviceScheduleBlockingSync;
        return schedule ? cudaSuccess : cudaErrorInvalidValue;
    });
}

cudaError_t cudaGetDeviceProperties(cudaDeviceProp* prop, int device) {
    return call("cudaGetDeviceProperties", [&] {
        if (prop == nullptr) return cudaErrorInvalidValue;
        sim::Device d;
        if (const cudaError_t error = sim::find_device(device, d); error != cudaSuccess) return error;
        *prop = cudaDeviceProp{};
        std::snprintf(prop->name, sizeof prop->name, "%s", d.name.c_str());
        prop->multiProcessorCount = d.multiprocessors;
        prop->major = d.major;
        prop->minor = d.minor;
        prop->maxThreadsPerBlock = sim::MAX_THREADS_PER_BLOCK;
        prop->totalGlobalMem = sim::DEVICE_MEMORY;
        prop->pciBusID = static_cast<int>(d.pci.bus);
        prop->pciDeviceID = static_cast<int>(d.pci.device);
        prop->pciDomainID = static_cast<int>(d.pci.domain);
        return cudaSuccess;
    });
}

cudaError_t cudaDeviceGetAttribute(int* value, cudaDeviceAttr attr, int device) {
    return call("cudaDeviceGetAttribute", [&] {
        if (value == nullptr) return cudaErrorInvalidValue;
        sim::Device d;
        if (const cudaError_t error = sim::find_device(device, d); error != cudaSuccess) return error;
        switch (attr) {
            case cudaDevAttrMaxThreadsPerBlock: *value = sim::MAX_THREADS_PER_BLOCK; return cudaSuccess;
            case cudaDevAttrMultiProcessorCount: *value = d.multiprocessors; return cudaSuccess;
            case cudaDevAttrComputeCapabilityMajor: *value = d.major; return cudaSuccess;
            case cudaDevAttrComputeCapabilityMinor: *value = d.minor; return cudaSuccess;
        }
        return cudaErrorInvalidValue;
    });
}

cudaError_t cudaDeviceGetPCIBusId(char* pci_bus_id, int len, int device) {
    return call("cudaDeviceGetPCIBusId", [&] {
        sim::Device d;
        if (const cudaError_t error = sim::find_device(device, d); error != cudaSuccess) return error;
        if (pci_bus_id == nullptr || len <= 0) return cudaErrorInvalidValue;
        const std::size_t n = std::min(d.bus_id.size(), static_cast<std::size_t>(len) - 1);
        std::memcpy(pci_bus_id, d.bus_id.data(), n);
        pci_bus_id[n] = '\0';
        return cudaSuccess;
    });
}

cudaError_t cudaDeviceSynchronize() {
    return call("cudaDeviceSynchronize", [&] {
        sim::synchronize_streams(thread_device);
        return cudaSuccess;
    });
}

cudaError_t cudaStreamCreateWithFlags(cudaStream_t* stream, unsigned flags) {
    return call("cudaStreamCreateWithFlags", [&] {
        if (stream == nullptr || (flags & ~cudaStreamNonBlocking) != 0) return cudaErrorInvalidValue;
        auto s = std::make_shared<CUstream_st>(thread_device, flags);
        sim::Runtime& r = sim::rt();
        std::lock_guard lock(r.objects_mutex);
        r.streams.emplace(s.get(), s);
        *stream = s.get();
        return cudaSuccess;
    });
}

cudaError_t cudaStreamDestroy(cudaStream_t stream) {
    return call("cudaStreamDestroy", [&] {
        std::shared_ptr<CUstream_st> s;
        {
            sim::Runtime& r = sim::rt();
            std::lock_guard lock(r.objects_mutex);
            const auto it = r.streams.find(stream);
            if (it == r.streams.end()) return cudaErrorInvalidResourceHandle;
            s = std::move(it->second);
            r.streams.erase(it);
        }
        s->stop();
        return cudaSuccess;
    });
}

cudaError_t cudaStreamSynchronize(cudaStream_t stream) {
    return call("cudaStreamSynchronize", [&] {
        std::shared_ptr<CUstream_st> s;
        if (const cudaError_t error = sim::resolve_stream(stream, s); error != cudaSuccess) return error;
        s->wait_for(s->ticket());
        return cudaSuccess;
    });
}

cudaError_t cudaMalloc(void** ptr, std::size_t size) {
    return call("cudaMalloc", [&] {
        if (ptr == nullptr) return cudaErrorInvalidValue;
        if (size == 0) {
            *ptr = nullptr;
            return cudaSuccess;
        }
        sim::Runtime& r = sim::rt();
        std::lock_guard lock(r.memory_mutex);
        std::size_t& used = r.device_bytes[thread_device];
        if (size > sim::DEVICE_MEMORY - used) return cudaErrorMemoryAllocation;
        void* p = sim::allocate(size);
        if (p == nullptr) return cudaErrorMemoryAllocation;
        r.device_memory.emplace(reinterpret_cast<std::uintptr_t>(p), sim::Allocation{size, thread_device});
        used += size;
        *ptr = p;
        return cudaSuccess;
    });
}

cudaError_t cudaFree(void* ptr) {
    return call("cudaFree", [&] {
        if (ptr == nullptr) return cudaSuccess;
        sim::Runtime& r = sim::rt();
        const auto address = reinterpret_cast<std::uintptr_t>(ptr);
        int device;
        {
            std::lock_guard lock(r.memory_mutex);
            const auto it = r.device_memory.find(address);
            if (it == r.device_memory.end()) return cudaErrorInvalidDevicePointer;
            device = it->second.device;
        }
        sim::synchronize_streams(device);
        {
            std::lock_guard lock(r.memory_mutex);
            const auto it = r.device_memory.find(address);
            if (it == r.device_memory.end()) return cudaErrorInvalidDevicePointer;
            r.device_bytes[device] -= it->second.size;
            r.device_memory.erase(it);
        }
        std::free(ptr);
        return cudaSuccess;
    });
}

cudaError_t cudaHostAlloc(void** ptr, std::size_t size, unsigned flags) {
    return call("cudaHostAlloc", [&] {
        // Portable (1), mapped (2) and write-combined (4) change nothing here.
        if (ptr == nullptr || (flags & ~7u) != 0) return cudaErrorInvalidValue;
        if (size == 0) {
            *ptr = nullptr;
            return cudaSuccess;
        }
        void* p = sim::allocate(size);
        if (p == nullptr) return cudaErrorMemoryAllocation;
        sim::Runtime& r = sim::rt();
        std::lock_guard lock(r.memory_mutex);
        r.host_memory.insert(p);
        *ptr = p;
        return cudaSuccess;
    });
}

cudaError_t cudaFreeHost(void* ptr) {
    return call("cudaFreeHost", [&] {
        if (ptr == nullptr) return cudaSuccess;
        sim::Runtime& r = sim::rt();
        {
            std::lock_guard lock(r.memory_mutex);
            if (!r.host_memory.contains(ptr)) return cudaErrorInvalidValue;
        }
        sim::synchronize_streams(-1);
        {
            std::lock_guard lock(r.memory_mutex);
            if (r.host_memory.erase(ptr) == 0) return cudaErrorInvalidValue;
        }
        std::free(ptr);
        return cudaSuccess;
    });
}

cudaError_t cudaMemsetAsync(void* dst, int value, std::size_t count, cudaStream_t stream) {
    return call("cudaMemsetAsync", [&] {
        if (count > 0 && !sim::in_device_memory(dst, count)) return cudaErrorInvalidValue;
        std::shared_ptr<CUstream_st> s;
        if (const cudaError_t error = sim::resolve_stream(stream, s); error != cudaSuccess) return error;
        if (count > 0) s->enqueue([=] { std::memset(dst, value, count); });
        return cudaSuccess;
    });
}

cudaError_t cudaMemcpyAsync(void* dst, const void* src, std::size_t count, cudaMemcpyKind kind, cudaStream_t stream) {
    return call("cudaMemcpyAsync", [&] { return sim::enqueue_copy(dst, src, count, kind, stream, false); });
}

cudaError_t cudaMemcpy(void* dst, const void* src, std::size_t count, cudaMemcpyKind kind) {
    return call("cudaMemcpy", [&] { return sim::enqueue_copy(dst, src, count, kind, nullptr, true); });
}

cudaError_t cudaEventCreate(cudaEvent_t* event) {
    return call("cudaEventCreate", [&] { return sim::create_event(event, cudaEventDefault); });
}

cudaError_t cudaEventCreateWithFlags(cudaEvent_t* event, unsigned flags) {
    return call("cudaEventCreateWithFlags", [&] { return sim::create_event(event, flags); });
}

cudaError_t cudaEventRecord(cudaEvent_t event, cudaStream_t stream) {
    return call("cudaEventRecord", [&] {
        std::shared_ptr<CUevent_st> e;
        std::shared_ptr<CUstream_st> s;
        if (const cudaError_t error = sim::resolve_event(event, e); error != cudaSuccess) return error;
        if (const cudaError_t error = sim::resolve_stream(stream, s); error != cudaSuccess) return error;
        if (e->device != s->device) return cudaErrorInvalidResourceHandle;
        std::uint64_t record;
        {
            std::lock_guard lock(e->mutex);
            record = ++e->recorded;
        }
        s->enqueue([e = std::move(e), record] {
            const Clock::time_point now = Clock::now();
            std::lock_guard lock(e->mutex);
            if (record > e->done) {
                e->done = record;
                e->time = now;
            }
            e->reached.notify_all();
        });
        return cudaSuccess;
    });
}

cudaError_t cudaEventSynchronize(cudaEvent_t event) {
    return call("cudaEventSynchronize", [&] {
        std::shared_ptr<CUevent_st> e;
        if (const cudaError_t error = sim::resolve_event(event, e); error != cudaSuccess) return error;
        std::unique_lock lock(e->mutex);
        const std::uint64_t record = e->recorded;
        e->reached.wait(lock, [&] { return e->done >= record; });
        return cudaSuccess;
    });
}

cudaError_t cudaEventElapsedTime(float* ms, cudaEvent_t start, cudaEvent_t end) {
    return call("cudaEventElapsedTime", [&] {
        if (ms == nullptr) return cudaErrorInvalidValue;
        std::shared_ptr<CUevent_st> events[2];
        if (const cudaError_t error = sim::resolve_event(start, events[0]); error != cudaSuccess) return error;
        if (const cudaError_t error = sim::resolve_event(end, events[1]); error != cudaSuccess) return error;
        if (events[0]->device != events[1]->device) return cudaErrorInvalidResourceHandle;
        Clock::time_point times[2];
        bool complete = true;
        for (int i = 0; i < 2; ++i) {
            CUevent_st& e = *events[i];
            std::lock_guard lock(e.mutex);
            if ((e.flags & cudaEventDisableTiming) != 0 || e.recorded == 0) return cudaErrorInvalidResourceHandle;
            complete = complete && e.done == e.recorded;
            times[i] = e.time;
        }
        if (!complete) return cudaErrorNotReady;
        *ms = std::chrono::duration<float, std::milli>(times[1] - times[0]).count();
        return cudaSuccess;
    });
}

cudaError_t cudaEventDestroy(cudaEvent_t event) {
    return call("cudaEventDestroy", [&] {
        sim::Runtime& r = sim::rt();
        std::lock_guard lock(r.objects_mutex);
        // A record still queued keeps its own reference.
        return r.events.erase(event) == 1 ? cudaSuccess : cudaErrorInvalidResourceHandle;
    });
}
