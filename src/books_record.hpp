#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "ee_image.hpp"
#include "mac.hpp"

namespace avr_ee {

// One record of the line's books: what became of an address, when, where and
// by which run. A record is one JSON object on one line; records are only
// ever appended.

enum class book_event { issued, programmed, labelled, spent, set_aside, refused };

// The event as the books spell it: "issued", ..., "set-aside", "refused".
std::string_view event_name(book_event event) noexcept;
std::optional<book_event> parse_event(std::string_view name) noexcept;

// Whether EVENT is an outcome of an issued address: once one is recorded, the
// address is settled. Labelled follows programmed, and refused speaks of a
// board, not of an issue.
constexpr bool settles(book_event event) noexcept
{
    return event == book_event::programmed || event == book_event::spent || event == book_event::set_aside;
}

// What a board read back as: an address, and a date unless the write was cut
// short before it.
struct board_reading {
    mac_address address{};
    std::optional<date_stamp> date;
};

struct book_record {
    std::string time;     // UTC, "2026-12-09T18:40:12Z"
    std::string station;  // the host name of the machine that wrote it
    std::string port;     // the programmer's port, "" where none was given
    std::string run;      // the run that wrote it
    mac_address address{};
    book_event event = book_event::issued;
    std::optional<board_reading> reads_back;
    std::optional<std::string> why;     // free text: why an address was spent, or a note
    std::optional<std::string> source;  // "LOG:LINE" for a record imported from a station's log
};

// RECORD as one JSON line, the line feed included. Text that is not UTF-8 is
// stored with U+FFFD in its place, never refused.
std::string format_record(const book_record& record);

// The record on LINE (no line feed), or none when LINE is not one: torn,
// not JSON, or missing a field a record must have.
std::optional<book_record> parse_record(std::string_view line);

// The opening every record's line starts with. A JSON string escapes its
// quotes, so these bytes mark the start of a record wherever they occur: a
// record appended after one torn by a crash is found behind it.
inline constexpr std::string_view RECORD_OPENING = "{\"time\":\"";

// An address in the books' spelling: six pairs of hex digits of either case
// joined by ':', and nothing else. Stricter than avr_ee's argument: a typo
// must not become another board's record.
std::optional<mac_address> parse_book_address(std::string_view text) noexcept;

// "YYYY-MM-DD" with a month and a day some calendar has, or none.
std::optional<date_stamp> parse_book_date(std::string_view text) noexcept;

// The first line of TEXT, without its line feed, which it takes off TEXT.
inline std::string_view take_line(std::string_view& text) noexcept
{
    std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    return line;
}

// WHEN as the books' UTC time, "2026-12-09T18:40:12Z".
std::string utc_time(std::time_t when);

}  // namespace avr_ee
