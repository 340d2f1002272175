#include "src/cli/did_you_mean.hpp"

#include <algorithm>

double jaro_similarity(std::string_view a, std::string_view b) {
    if (a.empty() && b.empty()) return 1.0;
    if (a.empty() || b.empty()) return 0.0;
    const std::size_t window = std::max(a.size(), b.size()) / 2 - (std::max(a.size(), b.size()) >= 2 ? 1 : 0);
    std::vector<bool> a_matched(a.size()), b_matched(b.size());
    std::size_t matches = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const std::size_t lo = i > window ? i - window : 0;
        const std::size_t hi = std::min(b.size(), i + window + 1);
        for (std::size_t j = lo; j < hi; ++j) {
            if (b_matched[j] || a[i] != b[j]) continue;
            a_matched[i] = b_matched[j] = true;
            ++matches;
            break;
        }
    }
    if (matches == 0) return 0.0;
    std::size_t transpositions = 0;
    for (std::size_t i = 0, j = 0; i < a.size(); ++i) {
        if (!a_matched[i]) continue;
        while (!b_matched[j]) ++j;
        if (a[i] != b[j]) ++transpositions;
        ++j;
    }
    const double m = static_cast<double>(matches);
    return (m / static_cast<double>(a.size()) + m / static_cast<double>(b.size()) +
            (m - static_cast<double>(transpositions) / 2.0) / m) /
           3.0;
}

std::optional<std::string> closest_candidate(std::string_view typed, const std::vector<std::string>& candidates) {
    std::optional<std::string> best;
    double best_score = 0.7;
    for (const std::string& candidate : candidates) {
        const double score = jaro_similarity(typed, candidate);
        if (score > best_score) {
            best_score = score;
            best = candidate;
        }
    }
    return best;
}
