#include <gtest/gtest.h>

#include "src/devfee/devfee_state.hpp"

namespace {

using namespace std::chrono_literals;

const MonoTime T0 = MonoTime{} + 100000s;

}  // namespace

TEST(DevFee, SwitchesByChargedTimeAndCarriesTheRest) {
    DevFeeState state("qzDev", 1000, T0);
    EXPECT_EQ(state.window, Duration(10s));
    EXPECT_EQ(state.user_part(), Duration(990s));
    struct Step {
        std::chrono::milliseconds at;  // since T0
        bool dev;
    };
    const Step steps[] = {
        {989'999ms, false}, {990'000ms, true}, {999'999ms, true}, {1'000'000ms, false},
        {1'990'000ms, true},  // the second cycle: 990 s more of user time
    };
    for (const Step& s : steps) EXPECT_EQ(devfee_tick(state, T0 + s.at), s.dev) << s.at.count();

    // One tick charging 2000 s to the user session switches once and keeps 1010 s.
    DevFeeState carry("qzDev", 1000, T0);
    EXPECT_TRUE(devfee_tick(carry, T0 + 2000s));
    EXPECT_EQ(carry.user_acc, Duration(1010s));
    // Ten seconds later: back to the user session and at once to the dev session again.
    EXPECT_TRUE(devfee_tick(carry, T0 + 2010s));
    EXPECT_EQ(carry.user_acc, Duration(20s));
    EXPECT_EQ(carry.dev_acc, Duration(0s));

    DevFeeState small("qzDev", 100, T0);
    EXPECT_EQ(small.window, Duration(1s));
    EXPECT_EQ(small.user_part(), Duration(99s));

    DevFeeState off = DevFeeState::off(T0);
    EXPECT_FALSE(off.active());
    EXPECT_FALSE(devfee_tick(off, T0 + 5000s));
    EXPECT_EQ(devfee_wait_ms(off, T0 + 5000s, 20000), 20000u);

    // A clock reading before the last tick charges nothing.
    DevFeeState back("qzDev", 1000, T0);
    EXPECT_FALSE(devfee_tick(back, T0 - 5s));
    EXPECT_EQ(back.user_acc, Duration(0s));
}

TEST(DevFee, TheLongestPeriodKeepsItsShareExactly) {
    EXPECT_EQ(MAX_DEV_FEE_PERIOD_S, 9223372000u);
    // The clock starts at 0 here, so the whole user part fits before its end.
    const MonoTime start{};
    DevFeeState state("qzDev", MAX_DEV_FEE_PERIOD_S, start);
    const Duration window = std::chrono::seconds(92233720);
    EXPECT_EQ(state.period, Duration(std::chrono::seconds(9223372000)));
    EXPECT_EQ(state.window, window);
    EXPECT_EQ(state.user_part(), state.period - window);
    EXPECT_EQ(devfee_wait_ms(state, start, 20000), 20000u);

    const MonoTime due = start + state.user_part();
    EXPECT_FALSE(devfee_tick(state, due - 1ns));
    EXPECT_EQ(devfee_wait_ms(state, due - 1ns, 20000), 50u);
    EXPECT_TRUE(devfee_tick(state, due));
    EXPECT_EQ(devfee_wait_ms(state, due, UINT64_MAX), 92233720000u);  // the window, in ms
    EXPECT_FALSE(devfee_tick(state, due + window));
    EXPECT_EQ(state.user_acc + state.dev_acc, Duration::zero());
}

TEST(DevFee, LongPollEndsNearTheNextSwitch) {
    struct Case {
        std::chrono::milliseconds before_switch;
        std::uint64_t wait_ms, expected;
    };
    for (const Case c : {Case{20ms, 20000, 50}, Case{300'000ms, 20000, 20000}, Case{300'000ms, 10, 10},
                         Case{1500ms, 20000, 1500}}) {
        DevFeeState state("qzDev", 1000, T0);
        const MonoTime now = T0 + 990s - c.before_switch;
        devfee_tick(state, now);
        EXPECT_EQ(devfee_wait_ms(state, now, c.wait_ms), c.expected) << c.before_switch.count();
    }
    // In the dev session the window is what remains.
    DevFeeState state("qzDev", 1000, T0);
    ASSERT_TRUE(devfee_tick(state, T0 + 990s));
    EXPECT_EQ(devfee_wait_ms(state, T0 + 990s, 20000), 10000u);
}
