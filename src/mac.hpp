#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace avr_ee {

// A MAC address, octet 0 first: the first one printed and the one stored at
// image offset 0.
using mac_address = std::array<std::uint8_t, 6>;

// "02:C4:7B:00:00:2B" and a line feed.
inline constexpr std::size_t MAC_LINE_SIZE = 18;
using mac_line = std::array<char, MAC_LINE_SIZE>;

// Reads an address given on the command line the way
// sscanf(text, "%x:%x:%x:%x:%x:%x", ...) does: six numbers (see scan_hex),
// each followed at once by ':' but the last; white space may open each number.
// Octet i is the low eight bits of number i, so 1ff gives FF. Whatever follows
// the sixth number is ignored. Empty unless all six numbers were read.
std::optional<mac_address> parse_mac_arg(std::string_view text);

// The MAC line: six octets as uppercase hex pairs joined by ':', a line feed.
mac_line format_mac_line(const mac_address& mac);

// The address in LINE, without the line feed: "02:C4:7B:00:00:2B".
inline std::string_view address_text(const mac_line& line) noexcept
{
    return {line.data(), line.size() - 1};
}

}  // namespace avr_ee
