#include "poseidon2-core/src/permutation.hpp"

#include "poseidon2-core/src/permutation_variants.hpp"

namespace poseidon2 {

bool cpu_has_avx2() {
#if defined(__x86_64__)
    __builtin_cpu_init();  // safe even before static constructors have run
    return __builtin_cpu_supports("avx2");
#else
    return false;
#endif
}

void poseidon2_permute(std::uint64_t state[WIDTH], const std::uint64_t constants[CONSTANTS_LEN]) {
    static const bool use_avx2 = cpu_has_avx2();
    if (use_avx2)
        permute_avx2(state, constants);
    else
        permute_scalar(state, constants);
}

}  // namespace poseidon2
