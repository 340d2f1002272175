// Test helper: prints a fixed banner and one painted piece through the
// process-wide colour switch, so tests can run it on a pipe or a terminal.
#include <cstdio>

#include "src/ui/banner.hpp"
#include "src/ui/colors.hpp"

int main() {
    print_banner({"http://127.0.0.1:9412", "qzAddress", "rig-1", {"NVIDIA H100"}, "auto", "energy", false,
                  "V17 + HB89 + Fast86/Fast89/Fast120 (auto-selected per GPU)", {true, 10}});
    std::printf("%s\n", ui_paint_bold("x", ORANGE).c_str());
    return 0;
}
