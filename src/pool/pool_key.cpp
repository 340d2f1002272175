#include "src/pool/pool_key.hpp"

static_assert(std::string_view(OVIK_POOL_KEY_PLACEHOLDER) == POOL_PUBLIC_KEY_PLACEHOLDER,
              "the build's placeholder is the one the program recognises");

const std::string_view POOL_PUBLIC_KEY = OVIK_POOL_PUBLIC_KEY_HEX;
