// Test helper: two NVML readings of device 0, printed as
// "result power limit clock" twice on one line.
#include <cstdio>

#include "cuda/common.hpp"

int main() {
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::uint32_t power = 1, limit = 2, clock = 3;
        const int result = qtc_host::nvml_read(0, &power, &limit, &clock);
        std::printf("%s%d %u %u %u", attempt ? " " : "", result, power, limit, clock);
    }
    std::printf("\n");
    return 0;
}
