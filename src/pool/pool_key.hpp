// The pool operator's Ed25519 public key, which signed jobs are verified
// with: 64 lower-case hex digits, or the placeholder. Each program links
// the key it trusts: ovik_dtc the CMake cache variable OVIK_POOL_PUBLIC_KEY
// (the placeholder unless a build gives one), the stand-in miner and the
// tests the test pool bridge's key.
#pragma once

#include <string_view>

// A build without a pool key: it verifies nothing (every signed job is
// refused), and --require-signed-jobs refuses to start.
inline constexpr std::string_view POOL_PUBLIC_KEY_PLACEHOLDER = "REPLACE_WITH_POOL_PUBLIC_KEY";

extern const std::string_view POOL_PUBLIC_KEY;
