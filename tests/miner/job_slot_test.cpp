#include <gtest/gtest.h>

#include "src/miner/job_slot.hpp"

namespace {

using namespace std::chrono_literals;

// A clock the test moves by hand.
struct FakeClock {
    MonoTime now = MonoTime{} + 1000s;
    MonoClock fn() {
        return [this] { return now; };
    }
};

std::shared_ptr<const Job> job(std::string id) {
    Job j{};
    j.job_id = std::move(id);
    return std::make_shared<const Job>(std::move(j));
}

}  // namespace

TEST(JobIdPrefix, CutsAtTheFirstHash) {
    const std::pair<std::string_view, std::string_view> cases[] = {
        {"tpl#1", "tpl"}, {"tpl#1#2", "tpl"}, {"plain", "plain"}, {"#x", ""}, {"", ""}, {"a#", "a"}};
    for (const auto& [id, prefix] : cases) EXPECT_EQ(job_id_prefix(id), prefix) << id;
    EXPECT_FALSE(job_id_equals(std::nullopt, "a"));
    EXPECT_FALSE(job_id_equals(std::nullopt, ""));
    EXPECT_TRUE(job_id_equals("T#1", "T#2"));
    EXPECT_FALSE(job_id_equals("T#1", "U#1"));
    EXPECT_TRUE(job_id_equals("#1", "#2"));
}

TEST(JobSlot, GenerationCountsEveryChangeOfTheCurrentJob) {
    FakeClock clock;
    JobSlot slot(clock.fn());
    EXPECT_EQ(job_slot_get(slot).first, 0u);
    job_slot_clear(slot);  // nothing current: no change
    EXPECT_EQ(job_slot_get(slot).first, 0u);
    job_slot_install(slot, job("T#1"));
    job_slot_install(slot, job("T#2"));  // same prefix: no recent entry, but a new generation
    EXPECT_EQ(job_slot_get(slot).first, 2u);
    EXPECT_TRUE(slot.recent.empty());
    EXPECT_TRUE(job_slot_is_live(slot, "T#1"));  // through the current prefix
    job_slot_clear(slot);
    EXPECT_EQ(job_slot_get(slot).first, 3u);
    EXPECT_EQ(job_slot_get(slot).second, nullptr);
    EXPECT_TRUE(job_slot_is_live(slot, "T#2"));  // the cleared job is remembered
    clock.now += 20s;
    EXPECT_FALSE(job_slot_is_live(slot, "T#2"));
}

TEST(JobSlot, SupersededJobsStayLiveFor20Seconds) {
    struct Case {
        std::chrono::milliseconds after;
        bool live;
    };
    for (const Case c : {Case{0ms, true}, Case{19'900ms, true}, Case{20'000ms, false}, Case{25'000ms, false}}) {
        FakeClock clock;
        JobSlot slot(clock.fn());
        job_slot_install(slot, job("A"));
        job_slot_install(slot, job("B"));
        clock.now += c.after;
        EXPECT_EQ(job_slot_is_live(slot, "A"), c.live) << c.after.count() << " ms";
        EXPECT_TRUE(job_slot_is_live(slot, "B"));
    }
    // An entry written "in the future" of a reading stays young.
    FakeClock clock;
    JobSlot slot(clock.fn());
    job_slot_install(slot, job("A"));
    job_slot_install(slot, job("B"));
    clock.now -= 5s;
    EXPECT_TRUE(job_slot_is_live(slot, "A"));
}

TEST(JobSlot, KeepsTheLastEightSupersededJobs) {
    FakeClock clock;
    JobSlot slot(clock.fn());
    for (int i = 0; i < 10; ++i) {
        job_slot_install(slot, job(std::string("J") + std::to_string(i)));
        clock.now += 1s;
    }
    ASSERT_EQ(slot.recent.size(), 8u);
    EXPECT_EQ(slot.recent.front().id_prefix, "J1");
    EXPECT_EQ(slot.recent.back().id_prefix, "J8");
    EXPECT_FALSE(job_slot_is_live(slot, "J0"));
    for (int i = 1; i <= 9; ++i) EXPECT_TRUE(job_slot_is_live(slot, std::string("J") + std::to_string(i))) << i;
    // Old entries are pruned at the next remember.
    clock.now += 30s;
    job_slot_install(slot, job("K"));
    ASSERT_EQ(slot.recent.size(), 1u);
    EXPECT_EQ(slot.recent.front().id_prefix, "J9");
}

TEST(JobSlot, StaleMarkingAndWithdrawal) {
    FakeClock clock;
    JobSlot slot(clock.fn());
    job_slot_install(slot, job("T#2"));
    job_slot_mark_stale(slot, "T#1");  // another full id: marks, does not withdraw
    EXPECT_EQ(job_slot_get(slot).first, 1u);
    ASSERT_EQ(slot.recent.size(), 1u);
    EXPECT_TRUE(slot.recent[0].stale);
    EXPECT_TRUE(job_slot_is_live(slot, "T#1"));  // still live through the current prefix

    job_slot_mark_stale(slot, "T#2");  // the current job's exact id: withdrawn
    EXPECT_EQ(job_slot_get(slot).first, 2u);
    EXPECT_EQ(job_slot_get(slot).second, nullptr);
    EXPECT_FALSE(job_slot_is_live(slot, "T#2"));
    EXPECT_EQ(slot.recent.size(), 1u);  // the withdrawn job is not recorded again

    // A later supersession of prefix T replaces the stale entry with a fresh one.
    job_slot_install(slot, job("T#3"));
    job_slot_install(slot, job("U"));
    EXPECT_TRUE(job_slot_is_live(slot, "T#9"));
    ASSERT_EQ(slot.recent.size(), 1u);
    EXPECT_FALSE(slot.recent[0].stale);

    // Marking beyond eight appends without pruning; the next remember trims.
    for (int i = 0; i < 10; ++i) job_slot_mark_stale(slot, std::string("S") + std::to_string(i));
    EXPECT_EQ(slot.recent.size(), 11u);
    job_slot_install(slot, job("V"));
    EXPECT_EQ(slot.recent.size(), 8u);
}
