// The job being mined, with a generation that changes whenever it does, and
// a short memory of recently superseded jobs so that shares found on them a
// moment ago stay worth sending.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "src/base/clock.hpp"
#include "src/miner/job.hpp"

struct RecentJob {
    std::string id_prefix;
    MonoTime seen_at;
    bool stale;
};

// Two locks: `current` before `recent` whenever both are held, and the
// submission queue's lock before both.
struct JobSlot {
    explicit JobSlot(MonoClock clock_fn = steady_now) : clock(std::move(clock_fn)) {}

    mutable std::mutex recent_lock;
    std::vector<RecentJob> recent;

    mutable std::mutex current_lock;
    std::uint64_t generation = 0;
    std::shared_ptr<const Job> current;

    MonoClock clock;
};

inline constexpr std::size_t RECENT_JOBS_KEPT = 8;
inline constexpr std::chrono::seconds RECENT_JOB_LIFETIME{20};

// The id up to its first "#", or the whole id without one.
std::string_view job_id_prefix(std::string_view job_id);

std::pair<std::uint64_t, std::shared_ptr<const Job>> job_slot_get(const JobSlot& slot);
void job_slot_install(JobSlot& slot, std::shared_ptr<const Job> job);
void job_slot_clear(JobSlot& slot);

// Records a superseded job's prefix unless the new job continues it; keeps
// at most 8 entries younger than 20 s. Called with the current lock held.
void job_slot_remember(JobSlot& slot, const std::shared_ptr<const Job>& old_job,
                       std::optional<std::string_view> new_prefix);

bool job_slot_is_live(const JobSlot& slot, std::string_view job_id);

// The pool called a share of this job stale: mark (or add) its recent entry,
// and withdraw the current job when its whole id is this one.
void job_slot_mark_stale(JobSlot& slot, std::string_view job_id);

bool job_is_live_pred(const std::shared_ptr<JobSlot>& slot, std::string_view job_id);

// False without a target; else whether both ids have the same prefix.
bool job_id_equals(const std::optional<std::string>& target, std::string_view job_id);
