#include "src/ui/banner.hpp"

#include <algorithm>
#include <cstdio>

#include <fmt/format.h>

#include "src/ui/colors.hpp"

namespace {

// OVIK in block letters with a double-line shadow on the right and lower
// edges; every line is two spaces and 27 letter columns.
constexpr const char* LOGO[6] = {
    "   █████╗ ██╗  ██╗██╗██╗  ██╗",
    "  ██╔══██╗██║  ██║██║██║ ██╔╝",
    "  ██║  ██║██║  ██║██║█████╔╝ ",
    "  ██║  ██║╚██╗██╔╝██║██╔═██╗ ",
    "  ╚█████╔╝ ╚███╔╝ ██║██║  ██╗",
    "   ╚════╝   ╚══╝  ╚═╝╚═╝  ╚═╝",
};

constexpr double DEV_FEE_PERCENT = 1.0;
constexpr const char* INTERNAL_RIG_VARIABLE = "VEZEZIRUZ_INTERNAL";

bool is_continuation_byte(char c) { return (static_cast<unsigned char>(c) & 0xc0) == 0x80; }

std::string label_line(const char* label, const std::string& value) {
    return fmt::format("  {}{}\n", ui_paint(fmt::format("{:<12}", label), GREY), ui_paint(value, CREAM));
}

}  // namespace

std::string abbreviate_address(const std::string& address) {
    if (address.size() <= 20) return address;
    std::size_t head = 10;
    while (head > 0 && is_continuation_byte(address[head])) --head;
    std::size_t tail = address.size() - 8;
    while (tail < address.size() && is_continuation_byte(address[tail])) ++tail;
    return address.substr(0, head) + "…" + address.substr(tail);
}

std::string cards_text(const std::vector<std::string>& labels) {
    if (labels.empty()) return "";
    if (std::all_of(labels.begin(), labels.end(), [&](const std::string& l) { return l == labels.front(); }))
        return fmt::format("{} ×{}", labels.front(), labels.size());
    std::string text;
    for (std::size_t i = 0; i < labels.size(); ++i) text += fmt::format("{}{}: {}", i ? ", " : "", i, labels[i]);
    return text;
}

std::string kernel_text(const BannerInputs& inputs) {
    return inputs.no_autotune ? fmt::format("{} (no autotune)", inputs.kernel_kind_name)
                              : fmt::format("{} — measured per GPU at start", inputs.kernel);
}

std::vector<std::string> banner_lines(const BannerInputs& inputs) {
    const std::string side[6] = {
        "",
        ui_paint_bold("VezeZiruz-QTC", CREAM),
        ui_paint("Quantus · Poseidon2 (GPU)", CREAM),
        ui_paint(fmt::format("v1.0.0 · {}", inputs.build_description), GREY),
        "",
        "",
    };
    std::vector<std::string> lines = {"\n"};
    for (int i = 0; i < 6; ++i) {
        std::string line = ui_paint_bold(LOGO[i], ORANGE_RED);
        if (!side[i].empty()) line += "   " + side[i];
        lines.push_back(line + "\n");
    }
    lines.push_back("\n");
    lines.push_back(label_line("Pool", inputs.pool));
    lines.push_back(label_line("Address", abbreviate_address(inputs.address)));
    lines.push_back(label_line("Worker", inputs.worker));
    lines.push_back(label_line("Cards", cards_text(inputs.gpu_labels)));
    lines.push_back(label_line("Kernel", kernel_text(inputs)));
    lines.push_back("\n");
    const bool dev_fee_on = inputs.dev_fee.has_dev_address && inputs.dev_fee.window_s != 0;
    const std::string dev_fee = dev_fee_on
                                    ? fmt::format("dev fee: {}% (mining time)", DEV_FEE_PERCENT)
                                    : fmt::format("dev fee: DISABLED ({}=1 + --no-dev-fee, internal rig)",
                                                  INTERNAL_RIG_VARIABLE);
    lines.push_back(ui_paint(dev_fee, ORANGE) + "\n");
    return lines;
}

void print_banner(const BannerInputs& inputs) {
    for (const std::string& line : banner_lines(inputs)) std::fputs(line.c_str(), stdout);
}
