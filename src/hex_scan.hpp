#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace avr_ee {

enum class scan_status {
    ok,         // a number was read
    no_number,  // the text does not start with a hexadecimal number
    need_more,  // the text ends before the number does, and more may follow
};

struct hex_scan {
    scan_status status;
    std::uint32_t value;  // valid when status is ok
    std::size_t length;   // characters consumed, white space included
};

enum class letter_case { lower, upper };

// The hexadecimal digit for NIBBLE (0 to 15): lowercase as the counter file
// and the diagnostics write it, uppercase as the MAC line does.
constexpr char hex_digit(unsigned nibble, letter_case letters) noexcept
{
    return (letters == letter_case::upper ? "0123456789ABCDEF" : "0123456789abcdef")[nibble & 0xF];
}

// The value of the hex digit C of either case; -1 when C is none.
constexpr int hex_value(int c) noexcept
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// How many characters at the start of TEXT are white space in the C locale,
// the only one this tool runs in.
std::size_t leading_space(std::string_view text);

// One scanf "%x" conversion at the start of TEXT, read as glibc reads it:
// white space, an optional '+' or '-', an optional 0x or 0X, then hex digits
// of either case. A bare "0x" reads as 0. When WIDTH is non-zero, at most
// WIDTH characters after the white space belong to the number ("%8x").
//
// The value is what a 32-bit strtoul gives: a '-' negates modulo 2^32, and a
// number too large for 32 bits is 0xFFFFFFFF whatever its sign. Unlike the
// host's sscanf, the result is therefore the same on every word size.
//
// AT_EOF says that nothing follows TEXT. Without it, a scan that runs into the
// end of TEXT before the number could end reports need_more.
hex_scan scan_hex(std::string_view text, std::size_t width, bool at_eof);

}  // namespace avr_ee
