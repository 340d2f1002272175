#include "tests/ptx/ptx_builds.hpp"

namespace {

constexpr PtxBuild BUILDS[] = {
#include "ptx_builds.inc"
};

}  // namespace

std::span<const PtxBuild> ptx_builds() { return BUILDS; }
