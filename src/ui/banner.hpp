// The start-up banner: the logo, the build, pool, address, worker, cards and
// kernel, and the dev-fee line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// What the banner needs of the dev-fee state: it is on when a dev address
// is set and the dev window is not zero.
struct BannerDevFee {
    bool has_dev_address;
    std::uint64_t window_s;
};

struct BannerInputs {
    std::string pool;                     // as shown: the caller masks its password
    std::string address;                  // as given
    std::string worker;                   // as resolved
    std::vector<std::string> gpu_labels;  // one per GPU of the list, in list order
    std::string kernel;                   // the --kernel text, unchanged
    std::string kernel_kind_name;         // canonical name of the kind it names ("energy" for auto)
    bool no_autotune;
    std::string build_description;
    BannerDevFee dev_fee;
};

// An address of at most 20 bytes whole; a longer one as its first 10
// bytes, "…" and its last 8 (cuts moved off the middle of a character).
std::string abbreviate_address(const std::string& address);

// "{label} ×{n}" when all labels are equal, else "0: A, 1: B, …".
std::string cards_text(const std::vector<std::string>& labels);

std::string kernel_text(const BannerInputs& inputs);

// Every line of the banner, each with its newline.
std::vector<std::string> banner_lines(const BannerInputs& inputs);

// Writes banner_lines on standard output, one write per line.
void print_banner(const BannerInputs& inputs);
