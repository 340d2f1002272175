// The small steps every part of the GPU host layer takes alike: writing a
// failure text, the clock, and the environment switch for spinning waits.
#pragma once

#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "cuda/portability.hpp"

namespace qtc_host {

inline std::int64_t steady_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

inline bool cpu_spin() { return std::getenv("VEZEZIRUZ_CPU_SPIN") != nullptr; }

// printf-style into a buffer of `size` bytes, cut to size − 1 characters.
inline void write_text(char* buffer, int size, const char* format, ...) {
    if (size < 1) return;
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, static_cast<std::size_t>(size), format, args);
    va_end(args);
}

// A failed call leaves its error recorded until cudaGetLastError reads it,
// so an earlier failure would be reported as the next launch's. Cleared
// before every launch, so the check after it sees only that launch.
inline void clear_last_error() { cudaGetLastError(); }

// Records "step: CUDA text" for a failed call and passes its code on.
template <typename Ctx>
int fail_step(Ctx* c, const char* step, cudaError_t code) {
    write_text(c->err, sizeof c->err, "%s: %s", step, cudaGetErrorString(code));
    return static_cast<int>(code);
}

}  // namespace qtc_host
