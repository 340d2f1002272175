// The flat qtc_ interface of one kernel module. Each module declares it in
// its own namespace with QTC_DECLARE_HOST_LAYER() and defines it with
// QTC_DEFINE_HOST_LAYER(Module, max_threads), where Module is its kernel
// policy for qtc_host::HostLayer. The hb89 module keeps the single-stream
// record and a smaller set, without qtc_sm_count, qtc_pci_bus_id,
// qtc_kernel_times and qtc_nvml_read: QTC_DECLARE_SINGLE_STREAM_HOST_LAYER()
// and QTC_DEFINE_SINGLE_STREAM_HOST_LAYER(Module, max_threads), over
// qtc_host::HostLayer with the qtc_host::OneStream policy.
#pragma once

#include <cstdint>

#include "cuda/common.hpp"
#include "cuda/host_layer.hpp"

// The functions every module carries, over its record type Ctx; defined over
// qtc_host::HostLayer<Module, Streams>.
#define QTC_DECLARE_COMMON_HOST_LAYER(Ctx)                                                                            \
    Ctx* qtc_ctx_create(int device, std::uint32_t cap, char* errbuf, int errlen);                                     \
    void qtc_ctx_destroy(Ctx* c);                                                                                     \
    const char* qtc_ctx_error(const Ctx* c);                                                                          \
    int qtc_mine_launch(Ctx* c, std::uint64_t nonce_start, std::uint32_t blocks, std::uint32_t threads,               \
                        std::uint32_t iters, std::uint32_t buf);                                                      \
    int qtc_mine_collect(Ctx* c, std::uint32_t buf, std::uint64_t* cands_out, std::uint32_t* count_out,               \
                         std::uint64_t* launched_out);                                                                \
    int qtc_set_job(Ctx* c, const std::uint8_t* hdr, const std::uint8_t* nhi, const std::uint8_t* base32,             \
                    const std::uint8_t* tgt64);                                                                       \
    int qtc_mine_check(Ctx* c, const std::uint8_t* nlo32, std::uint8_t* h1_32, std::uint32_t n);                      \
    int qtc_hash_full(Ctx* c, const std::uint8_t* in96, std::uint8_t* out64, std::uint32_t n);                        \
    int qtc_device_count(int* count);                                                                                 \
    int qtc_device_describe(int device, char* text, int len);                                                         \
    const char* qtc_error_string(int code);                                                                           \
    int qtc_max_threads();

#define QTC_DEFINE_COMMON_HOST_LAYER(Module, Streams, max_threads)                                                      \
    Streams::Ctx* qtc_ctx_create(int device, std::uint32_t cap, char* errbuf, int errlen) {                             \
        return ::qtc_host::HostLayer<Module, Streams>::ctx_create(device, cap, errbuf, errlen);                         \
    }                                                                                                                   \
    void qtc_ctx_destroy(Streams::Ctx* c) { ::qtc_host::HostLayer<Module, Streams>::ctx_destroy(c); }                   \
    const char* qtc_ctx_error(const Streams::Ctx* c) { return ::qtc_host::HostLayer<Module, Streams>::ctx_error(c); }   \
    int qtc_mine_launch(Streams::Ctx* c, std::uint64_t nonce_start, std::uint32_t blocks, std::uint32_t threads,        \
                        std::uint32_t iters, std::uint32_t buf) {                                                       \
        return ::qtc_host::HostLayer<Module, Streams>::mine_launch(c, nonce_start, blocks, threads, iters, buf);        \
    }                                                                                                                   \
    int qtc_mine_collect(Streams::Ctx* c, std::uint32_t buf, std::uint64_t* cands_out, std::uint32_t* count_out,        \
                         std::uint64_t* launched_out) {                                                                 \
        return ::qtc_host::HostLayer<Module, Streams>::mine_collect(c, buf, cands_out, count_out, launched_out);        \
    }                                                                                                                   \
    int qtc_set_job(Streams::Ctx* c, const std::uint8_t* hdr, const std::uint8_t* nhi, const std::uint8_t* base32,      \
                    const std::uint8_t* tgt64) {                                                                        \
        return ::qtc_host::HostLayer<Module, Streams>::set_job(c, hdr, nhi, base32, tgt64);                             \
    }                                                                                                                   \
    int qtc_mine_check(Streams::Ctx* c, const std::uint8_t* nlo32, std::uint8_t* h1_32, std::uint32_t n) {              \
        return ::qtc_host::HostLayer<Module, Streams>::mine_check(c, nlo32, h1_32, n);                                  \
    }                                                                                                                   \
    int qtc_hash_full(Streams::Ctx* c, const std::uint8_t* in96, std::uint8_t* out64, std::uint32_t n) {                \
        return ::qtc_host::HostLayer<Module, Streams>::hash_full(c, in96, out64, n);                                    \
    }                                                                                                                   \
    int qtc_device_count(int* count) { return ::qtc_host::device_count(count); }                                        \
    int qtc_device_describe(int device, char* text, int len) { return ::qtc_host::device_describe(device, text, len); } \
    const char* qtc_error_string(int code) { return ::qtc_host::error_string(code); }                                   \
    int qtc_max_threads() { return (max_threads); }

#define QTC_DECLARE_HOST_LAYER()                                                                                      \
    QTC_DECLARE_COMMON_HOST_LAYER(qtc_ctx)                                                                            \
    void qtc_kernel_times(const qtc_ctx* c, double* busy_ms, double* wall_ms);                                        \
    int qtc_sm_count(int device, int* count);                                                                         \
    int qtc_pci_bus_id(int device, char* text, int len);                                                              \
    int qtc_nvml_read(int device, std::uint32_t* power_mw, std::uint32_t* limit_mw, std::uint32_t* clock_mhz);

#define QTC_DEFINE_HOST_LAYER(Module, max_threads)                                                                    \
    QTC_DEFINE_COMMON_HOST_LAYER(Module, ::qtc_host::TwoStreams, max_threads)                                         \
    void qtc_kernel_times(const qtc_ctx* c, double* busy_ms, double* wall_ms) {                                       \
        ::qtc_host::HostLayer<Module>::kernel_times(c, busy_ms, wall_ms);                                             \
    }                                                                                                                 \
    int qtc_sm_count(int device, int* count) { return ::qtc_host::sm_count(device, count); }                          \
    int qtc_pci_bus_id(int device, char* text, int len) { return ::qtc_host::pci_bus_id(device, text, len); }         \
    int qtc_nvml_read(int device, std::uint32_t* power_mw, std::uint32_t* limit_mw, std::uint32_t* clock_mhz) {       \
        return ::qtc_host::nvml_read(device, power_mw, limit_mw, clock_mhz);                                          \
    }

#define QTC_DECLARE_SINGLE_STREAM_HOST_LAYER()                                                                        \
    QTC_DECLARE_COMMON_HOST_LAYER(qtc_ctx_single_stream)

#define QTC_DEFINE_SINGLE_STREAM_HOST_LAYER(Module, max_threads)                                                      \
    QTC_DEFINE_COMMON_HOST_LAYER(Module, ::qtc_host::OneStream, max_threads)
