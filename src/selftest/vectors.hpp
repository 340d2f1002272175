// Oracle vectors: known answers of the proof-of-work hash, read from text
// lines "header nonce hash" in hexadecimal.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "src/base/bytes.hpp"
#include "src/base/error.hpp"

struct SelftestVector {
    Bytes32 header;
    Bytes64 nonce;  // bytes 56-63: the 64-bit counter, big-endian
    Bytes64 hash;
};

// The vectors of `text` in order; the first malformed line fails the whole
// parse. `label` starts the messages that name a line ("vec.txt:5 : ...").
Result<std::vector<SelftestVector>> parse_vectors(std::string_view text, std::string_view label);

// "{path}: {error}" for a vector file that cannot be read as text.
Error vector_file_error(std::string_view path, const Error& io_error);

// Reads `path` whole as UTF-8 and parses it with the path as label.
Result<std::vector<SelftestVector>> load_vector_file(const std::string& path);

// The 4096 vectors carried inside the program (1,323,008 bytes of ASCII).
extern const std::string_view SELFTEST_VECTORS;
inline constexpr std::string_view EMBEDDED_VECTORS_LABEL = "embedded vectors";
