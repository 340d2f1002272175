// Targets, hashes and the one rule by which a hash meets a target.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

#include "src/base/bytes.hpp"
#include "src/base/error.hpp"

// 128 hex digits, big-endian text order, after trimming Unicode white space
// and every leading "0x".
Result<Bytes64> parse_target_hex(std::string_view text);

// The same rules for a 32-byte mining hash (64 digits).
Result<Bytes32> parse_hash_hex(std::string_view text);

// Compares the 64 bytes as unsigned, byte 0 first; an equal hash does not
// meet the target.
inline bool hash_meets_target(const std::uint8_t* hash, const std::uint8_t* target) {
    return std::memcmp(hash, target, 64) < 0;
}

inline bool hash_meets_target(const Bytes64& hash, const Bytes64& target) {
    return hash_meets_target(hash.data(), target.data());
}
