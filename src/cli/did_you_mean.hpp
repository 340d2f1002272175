// Suggestions for a mistyped option name.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Jaro similarity of two byte strings, from 0 (nothing alike) to 1 (equal).
double jaro_similarity(std::string_view a, std::string_view b);

// The candidate most similar to `typed`, when its similarity exceeds 0.7.
std::optional<std::string> closest_candidate(std::string_view typed, const std::vector<std::string>& candidates);
