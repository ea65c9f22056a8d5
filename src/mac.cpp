#include "mac.hpp"

#include "hex_scan.hpp"

namespace avr_ee {

std::optional<mac_address> parse_mac_arg(std::string_view text)
{
    mac_address mac{};
    for (std::size_t i = 0; i < mac.size(); ++i) {
        if (i > 0) {
            if (text.empty() || text.front() != ':')
                return std::nullopt;
            text.remove_prefix(1);
        }
        hex_scan number = scan_hex(text, 0, true);
        if (number.status != scan_status::ok)
            return std::nullopt;
        mac[i] = static_cast<std::uint8_t>(number.value & 0xFF);
        text.remove_prefix(number.length);
    }
    return mac;
}

mac_line format_mac_line(const mac_address& mac)
{
    mac_line line{};
    for (std::size_t i = 0; i < mac.size(); ++i) {
        line[3 * i] = hex_digit(mac[i] >> 4, letter_case::upper);
        line[3 * i + 1] = hex_digit(mac[i], letter_case::upper);
        line[3 * i + 2] = i + 1 < mac.size() ? ':' : '\n';
    }
    return line;
}

}  // namespace avr_ee
