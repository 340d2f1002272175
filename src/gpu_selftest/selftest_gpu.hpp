// The GPU self-test: on one GPU and one kernel variant, four checks from the
// host hash alone up to the production mining kernel, one printed line per
// check, stopping at the first failure with an error naming the vector and
// the check.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "src/base/error.hpp"
#include "src/gpu/geometry.hpp"
#include "src/gpu/kernel_kind.hpp"
#include "src/selftest/vectors.hpp"
#include "src/ui/console.hpp"

// The self-test's lines go to `out`; the one warning of the fast86
// validation goes to `err`.
using SelftestOutput = LineOutput;

// Largest blocks × threads × iterations a run accepts (printed as "16 M").
inline constexpr std::uint64_t SELFTEST_BATCH_LIMIT = 16777216;

// Runs checks [1]-[4] with `geometry` as the production grid. The context
// is destroyed on every way out.
Result<void> selftest_gpu(int device, std::span<const SelftestVector> vectors, const LaunchGeometry& geometry,
                          KernelKind kind, const SelftestOutput& output = console_lines());

// The vector's counter c must be among the candidates of one batch, and
// every candidate's host hash (the vector's header, nonce high half h, bytes
// 0-23 of the low half l, the candidate big-endian) below the target; c's
// own must rebuild the vector's nonce and hash. `index` and `label` name the
// vector and the check in the messages.
Result<void> check_vector_candidates(const SelftestVector& vector, const Bytes32& h, const Bytes32& l, std::uint64_t c,
                                     std::span<const std::uint64_t> candidates, const Bytes64& target,
                                     std::string_view label, std::size_t index);
