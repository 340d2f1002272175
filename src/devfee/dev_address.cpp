#include "src/devfee/dev_address.hpp"

const std::string_view DEV_ADDRESS = OVIK_DEV_ADDRESS;
