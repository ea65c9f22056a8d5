#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <expected>
#include <optional>
#include <span>

#include "error.hpp"
#include "mac.hpp"

// The stations are 32-bit: without this, the clock cannot be read after
// January 2038.
static_assert(sizeof(std::time_t) >= 8, "build with -D_TIME_BITS=64");

namespace avr_ee {

// The board's AVR EEPROM: the address at the start, the date of the run at
// 0x91, every other byte erased.
inline constexpr std::size_t EE_IMAGE_SIZE = 256;
inline constexpr std::uint8_t EE_FILL = 0xFF;
inline constexpr std::size_t EE_MAC_OFFSET = 0x00;
inline constexpr std::size_t EE_MONTH_OFFSET = 0x91;    // 1 to 12
inline constexpr std::size_t EE_DAY_OFFSET = 0x92;      // 1 to 31
inline constexpr std::size_t EE_YEAR_HI_OFFSET = 0x93;  // full year, big-endian
inline constexpr std::size_t EE_YEAR_LO_OFFSET = 0x94;

using ee_image = std::array<std::uint8_t, EE_IMAGE_SIZE>;

// The calendar date an image carries.
struct date_stamp {
    int year;   // e.g. 2026
    int month;  // 1 to 12
    int day;    // 1 to 31

    auto operator<=>(const date_stamp&) const = default;  // earlier dates first
};

// The date of LOCAL_TIME, a broken-down local calendar time.
date_stamp make_date_stamp(const std::tm& local_time);

// The local calendar date at WHEN, under the system's time zone (TZ,
// /etc/localtime). Reads no clock.
std::expected<date_stamp, error> local_date(std::time_t when);

// The image for MAC and DATE. Pure: reads no clock.
ee_image build_ee_image(const mac_address& mac, const date_stamp& date);

// DATE as YYYY-MM-DD, the year in at least four digits.
fixed_text format_date(const date_stamp& date);

// What a board's EEPROM holds, as decode_ee_image reads it.
struct ee_contents {
    mac_address mac;
    // None for a write cut short after the address: bytes 0 to 5 hold it,
    // the year is still erased, and so is every byte but the month and the
    // day.
    std::optional<date_stamp> date;
};

// The image in DUMP, a raw read-back of the EEPROM, read as build_ee_image's
// inverse: its first EE_IMAGE_SIZE bytes are the image, and what follows (the
// rest of a larger part's EEPROM) is not examined. Any six octets are an
// address. Fails with why DUMP is not an image of this tool's, worded as the
// reason of a diagnostic: Intel HEX or S-record text, fewer than
// EE_IMAGE_SIZE bytes, a blank EEPROM, a fill byte other than EE_FILL, a
// month or day no calendar has, or a write cut short whose address may be
// cut short too (its last octet erased). Pure.
std::expected<ee_contents, fixed_text> decode_ee_image(std::span<const std::uint8_t> dump);

// Writes the image for MAC and DATE to standard error, whole, in as few
// writes as the stream allows. Empty when it got out.
std::expected<void, error> write_ee_image(const mac_address& mac, const date_stamp& date);

}  // namespace avr_ee
