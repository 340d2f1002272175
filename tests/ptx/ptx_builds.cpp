#include "tests/ptx/ptx_builds.hpp"

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {

constexpr PtxBuild BUILDS[] = {
#include "ptx_builds.inc"
};

}  // namespace

std::span<const PtxBuild> ptx_builds() { return BUILDS; }

std::string build_name(const PtxBuild& build) { return std::string(build.module) + "_sm" + std::to_string(build.cc); }

void PrintTo(const PtxBuild& build, std::ostream* os) { *os << build_name(build); }

std::string read_ptx(const char* path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error(std::string("cannot read ") + path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}
