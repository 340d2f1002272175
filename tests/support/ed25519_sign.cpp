#include "tests/support/ed25519_sign.hpp"

#include <memory>
#include <stdexcept>

#include <openssl/evp.h>

namespace {

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

Key private_key(const std::array<std::uint8_t, 32>& seed) {
    Key key(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed.data(), seed.size()), &EVP_PKEY_free);
    if (!key) throw std::runtime_error("ed25519: bad seed");
    return key;
}

}  // namespace

std::array<std::uint8_t, 64> ed25519_sign(const std::array<std::uint8_t, 32>& seed,
                                          std::span<const std::uint8_t> message) {
    const Key key = private_key(seed);
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    std::array<std::uint8_t, 64> signature{};
    std::size_t length = signature.size();
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
        EVP_DigestSign(ctx.get(), signature.data(), &length, message.data(), message.size()) != 1)
        throw std::runtime_error("ed25519: signing failed");
    return signature;
}

std::array<std::uint8_t, 32> ed25519_public_key(const std::array<std::uint8_t, 32>& seed) {
    const Key key = private_key(seed);
    std::array<std::uint8_t, 32> public_key{};
    std::size_t length = public_key.size();
    if (EVP_PKEY_get_raw_public_key(key.get(), public_key.data(), &length) != 1)
        throw std::runtime_error("ed25519: no public key");
    return public_key;
}
