#include "src/pool/job_line_throttle.hpp"

#include <fmt/format.h>

namespace {

constexpr auto SHOWN_EVERY = std::chrono::seconds(1);

}  // namespace

std::vector<std::string> JobLineThrottle::on_job(MonoTime now, std::string job_line) {
    std::vector<std::string> lines;
    if (shown_at_ && now - *shown_at_ < SHOWN_EVERY) {
        ++left_out_;
        return lines;
    }
    if (auto count = take_count(now)) lines.push_back(std::move(*count));
    lines.push_back(std::move(job_line));
    shown_at_ = now;
    return lines;
}

std::optional<std::string> JobLineThrottle::due_count(MonoTime now) {
    if (!shown_at_ || now - *shown_at_ < SHOWN_EVERY) return std::nullopt;
    return take_count(now);
}

std::optional<std::string> JobLineThrottle::take_count(MonoTime now) {
    if (left_out_ == 0) return std::nullopt;
    const double seconds = std::chrono::duration<double>(now - *shown_at_).count();
    std::string line = fmt::format("[pool] {} more job{} in the last {:.1f} s (job lines shown once a second at most)",
                                   left_out_, left_out_ == 1 ? "" : "s", seconds);
    left_out_ = 0;
    return line;
}
