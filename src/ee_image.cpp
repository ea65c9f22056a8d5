#include "ee_image.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "hex_scan.hpp"
#include "unique_fd.hpp"

namespace avr_ee {

date_stamp make_date_stamp(const std::tm& local_time)
{
    return {local_time.tm_year + 1900, local_time.tm_mon + 1, local_time.tm_mday};
}

std::expected<date_stamp, error> local_date(std::time_t when)
{
    std::tm local{};
    if (::localtime_r(&when, &local) == nullptr)
        return std::unexpected(error("cannot read the date", "local time", std::strerror(errno)));
    return make_date_stamp(local);
}

ee_image build_ee_image(const mac_address& mac, const date_stamp& date)
{
    ee_image image;
    image.fill(EE_FILL);
    std::copy(mac.begin(), mac.end(), image.begin() + EE_MAC_OFFSET);
    image[EE_MONTH_OFFSET] = static_cast<std::uint8_t>(date.month);
    image[EE_DAY_OFFSET] = static_cast<std::uint8_t>(date.day);
    image[EE_YEAR_HI_OFFSET] = static_cast<std::uint8_t>(date.year >> 8);
    image[EE_YEAR_LO_OFFSET] = static_cast<std::uint8_t>(date.year);
    return image;
}

fixed_text format_date(const date_stamp& date)
{
    auto padded = [](fixed_text& text, int number, int width) -> fixed_text& {
        for (int below = 10; --width > 0; below *= 10)
            if (number < below)
                text << "0";
        return text << static_cast<unsigned long long>(number);
    };
    fixed_text text;
    padded(text, date.year, 4) << "-";
    padded(text, date.month, 2) << "-";
    padded(text, date.day, 2);
    return text;
}

namespace {

// "0x" and BYTE as two uppercase hex digits.
fixed_text& append_hex(fixed_text& text, unsigned byte)
{
    std::array<char, 2> digits{hex_digit(byte >> 4, letter_case::upper), hex_digit(byte, letter_case::upper)};
    return text << "0x" << std::string_view(digits.data(), digits.size());
}

// What avrdude's text formats open with where DUMP does: Intel HEX's first
// record, ":LLAAAATT", or an S-record's "SnLLAAAA". An image cannot open so,
// since its bytes 6 to 8 are EE_FILL. Empty for neither.
std::string_view text_format(std::span<const std::uint8_t> dump)
{
    auto hex_digits = [&](std::size_t from, std::size_t to) {
        return dump.size() >= to && std::all_of(dump.begin() + from, dump.begin() + to, [](std::uint8_t c) {
                   return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
               });
    };
    if (hex_digits(1, 9) && dump[0] == ':')
        return "Intel HEX text (avrdude's :i, an .eep file): read the EEPROM with :r for raw bytes";
    if (hex_digits(2, 8) && dump[0] == 'S' && dump[1] >= '0' && dump[1] <= '9')
        return "Motorola S-record text (avrdude's :s): read the EEPROM with :r for raw bytes";
    return {};
}

int days_in_month(int year, int month)
{
    constexpr int DAYS[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
    return month == 2 && leap ? 29 : DAYS[month - 1];
}

}  // namespace

std::expected<ee_contents, fixed_text> decode_ee_image(std::span<const std::uint8_t> dump)
{
    auto refuse = [](auto&&... parts) {
        fixed_text why;
        (why << ... << parts);
        return std::unexpected(why);
    };
    if (std::string_view text = text_format(dump); !text.empty())
        return refuse(text);
    if (dump.size() < EE_IMAGE_SIZE)
        return refuse(static_cast<unsigned long long>(dump.size()), " bytes, fewer than the image's 256");
    auto image = dump.first(EE_IMAGE_SIZE);
    auto erased = [](std::uint8_t byte) { return byte == EE_FILL; };
    if (std::all_of(image.begin(), image.end(), erased))
        return refuse("blank EEPROM, all 256 bytes 0xFF: never programmed");
    auto is_date = [](std::size_t i) { return i >= EE_MONTH_OFFSET && i <= EE_YEAR_LO_OFFSET; };
    for (std::size_t i = EE_MAC_OFFSET + 6; i < EE_IMAGE_SIZE; ++i) {
        if (!is_date(i) && image[i] != EE_FILL) {
            fixed_text why;
            append_hex(why << "byte ", static_cast<unsigned>(i)) << " is ";
            append_hex(why, image[i]) << ", where the image holds 0xFF";
            return std::unexpected(why);
        }
    }

    ee_contents contents{};
    std::copy_n(image.begin() + EE_MAC_OFFSET, contents.mac.size(), contents.mac.begin());
    // The year written last, a write cut short before it leaves the year
    // erased: 0xFFFF, which no clock gives.
    if (erased(image[EE_YEAR_HI_OFFSET]) && erased(image[EE_YEAR_LO_OFFSET])) {
        // Bytes are written in ascending order: an erased last octet may be
        // one the write never reached.
        if (contents.mac.back() == EE_FILL)
            return refuse("a write cut short: no date, and the address may be cut short too (its last octet "
                          "is 0xFF); the station that wrote it finishes it with the address in its log");
        return contents;
    }
    date_stamp date{image[EE_YEAR_HI_OFFSET] << 8 | image[EE_YEAR_LO_OFFSET], image[EE_MONTH_OFFSET],
                    image[EE_DAY_OFFSET]};
    if (date.month < 1 || date.month > 12)
        return refuse("month ", static_cast<unsigned long long>(date.month), " at 0x91, outside 1 to 12");
    if (int days = days_in_month(date.year, date.month); date.day < 1 || date.day > days) {
        fixed_text month = format_date({date.year, date.month, 1});
        return refuse("day ", static_cast<unsigned long long>(date.day), " at 0x92: ",
                      std::string_view(month.view().data(), month.view().size() - 3), " has ", static_cast<unsigned long long>(days),
                      " days");
    }
    contents.date = date;
    return contents;
}

std::expected<void, error> write_ee_image(const mac_address& mac, const date_stamp& date)
{
    ee_image image = build_ee_image(mac, date);
    std::span<const char> bytes{reinterpret_cast<const char*>(image.data()), image.size()};
    if (int err = write_all(STDERR_FILENO, bytes))
        return std::unexpected(error("cannot write image", "standard error", std::strerror(err)));
    return {};
}

}  // namespace avr_ee
