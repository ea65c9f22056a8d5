#include "hex_scan.hpp"

namespace avr_ee {
namespace {

constexpr int END = -1;

bool is_space(int c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int digit_value(int c)
{
    return hex_value(c);
}

}  // namespace

std::size_t leading_space(std::string_view text)
{
    std::size_t n = 0;
    while (n < text.size() && is_space(static_cast<unsigned char>(text[n])))
        ++n;
    return n;
}

hex_scan scan_hex(std::string_view text, std::size_t width, bool at_eof)
{
    std::size_t i = 0;
    bool starved = false;  // ran into the end of TEXT where the input may go on
    std::size_t limit = std::string_view::npos;
    auto peek = [&]() -> int {
        if (i >= limit)
            return END;
        if (i >= text.size()) {
            starved = !at_eof;
            return END;
        }
        return static_cast<unsigned char>(text[i]);
    };

    while (is_space(peek()))
        ++i;
    if (width != 0)
        limit = i + width;

    int c = peek();
    bool negative = false;
    if (c == '+' || c == '-') {
        negative = c == '-';
        ++i;
        c = peek();
    }

    bool any_digit = false;
    if (c == '0') {
        any_digit = true;
        ++i;
        c = peek();
        if (c == 'x' || c == 'X') {
            ++i;
            c = peek();
        }
    }

    constexpr std::uint64_t MAX32 = 0xFFFFFFFF;
    std::uint64_t value = 0;
    bool too_wide = false;
    for (int d; (d = digit_value(c)) >= 0; c = peek()) {
        any_digit = true;
        ++i;
        value = value * 16 + static_cast<unsigned>(d);
        if (value > MAX32) {
            too_wide = true;
            value = MAX32;  // keeps value * 16 within 64 bits
        }
    }

    if (starved)
        return {scan_status::need_more, 0, i};
    if (!any_digit)
        return {scan_status::no_number, 0, i};
    if (too_wide)
        return {scan_status::ok, static_cast<std::uint32_t>(MAX32), i};
    auto v = static_cast<std::uint32_t>(value);
    return {scan_status::ok, negative ? 0u - v : v, i};
}

}  // namespace avr_ee
