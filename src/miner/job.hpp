// One mining job as every mining thread sees it, and its nonce prefix.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "src/base/bytes.hpp"

using NoncePrefix = std::array<std::uint8_t, 4>;

// One mining job; immutable once built, shared read-only.
struct Job {
    std::optional<std::uint64_t> height;
    std::string job_id;  // exactly as received
    // Display texts, cut as pool_text_cut cuts them: shown with
    // console_safe, never cut again.
    std::string share_difficulty;
    std::string net_difficulty;
    Bytes32 mining_hash;
    Bytes64 share_target;
    Bytes64 block_target;
    NoncePrefix nonce_prefix;
    bool is_dev;
};
