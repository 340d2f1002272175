#include "src/ui/colors.hpp"

#include <cstdlib>
#include <unistd.h>

bool colors_enabled_init(bool no_color_present, bool stdout_is_terminal) {
    return !no_color_present && stdout_is_terminal;
}

bool colors_enabled() {
    // A function-local static is initialised once; concurrent first callers wait.
    static const bool COLORS_ENABLED = colors_enabled_init(std::getenv("NO_COLOR") != nullptr, ::isatty(1) == 1);
    return COLORS_ENABLED;
}

std::string paint_if(bool enabled, std::string_view text, std::string_view color, bool bold) {
    if (!enabled || color.empty()) return std::string(text);
    std::string painted;
    painted.reserve(BOLD.size() + color.size() + text.size() + RESET.size());
    if (bold) painted += BOLD;
    painted += color;
    painted += text;
    painted += RESET;
    return painted;
}

std::string ui_paint(std::string_view text, std::string_view color) {
    return paint_if(colors_enabled(), text, color, false);
}

std::string ui_paint_bold(std::string_view text, std::string_view color) {
    return paint_if(colors_enabled(), text, color, true);
}
