// PCI bus ids as "domain:bus:device.function" in hex, e.g. "0000:01:00.0".
// The runtime writes a 4-digit domain and NVML an 8-digit one, so ids are
// compared by value, not as text.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace sim {

struct PciAddress {
    unsigned domain, bus, device, function;
    bool operator==(const PciAddress&) const = default;
};

namespace detail {

// Takes 1 to `max_digits` hex digits from the front of `text`.
inline std::optional<unsigned> take_hex(std::string_view& text, std::size_t max_digits) {
    unsigned value = 0;
    std::size_t n = 0;
    for (; n < text.size() && n < max_digits; ++n) {
        const char c = text[n];
        unsigned digit;
        if (c >= '0' && c <= '9') digit = static_cast<unsigned>(c - '0');
        else if (c >= 'a' && c <= 'f') digit = static_cast<unsigned>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F') digit = static_cast<unsigned>(c - 'A' + 10);
        else break;
        value = value * 16 + digit;
    }
    if (n == 0) return std::nullopt;
    text.remove_prefix(n);
    return value;
}

inline bool take_char(std::string_view& text, char c) {
    if (text.empty() || text.front() != c) return false;
    text.remove_prefix(1);
    return true;
}

}  // namespace detail

inline std::optional<PciAddress> parse_pci_bus_id(std::string_view text) {
    using detail::take_char;
    using detail::take_hex;
    const auto domain = take_hex(text, 8);
    if (!domain || !take_char(text, ':')) return std::nullopt;
    const auto bus = take_hex(text, 2);
    if (!bus || !take_char(text, ':')) return std::nullopt;
    const auto device = take_hex(text, 2);
    if (!device || *device > 0x1f || !take_char(text, '.')) return std::nullopt;
    const auto function = take_hex(text, 1);
    if (!function || *function > 7 || !text.empty()) return std::nullopt;
    return PciAddress{*domain, *bus, *device, *function};
}

}  // namespace sim
