// The job lines of a pool that changes jobs faster than anyone can read
// them: one job line a second at most, the jobs between counted in one line.
// The [stats] line shows the current job whatever this leaves out.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "src/base/clock.hpp"

class JobLineThrottle {
public:
    // The lines to print for a job installed at `now`: its own line when a
    // second has passed since the last one shown, after the count of those
    // left out; nothing otherwise.
    std::vector<std::string> on_job(MonoTime now, std::string job_line);
    // The count of the jobs left out, once a second has passed since the
    // last job line shown; nullopt when none is left out or it is too soon.
    std::optional<std::string> due_count(MonoTime now);

private:
    std::optional<std::string> take_count(MonoTime now);

    std::optional<MonoTime> shown_at_;
    std::uint64_t left_out_ = 0;
};
