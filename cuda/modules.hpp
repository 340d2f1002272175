// The entry points of each kernel module, by name, for the GPU handle to
// dispatch through. A context is an opaque pointer here: the hb89 module
// keeps its own record layout, and a context is only ever handed back to
// the module that created it.
#pragma once

#include <cstdint>
#include <string_view>

struct QtcModule {
    const char* name;
    void* (*ctx_create)(int device, std::uint32_t cap, char* errbuf, int errlen);
    void (*ctx_destroy)(void* c);
    const char* (*ctx_error)(const void* c);
    int (*mine_launch)(void* c, std::uint64_t nonce_start, std::uint32_t blocks, std::uint32_t threads,
                       std::uint32_t iters, std::uint32_t buf);
    int (*mine_collect)(void* c, std::uint32_t buf, std::uint64_t* cands_out, std::uint32_t* count_out,
                        std::uint64_t* launched_out);
    // Null for a module without kernel timing (hb89).
    void (*kernel_times)(const void* c, double* busy_ms, double* wall_ms);
    int (*set_job)(void* c, const std::uint8_t* hdr, const std::uint8_t* nhi, const std::uint8_t* base32,
                   const std::uint8_t* tgt64);
    int (*mine_check)(void* c, const std::uint8_t* nlo32, std::uint8_t* h1_32, std::uint32_t n);
    int (*hash_full)(void* c, const std::uint8_t* in96, std::uint8_t* out64, std::uint32_t n);
    int (*max_threads)();
};

// The module at the place of its line in the module list
// (cuda/CMakeLists.txt), from 0; null past the list.
const QtcModule* qtc_module(int index);

// The module of that name, as the list names it; null for a name that
// names none.
const QtcModule* qtc_module_named(std::string_view name);

// The queries that need no context: the kernel-less source's device
// functions, which every module's copy forwards to, and its capability query.
struct QtcDeviceQueries {
    int (*device_count)(int* count);
    int (*device_describe)(int device, char* text, int len);
    const char* (*error_string)(int code);
    int (*sm_count)(int device, int* count);
    int (*pci_bus_id)(int device, char* text, int len);
    int (*nvml_read)(int device, std::uint32_t* power_mw, std::uint32_t* limit_mw, std::uint32_t* clock_mhz);
    int (*compute_capability)(int device, int* cc);
};
const QtcDeviceQueries& qtc_device_queries();

// Wraps the flat qtc_ functions of a module's namespace, whose contexts are
// of type Ctx, into a QtcModule.
#define QTC_MODULE_ENTRY(ns, Ctx, module_name, times)                                                             \
    QtcModule {                                                                                                   \
        module_name,                                                                                              \
            [](int device, std::uint32_t cap, char* errbuf, int errlen) -> void* {                                \
                return ns::qtc_ctx_create(device, cap, errbuf, errlen);                                           \
            },                                                                                                    \
            [](void* c) { ns::qtc_ctx_destroy(static_cast<Ctx*>(c)); },                                           \
            [](const void* c) { return ns::qtc_ctx_error(static_cast<const Ctx*>(c)); },                          \
            [](void* c, std::uint64_t start, std::uint32_t blocks, std::uint32_t threads, std::uint32_t iters,    \
               std::uint32_t buf) {                                                                               \
                return ns::qtc_mine_launch(static_cast<Ctx*>(c), start, blocks, threads, iters, buf);             \
            },                                                                                                    \
            [](void* c, std::uint32_t buf, std::uint64_t* cands, std::uint32_t* count, std::uint64_t* launched) { \
                return ns::qtc_mine_collect(static_cast<Ctx*>(c), buf, cands, count, launched);                   \
            },                                                                                                    \
            times,                                                                                                \
            [](void* c, const std::uint8_t* hdr, const std::uint8_t* nhi, const std::uint8_t* base,               \
               const std::uint8_t* tgt) { return ns::qtc_set_job(static_cast<Ctx*>(c), hdr, nhi, base, tgt); },   \
            [](void* c, const std::uint8_t* nlo, std::uint8_t* h1, std::uint32_t n) {                             \
                return ns::qtc_mine_check(static_cast<Ctx*>(c), nlo, h1, n);                                      \
            },                                                                                                    \
            [](void* c, const std::uint8_t* in, std::uint8_t* out, std::uint32_t n) {                             \
                return ns::qtc_hash_full(static_cast<Ctx*>(c), in, out, n);                                       \
            },                                                                                                    \
            [] { return ns::qtc_max_threads(); },                                                                 \
    }

#define QTC_MODULE_TIMES(ns, Ctx) \
    [](const void* c, double* busy, double* wall) { ns::qtc_kernel_times(static_cast<const Ctx*>(c), busy, wall); }
