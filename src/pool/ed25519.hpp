// Ed25519 signature verification (RFC 8032, SHA-512), the ordinary
// cofactorless check without the stricter small-order rules.
#pragma once

#include <cstdint>
#include <span>

// False for a key that does not decompress to a curve point, a signature
// whose S is not below the group order, or a signature that does not match.
bool ed25519_verify(std::span<const std::uint8_t, 32> public_key, std::span<const std::uint8_t> message,
                    std::span<const std::uint8_t, 64> signature);
