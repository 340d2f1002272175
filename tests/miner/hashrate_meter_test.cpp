#include <gtest/gtest.h>

#include "src/miner/hashrate_meter.hpp"

namespace {

using namespace std::chrono_literals;

const MonoTime T0 = MonoTime{} + 100000s;

}  // namespace

TEST(HashrateMeter, MeasuresOverAMovingBaseOrFallsBackToTheHint) {
    auto counters = std::make_shared<HashCounters>(2);
    HashrateMeter meter(5.0, counters, T0);
    EXPECT_EQ(hashrate_estimate(meter, T0 + 10s), 5.0);  // nothing counted yet: the hint
    (*counters)[0] = 600'000'000;
    (*counters)[1] = 400'000'000;
    EXPECT_EQ(hashrate_estimate(meter, T0 + 300ms), 5.0);  // under 0.5 s
    EXPECT_EQ(hashrate_estimate(meter, T0 + 10s), 100'000'000.0);
    EXPECT_EQ(meter.base_sum, 0u);  // the base moves only after 30 s
    EXPECT_NEAR(*hashrate_estimate(meter, T0 + 31s), 1e9 / 31, 1e-3);
    EXPECT_EQ(meter.base_sum, 1'000'000'000u);
    (*counters)[0] += 2000;
    EXPECT_EQ(hashrate_estimate(meter, T0 + 32s), 2000.0);

    // Counters that do not grow (GPUs paused) leave the base where it is.
    HashrateMeter paused(5.0, std::make_shared<HashCounters>(1), T0);
    EXPECT_EQ(hashrate_estimate(paused, T0 + 40s), 5.0);
    EXPECT_EQ(paused.base_at, T0);

    EXPECT_EQ(HashrateMeter(0.5, counters, T0).hint, std::nullopt);
    EXPECT_EQ(HashrateMeter(2.0, counters, T0).hint, 2.0);
    HashrateMeter no_hint(0.0, std::make_shared<HashCounters>(1), T0);
    EXPECT_EQ(hashrate_estimate(no_hint, T0 + 10s), std::nullopt);
}
