#include "books_record.hpp"

#include <array>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "hex_scan.hpp"

namespace avr_ee {
namespace {

// The order fields were written in is kept, so that every line reads the
// same way and starts with RECORD_OPENING.
using ordered = nlohmann::ordered_json;
using json = nlohmann::json;

constexpr std::array<std::string_view, 6> EVENT_NAMES{"issued", "programmed", "labelled",
                                                       "spent",  "set-aside",  "refused"};

std::string address_string(const mac_address& mac)
{
    return std::string(address_text(format_mac_line(mac)));
}

// The string at KEY of OBJECT, if it is one. The library's own accessors
// would throw on another type, and this code is built without exceptions.
const std::string* string_at(const json& object, const char* key)
{
    auto it = object.find(key);
    return it != object.end() && it->is_string() ? it->get_ptr<const std::string*>() : nullptr;
}

}  // namespace

std::string_view event_name(book_event event) noexcept
{
    return EVENT_NAMES[static_cast<std::size_t>(event)];
}

std::optional<book_event> parse_event(std::string_view name) noexcept
{
    for (std::size_t i = 0; i < EVENT_NAMES.size(); ++i)
        if (EVENT_NAMES[i] == name)
            return static_cast<book_event>(i);
    return std::nullopt;
}

std::optional<mac_address> parse_book_address(std::string_view text) noexcept
{
    if (text.size() != 17)
        return std::nullopt;
    mac_address mac{};
    for (std::size_t i = 0; i < mac.size(); ++i) {
        if (i > 0 && text[3 * i - 1] != ':')
            return std::nullopt;
        int hi = hex_value(text[3 * i]), lo = hex_value(text[3 * i + 1]);
        if (hi < 0 || lo < 0)
            return std::nullopt;
        mac[i] = static_cast<std::uint8_t>(hi << 4 | lo);
    }
    return mac;
}

std::optional<date_stamp> parse_book_date(std::string_view text) noexcept
{
    if (text.size() != 10 || text[4] != '-' || text[7] != '-')
        return std::nullopt;
    auto number = [&](std::size_t from, std::size_t n) {
        int value = 0;
        for (std::size_t i = from; i < from + n; ++i) {
            if (text[i] < '0' || text[i] > '9')
                return -1;
            value = value * 10 + (text[i] - '0');
        }
        return value;
    };
    date_stamp date{number(0, 4), number(5, 2), number(8, 2)};
    if (date.year < 0 || date.month < 1 || date.month > 12 || date.day < 1)
        return std::nullopt;
    static constexpr int DAYS[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (date.year % 4 == 0 && date.year % 100 != 0) || date.year % 400 == 0;
    if (date.day > DAYS[date.month - 1] || (date.month == 2 && date.day == 29 && !leap))
        return std::nullopt;
    return date;
}

std::string utc_time(std::time_t when)
{
    std::tm t{};
    std::array<char, 40> buf{};
    if (!::gmtime_r(&when, &t))
        return "0000-00-00T00:00:00Z";
    std::snprintf(buf.data(), buf.size(), "%04d-%02d-%02dT%02d:%02d:%02dZ", t.tm_year + 1900, t.tm_mon + 1,
                  t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    return buf.data();
}

std::string format_record(const book_record& record)
{
    ordered line;
    line["time"] = record.time;
    line["station"] = record.station;
    line["port"] = record.port;
    line["run"] = record.run;
    line["address"] = address_string(record.address);
    line["event"] = std::string(event_name(record.event));
    if (record.reads_back) {
        ordered back;
        back["address"] = address_string(record.reads_back->address);
        if (record.reads_back->date)
            back["date"] = std::string(format_date(*record.reads_back->date).view());
        line["reads_back"] = std::move(back);
    }
    if (record.why)
        line["why"] = *record.why;
    if (record.source)
        line["source"] = *record.source;
    return line.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

std::optional<book_record> parse_record(std::string_view line)
{
    json object = json::parse(line.begin(), line.end(), nullptr, false);
    if (object.is_discarded() || !object.is_object())
        return std::nullopt;
    book_record record;
    const std::string* fields[] = {string_at(object, "time"), string_at(object, "station"),
                                   string_at(object, "port"), string_at(object, "run"),
                                   string_at(object, "address"), string_at(object, "event")};
    for (const std::string* field : fields)
        if (!field)
            return std::nullopt;
    record.time = *fields[0];
    record.station = *fields[1];
    record.port = *fields[2];
    record.run = *fields[3];
    auto address = parse_book_address(*fields[4]);
    auto event = parse_event(*fields[5]);
    if (!address || !event)
        return std::nullopt;
    record.address = *address;
    record.event = *event;
    if (auto back = object.find("reads_back"); back != object.end()) {
        const std::string* back_address = back->is_object() ? string_at(*back, "address") : nullptr;
        auto held = back_address ? parse_book_address(*back_address) : std::nullopt;
        if (!held)
            return std::nullopt;
        record.reads_back = board_reading{*held, std::nullopt};
        if (const std::string* date = string_at(*back, "date")) {
            record.reads_back->date = parse_book_date(*date);
            if (!record.reads_back->date)
                return std::nullopt;
        }
    }
    if (const std::string* why = string_at(object, "why"))
        record.why = *why;
    if (const std::string* source = string_at(object, "source"))
        record.source = *source;
    return record;
}

}  // namespace avr_ee
