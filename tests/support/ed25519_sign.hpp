// Ed25519 signing for the test pool bridge and the tests (the miner itself
// only verifies). The stand-in miner and the tests trust the test key pair's
// public key (OVIK_TEST_POOL_PUBLIC_KEY, src/CMakeLists.txt); with its seed
// published here, no other build may.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

// Seed: the 32 ASCII bytes "ovik_dtc test pool bridge key 01".
inline constexpr std::string_view TEST_POOL_KEY_SEED_HEX =
    "6f76696b5f647463207465737420706f6f6c20627269646765206b6579203031";
inline constexpr std::string_view TEST_POOL_PUBLIC_KEY_HEX =
    "478b709afd3cafd4624a73cd0b16dd0120a5e2a04b39ee56b19200daef0df22a";

std::array<std::uint8_t, 64> ed25519_sign(const std::array<std::uint8_t, 32>& seed,
                                          std::span<const std::uint8_t> message);

std::array<std::uint8_t, 32> ed25519_public_key(const std::array<std::uint8_t, 32>& seed);
