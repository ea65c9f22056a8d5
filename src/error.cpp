#include "error.hpp"

#include <algorithm>
#include <array>
#include <unistd.h>

#include "hex_scan.hpp"
#include "unique_fd.hpp"

namespace avr_ee {

error::error(std::string_view what_failed, std::string_view path, std::string_view reason) noexcept
{
    text_ << what_failed << ": " << path << ": " << reason;
}

void report(std::string_view program, const error& failure) noexcept
{
    // Four characters at most for each of the message's.
    std::array<char, 32 + 4 * error::CAPACITY + 1> line;
    fixed_text prefix;
    prefix << program.substr(0, 30) << ": ";
    auto end = std::copy(prefix.view().begin(), prefix.view().end(), line.begin());
    for (char c : failure.message()) {
        auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7f) {
            *end++ = c;
        } else if (c == '\n') {
            *end++ = '\\';
            *end++ = 'n';
        } else {
            end = std::copy_n("\\x", 2, end);
            *end++ = hex_digit(byte >> 4, letter_case::lower);
            *end++ = hex_digit(byte, letter_case::lower);
        }
    }
    *end++ = '\n';
    (void)write_all(STDERR_FILENO, {line.begin(), end});  // nowhere left to report a failure to
}

}  // namespace avr_ee
