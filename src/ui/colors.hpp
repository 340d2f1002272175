// Console colours: 24-bit ANSI foreground sequences, on only when NO_COLOR
// is absent and standard output is a terminal.
#pragma once

#include <string>
#include <string_view>

inline constexpr std::string_view RESET = "\x1b[0m";
inline constexpr std::string_view BOLD = "\x1b[1m";

inline constexpr std::string_view ORANGE_RED = "\x1b[38;2;255;77;0m";
inline constexpr std::string_view CREAM = "\x1b[38;2;237;232;219m";
inline constexpr std::string_view GREY = "\x1b[38;2;163;157;144m";
inline constexpr std::string_view GREEN = "\x1b[38;2;95;208;126m";
inline constexpr std::string_view RED = "\x1b[38;2;214;62;0m";
inline constexpr std::string_view ORANGE = "\x1b[38;2;255;122;56m";
inline constexpr std::string_view DARK_GREY = "\x1b[38;2;112;107;95m";

// Decided once, on the first call from any thread: NO_COLOR present (any
// value, empty included) turns colours off; otherwise they are on exactly
// when descriptor 1 is a terminal.
bool colors_enabled();

// The decision rule itself, for a given environment and terminal state.
bool colors_enabled_init(bool no_color_present, bool stdout_is_terminal);

// color + text + RESET when colours are on and color is not empty; else text.
std::string ui_paint(std::string_view text, std::string_view color);

// BOLD + color + text + RESET under the same condition; else text.
std::string ui_paint_bold(std::string_view text, std::string_view color);

// The painting rules with colours forced on or off, for callers that
// already know (and for tests).
std::string paint_if(bool enabled, std::string_view text, std::string_view color, bool bold);
