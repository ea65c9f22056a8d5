#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "books_check.hpp"
#include "books_command.hpp"
#include "books_file.hpp"
#include "books_record.hpp"
#include "station_log.hpp"

using namespace avr_ee;

namespace {

book_record rec(const char* address, book_event event, const char* time = "2026-12-09T10:00:00Z",
                const char* station = "s1")
{
    book_record r;
    r.time = time;
    r.station = station;
    r.run = "1";
    r.address = *parse_book_address(address);
    r.event = event;
    if (event == book_event::programmed || event == book_event::set_aside)
        r.reads_back = board_reading{r.address, date_stamp{2026, 12, 9}};
    return r;
}

const std::string A = format_record(rec("02:C4:7B:00:00:01", book_event::issued));
const std::string B = format_record(rec("02:C4:7B:00:00:01", book_event::programmed));

struct range_case {
    const char* name;
    std::string text;
    std::size_t records;
    std::vector<std::size_t> torn_lines;
};

// A crash mid-append leaves a line cut short, with or without the record
// appended after it on the same line; neither costs a later record.
TEST(Books, ReadsPastTornRecords)
{
    const range_case cases[] = {
        {"whole", A + B, 2, {}},
        {"torn at the end", A + B.substr(0, 40), 1, {2}},
        {"torn, then ended by the next append", A.substr(0, 30) + "\n" + B, 1, {1}},
        {"torn, the next record on its line", A.substr(0, 30) + B, 1, {1}},
        {"not JSON", "hello\n" + B, 1, {1}},
        {"a why holding the opening",
         format_record([] { auto r = rec("02:C4:7B:00:00:02", book_event::spent); r.why = "{\"time\":\""; return r; }()),
         1, {}},
        {"a record with a field missing", "{\"time\":\"x\",\"station\":\"s\"}\n", 0, {1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        range_contents got = parse_range(c.text, "f");
        EXPECT_EQ(got.records.size(), c.records);
        std::vector<std::size_t> lines;
        for (const auto& t : got.torn)
            lines.push_back(t.line);
        EXPECT_EQ(lines, c.torn_lines);
    }
    EXPECT_EQ(parse_range(A.substr(0, 30) + B + B, "f", "02:C4:7B:00:00:09").torn.size(), 1u)
        << "a look-up of another address sees a torn record by its shape";
    book_record odd = rec("02:C4:7B:00:00:03", book_event::refused);
    odd.why = "\xff bad";
    odd.reads_back = board_reading{odd.address, std::nullopt};
    auto back = parse_record(format_record(odd));
    ASSERT_TRUE(back);
    EXPECT_EQ(*back->why, "\xef\xbf\xbd bad");
    EXPECT_FALSE(back->reads_back->date);
}

struct reconcile_case {
    const char* name;
    std::vector<book_record> records;
    std::uint32_t counter;
    std::size_t open, twice, issued_twice;
    bool agrees;
};

TEST(Books, ReconcilesIssuesOutcomesAndTheCounter)
{
    using e = book_event;
    const char* a1 = "02:C4:7B:00:00:01";
    const char* a2 = "02:C4:7B:00:00:02";
    const reconcile_case cases[] = {
        {"programmed", {rec(a1, e::issued), rec(a1, e::programmed), rec(a1, e::labelled)}, 1, 0, 0, 0, true},
        {"labelled alone settles nothing", {rec(a1, e::issued), rec(a1, e::labelled)}, 1, 1, 0, 0, true},
        {"spent and set aside settle", {rec(a1, e::issued), rec(a1, e::spent), rec(a2, e::issued), rec(a2, e::set_aside)},
         2, 0, 0, 0, true},
        {"refused settles nothing", {rec(a1, e::issued), rec(a1, e::refused)}, 1, 1, 0, 0, true},
        {"two boards", {rec(a1, e::issued), rec(a1, e::programmed), rec(a1, e::programmed, "t2", "s2")}, 1, 0, 1, 0, true},
        {"issued twice", {rec(a1, e::issued), rec(a1, e::issued), rec(a1, e::spent)}, 1, 0, 0, 1, true},
        {"counter ahead", {rec(a1, e::issued), rec(a1, e::spent)}, 2, 0, 0, 0, false},
        {"counter behind", {rec(a1, e::issued), rec(a1, e::spent), rec(a2, e::issued), rec(a2, e::spent)}, 1, 0, 0, 0,
         false},
        {"the block's last address", {rec("02:C4:7B:FF:FF:FF", e::issued), rec("02:C4:7B:FF:FF:FF", e::spent)},
         0xFFFFFF, 0, 0, 0, true},
        {"another block's address", {rec("02:C4:7C:00:00:05", e::issued), rec("02:C4:7C:00:00:05", e::spent)}, 0, 0, 0,
         0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        books_findings f;
        reconcile_range(c.records, f);
        EXPECT_EQ(f.open.size(), c.open);
        EXPECT_EQ(f.programmed_twice.size(), c.twice);
        EXPECT_EQ(f.issued_twice.size(), c.issued_twice);
        EXPECT_EQ(!counter_disagrees(f, c.counter, c.counter), c.agrees);
    }
    books_findings f;
    reconcile_range({rec(a1, e::issued), rec(a2, e::issued)}, f);
    EXPECT_FALSE(counter_disagrees(f, 1, 2)) << "a take between the counter's two reads";
}

TEST(Books, ImportsTheStationLog)
{
    const std::string log =
        "2026-12-07T10:00:00+01:00 run 77 started on /dev/ttyUSB0\n"
        "2026-12-07T10:00:01+01:00 02:C4:7B:00:00:01 writing the board on /dev/ttyUSB0\n"
        "2026-12-07T10:00:05+01:00 02:C4:7B:00:00:01 programmed (2026-12-07)\n"
        "2026-12-07T10:00:06+01:00 02:C4:7B:00:00:01 labelled\n"
        "2026-12-07T10:01:00+01:00 02:C4:7B:00:00:02 spent, no board\n"
        "2026-12-07T10:02:00+01:00 02:C4:7B:00:00:03 spent, board set aside: it reads back as: 02:C4:7B:00:00:07 "
        "2026-12-07\n"
        "2026-12-07T10:03:00+01:00 board refused, nothing was done: 02:C4:7B:00:00:09 2026-12-01, an address this "
        "line has not issued or has set aside\n"
        "2026-12-07T10:04:00+01:00 02:C4:7B:00:00:01 already programmed (2026-12-07), kept\n"
        "garbage\n";
    std::string got;
    for (const book_record& r : station_log_records(log, "s.log", "st1"))
        got += std::string(address_text(format_mac_line(r.address))).substr(15) + " " +
               std::string(event_name(r.event)) + " " + r.time + " " + r.port + " " + r.run + " " + *r.source + "\n";
    EXPECT_EQ(got,
              "01 issued 2026-12-07T09:00:01Z /dev/ttyUSB0 77 s.log:2\n"
              "01 programmed 2026-12-07T09:00:05Z /dev/ttyUSB0 77 s.log:3\n"
              "01 labelled 2026-12-07T09:00:06Z /dev/ttyUSB0 77 s.log:4\n"
              "02 issued 2026-12-07T09:01:00Z   s.log:5\n"
              "02 spent 2026-12-07T09:01:00Z   s.log:5\n"
              "03 issued 2026-12-07T09:02:00Z   s.log:6\n"
              "03 set-aside 2026-12-07T09:02:00Z   s.log:6\n"
              "09 refused 2026-12-07T09:03:00Z   s.log:7\n");
}

// What a site's script may not record: an issue, which only a take makes,
// and outcomes that do not say what the board holds or why.
TEST(Books, RefusesRecordsThatSayTooLittle)
{
    const std::vector<std::vector<const char*>> refused = {
        {"record", "02:C4:7B:00:00:01", "issued"},
        {"record", "02:C4:7B:00:00:01", "programmed"},
        {"record", "02:C4:7B:00:00:01", "programmed", "--reads-back", "02:C4:7B:00:00:03", "2026-12-09"},
        {"record", "02:C4:7B:00:00:01", "programmed", "--reads-back", "02:C4:7B:00:00:01", "none"},
        {"record", "02:C4:7B:00:00:01", "set-aside"},
        {"record", "02:C4:7B:00:00:01", "spent"},
        {"record", "02:C4:7B:00:00:01", "spent", "--why", "two\nlines"},
        {"record", "02:C4:7B:00:2A", "labelled"},
        {"record", "02:C4:7B:00:00:01", "labelled", "--run", "1", "--run", "2"},
        {"take"},
        {"export", "--csv", "--jsonl"},
        {"export", "--csv", "--since", "2026-02-30"},
    };
    for (const auto& args : refused)
        EXPECT_FALSE(parse_books_command(static_cast<int>(args.size()), args.data())) << args.size() << args.back();
    std::vector<const char*> ok = {"record", "02:c4:7b:00:00:01", "spent", "--why", "no board"};
    EXPECT_TRUE(parse_books_command(static_cast<int>(ok.size()), ok.data()));
    EXPECT_EQ(range_file("/b", *parse_book_address("02:C4:7B:00:0F:FF")), "/b/02C47B000000.jsonl");
    EXPECT_EQ(range_file("/b", *parse_book_address("02:C4:7B:00:10:00")), "/b/02C47B001000.jsonl");
}

}  // namespace
