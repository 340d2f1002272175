// The tuning cache reader. Besides crashes, checks the round trip the
// miner depends on: a cache it accepted, written back, reads back with the
// same records (else a later start would silently lose them and tune again).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "src/tune/tune_cache.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const TuneCache cache = tune_cache_parse(text);
    const std::string written = tune_cache_text(cache);
    const TuneCache reread = tune_cache_parse(written);
    if (reread.entries != cache.entries) {
        std::fprintf(stderr, "fuzz_tune_cache: %zu records read, %zu after writing them back as:\n%s\n",
                     cache.entries.size(), reread.entries.size(), written.c_str());
        std::abort();
    }
    return 0;
}
