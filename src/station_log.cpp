#include "station_log.hpp"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <set>

#include "books_file.hpp"
#include "mac_counter.hpp"

namespace avr_ee {
namespace {

// The log's own time, "2026-12-09T18:40:12+01:00" (date --iso-8601=seconds),
// as the books' UTC time.
std::optional<std::string> utc_of(std::string_view t)
{
    if (t.size() != 25 || t[10] != 'T' || (t[19] != '+' && t[19] != '-') || t[22] != ':')
        return std::nullopt;
    auto date = parse_book_date(t.substr(0, 10));
    auto number = [&](std::size_t at) {
        char a = t[at], b = t[at + 1];
        return a >= '0' && a <= '9' && b >= '0' && b <= '9' ? (a - '0') * 10 + (b - '0') : -1;
    };
    int h = number(11), m = number(14), s = number(17), oh = number(20), om = number(23);
    if (!date || t[13] != ':' || t[16] != ':' || h < 0 || h > 23 || m < 0 || m > 59 || s < 0 || s > 60 || oh < 0 ||
        om < 0)
        return std::nullopt;
    std::tm local{};
    local.tm_year = date->year - 1900;
    local.tm_mon = date->month - 1;
    local.tm_mday = date->day;
    local.tm_hour = h;
    local.tm_min = m;
    local.tm_sec = s;
    long offset = (oh * 3600L + om * 60L) * (t[19] == '-' ? -1 : 1);
    return utc_time(::timegm(&local) - offset);
}

// The first word of TEXT, and what follows the blank after it.
std::pair<std::string_view, std::string_view> first_word(std::string_view text)
{
    std::size_t blank = text.find(' ');
    if (blank == std::string_view::npos)
        return {text, {}};
    return {text.substr(0, blank), text.substr(blank + 1)};
}

// What a board read back as, as avr_ee_dump printed it: "ADDRESS DATE" or
// "ADDRESS"; none for anything else (a diagnostic).
std::optional<board_reading> reading_of(std::string_view text)
{
    auto [address, rest] = first_word(text);
    auto mac = parse_book_address(address);
    if (!mac)
        return std::nullopt;
    board_reading reading{*mac, std::nullopt};
    auto [date, more] = first_word(rest);
    std::string_view day = date.substr(0, 10);
    if (auto parsed = parse_book_date(day))
        reading.date = parsed;
    return reading;
}

}  // namespace

std::vector<book_record> station_log_records(std::string_view text, std::string_view path, std::string_view station)
{
    std::vector<book_record> records;
    std::map<std::string, std::string, std::less<>> run_on_port;
    std::map<mac_address, std::pair<std::string, std::string>> port_and_run;
    std::set<mac_address> issued;
    std::uint64_t block = address_number(counter_address(0));
    std::size_t line_number = 0;
    while (!text.empty()) {
        ++line_number;
        std::string_view line = take_line(text);
        auto [stamp, message] = first_word(line);
        auto time = utc_of(stamp);
        if (!time)
            continue;
        auto make = [&](const mac_address& mac, book_event event) {
            book_record r;
            r.time = *time;
            r.station = station;
            if (auto known = port_and_run.find(mac); known != port_and_run.end())
                std::tie(r.port, r.run) = known->second;
            r.address = mac;
            r.event = event;
            r.source = std::string(path) + ":" + std::to_string(line_number);
            return r;
        };
        // The counter handed out each address of its block that the station
        // used: its issue comes first.
        auto with_issue = [&](book_record r) {
            std::uint64_t n = address_number(r.address);
            if (n >= block && n <= block + COUNTER_LAST && issued.insert(r.address).second)
                records.push_back(make(r.address, book_event::issued));
            records.push_back(std::move(r));
        };

        auto [word, rest] = first_word(message);
        if (word == "run") {
            // "run PID started on PORT"
            auto [pid, after] = first_word(rest);
            if (after.starts_with("started on "))
                run_on_port[std::string(after.substr(11))] = pid;
            continue;
        }
        if (word == "board" && rest.starts_with("refused, nothing was done: ")) {
            std::string_view why = rest.substr(27);
            if (auto held = reading_of(why)) {
                book_record r = make(held->address, book_event::refused);
                r.reads_back = held;
                r.why = std::string(why);
                records.push_back(std::move(r));
            }
            continue;
        }
        auto mac = parse_book_address(word);
        if (!mac)
            continue;
        if (rest.starts_with("writing the board on ")) {
            std::string port(rest.substr(21));
            auto run = run_on_port.find(port);
            port_and_run[*mac] = {port, run == run_on_port.end() ? std::string() : run->second};
            if (address_number(*mac) >= block && address_number(*mac) <= block + COUNTER_LAST &&
                issued.insert(*mac).second)
                records.push_back(make(*mac, book_event::issued));
        } else if (rest.starts_with("programmed (") && rest.ends_with(")")) {
            book_record r = make(*mac, book_event::programmed);
            auto date = parse_book_date(rest.substr(12, rest.size() - 13));
            r.reads_back = board_reading{*mac, date};
            with_issue(std::move(r));
        } else if (rest == "labelled") {
            with_issue(make(*mac, book_event::labelled));
        } else if (rest.starts_with("spent, board set aside: ")) {
            book_record r = make(*mac, book_event::set_aside);
            constexpr std::string_view AS = "reads back as: ";
            if (std::size_t at = rest.find(AS); at != std::string_view::npos)
                r.reads_back = reading_of(rest.substr(at + AS.size()));
            r.why = std::string(rest.substr(24));
            with_issue(std::move(r));
        } else if (rest.starts_with("spent, ")) {
            book_record r = make(*mac, book_event::spent);
            r.why = std::string(rest.substr(7));
            with_issue(std::move(r));
        }
    }
    return records;
}

std::expected<std::vector<book_record>, error> read_station_log(const std::string& path, std::string_view station)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::unexpected(error("cannot read log", path, std::strerror(errno)));
    std::string text((std::istreambuf_iterator<char>(in)), {});
    if (in.bad())
        return std::unexpected(error("cannot read log", path, std::strerror(errno)));
    return station_log_records(text, path, station);
}

}  // namespace avr_ee
