// Random bytes from the operating system, for the nonce parts a GPU worker
// draws when it starts.
#pragma once

#include <cstdint>
#include <functional>
#include <span>

#include "src/base/error.hpp"

using RandomSource = std::function<Result<void>(std::span<std::uint8_t>)>;

// Fills `out` with getrandom(2), resuming after a signal or a short read;
// fails with the system's message when the source itself fails.
Result<void> os_random(std::span<std::uint8_t> out);
