#include "src/miner/job_slot.hpp"

#include <algorithm>

namespace {

// Young enough to keep shares live; an entry from the future counts as young.
bool is_young(const RecentJob& entry, MonoTime now) {
    return now < entry.seen_at || now - entry.seen_at < RECENT_JOB_LIFETIME;
}

}  // namespace

std::string_view job_id_prefix(std::string_view job_id) { return job_id.substr(0, job_id.find('#')); }

std::pair<std::uint64_t, std::shared_ptr<const Job>> job_slot_get(const JobSlot& slot) {
    std::lock_guard lock(slot.current_lock);
    return {slot.generation, slot.current};
}

void job_slot_install(JobSlot& slot, std::shared_ptr<const Job> job) {
    std::shared_ptr<const Job> old;
    {
        std::lock_guard lock(slot.current_lock);
        old = std::move(slot.current);
        job_slot_remember(slot, old, job_id_prefix(job->job_id));
        ++slot.generation;
        slot.current = std::move(job);
    }
}

void job_slot_clear(JobSlot& slot) {
    std::shared_ptr<const Job> old;
    std::lock_guard lock(slot.current_lock);
    if (!slot.current) return;
    old = std::move(slot.current);
    job_slot_remember(slot, old, std::nullopt);
    ++slot.generation;
}

void job_slot_remember(JobSlot& slot, const std::shared_ptr<const Job>& old_job,
                       std::optional<std::string_view> new_prefix) {
    if (!old_job) return;
    const std::string_view prefix = job_id_prefix(old_job->job_id);
    if (new_prefix && *new_prefix == prefix) return;
    std::lock_guard lock(slot.recent_lock);
    const MonoTime now = slot.clock();
    std::erase_if(slot.recent, [&](const RecentJob& e) { return e.id_prefix == prefix || !is_young(e, now); });
    slot.recent.push_back({std::string(prefix), now, false});
    if (slot.recent.size() > RECENT_JOBS_KEPT)
        slot.recent.erase(slot.recent.begin(),
                          slot.recent.begin() + static_cast<std::ptrdiff_t>(slot.recent.size() - RECENT_JOBS_KEPT));
}

bool job_slot_is_live(const JobSlot& slot, std::string_view job_id) {
    const std::string_view prefix = job_id_prefix(job_id);
    {
        std::lock_guard lock(slot.current_lock);
        if (slot.current && job_id_prefix(slot.current->job_id) == prefix) return true;
    }
    std::lock_guard lock(slot.recent_lock);
    for (const RecentJob& entry : slot.recent)
        if (entry.id_prefix == prefix && !entry.stale && is_young(entry, slot.clock())) return true;
    return false;
}

void job_slot_mark_stale(JobSlot& slot, std::string_view job_id) {
    const std::string_view prefix = job_id_prefix(job_id);
    {
        std::lock_guard lock(slot.recent_lock);
        const auto entry = std::find_if(slot.recent.begin(), slot.recent.end(),
                                        [&](const RecentJob& e) { return e.id_prefix == prefix; });
        if (entry != slot.recent.end())
            entry->stale = true;
        else
            slot.recent.push_back({std::string(prefix), slot.clock(), true});
    }
    std::shared_ptr<const Job> withdrawn;
    std::lock_guard lock(slot.current_lock);
    if (slot.current && slot.current->job_id == job_id) {
        withdrawn = std::move(slot.current);
        ++slot.generation;
    }
}

bool job_is_live_pred(const std::shared_ptr<JobSlot>& slot, std::string_view job_id) {
    return job_slot_is_live(*slot, job_id);
}

bool job_id_equals(const std::optional<std::string>& target, std::string_view job_id) {
    return target && job_id_prefix(*target) == job_id_prefix(job_id);
}
