// The dev-fee address compiled into the program (CMake cache variable
// OVIK_DEV_ADDRESS). A build that leaves it at its placeholder refuses to
// start unless --dev-address gives one.
#pragma once

#include <string_view>

extern const std::string_view DEV_ADDRESS;
