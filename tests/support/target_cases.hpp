// Targets around a known hash for the tests of the mining kernels' strict
// 64-byte comparison: which make the hash's counter a candidate and which
// do not, with the first difference at the start, around byte 7 (where one
// module decides early), and past a tie of the first 32 bytes (where the
// kernels run permutation 5).
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <initializer_list>
#include <utility>
#include <vector>

namespace target_cases {

using Hash = std::array<std::uint8_t, 64>;

inline Hash plus_one(Hash h) {
    for (int i = 63; i >= 0 && ++h[i] == 0; --i) {
    }
    return h;
}

inline Hash minus_one(Hash h) {
    for (int i = 63; i >= 0 && h[i]-- == 0; --i) {
    }
    return h;
}

inline Hash filled(std::uint8_t byte) {
    Hash h;
    h.fill(byte);
    return h;
}

// The bytes the cases move by one: a hash for them has neither 0 nor 0xff
// at any of them.
inline constexpr int MOVED[] = {5, 7, 9, 35, 40};

inline bool has_room(const Hash& h) {
    return std::all_of(std::begin(MOVED), std::end(MOVED), [&](int i) { return h[i] > 0 && h[i] < 0xff; });
}

struct Case {
    const char* what;
    Hash target;
    bool found;
};

// The cases around `h`, which must have room.
inline std::vector<Case> around(const Hash& h) {
    auto with = [&](std::initializer_list<std::pair<int, int>> changes, std::uint8_t rest = 0, int from = 64) {
        Hash t = h;
        for (int i = from; i < 64; ++i) t[i] = rest;
        for (auto [i, delta] : changes) t[i] = static_cast<std::uint8_t>(t[i] + delta);
        return t;
    };
    return {
        {"hash + 1", plus_one(h), true},
        {"hash itself", h, false},
        {"hash − 1", minus_one(h), false},
        {"first half larger at byte 5, then zeros", with({{5, +1}}, 0x00, 6), true},
        {"first half smaller at byte 5, then 0xff", with({{5, -1}}, 0xff, 6), false},
        {"larger at byte 7, then zeros", with({{7, +1}}, 0x00, 8), true},
        {"smaller at byte 7, then 0xff", with({{7, -1}}, 0xff, 8), false},
        {"bytes 0-7 equal, larger at byte 9, then zeros", with({{9, +1}}, 0x00, 10), true},
        {"bytes 0-7 equal, smaller at byte 9, then 0xff", with({{9, -1}}, 0xff, 10), false},
        {"tie, second half larger at byte 40", with({{40, +1}}), true},
        {"tie, second half smaller at byte 40", with({{40, -1}}), false},
        {"tie, smaller at byte 35 before larger at 40", with({{35, -1}, {40, +1}}), false},
        {"tie, larger at byte 35 before smaller at 40", with({{35, +1}, {40, -1}}), true},
    };
}

}  // namespace target_cases
