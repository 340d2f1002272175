// What a kernel variant may run with on a device: the compute capabilities
// it runs on and the largest block it may be launched with.
#pragma once

#include <cstdint>

#include "src/base/error.hpp"
#include "src/gpu/kernel_variants.hpp"

// Whose words a capability refusal is in (the texts differ, the rule not).
enum class RefusalWording { at_open, of_choice };

// The variant's capability rule on `device`: a variant that runs on every
// capability asks nothing of the device; none is always allowed.
Result<void> check_capability(int device, KernelKind kind, RefusalWording wording);

// The module's own bound, or the variant's wider bound on its capability
// (an unreadable capability counts as another).
std::uint32_t gpu_max_threads(KernelKind kind, int device);
