#pragma once

#include <ctime>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "books_file.hpp"
#include "books_record.hpp"
#include "error.hpp"

namespace avr_ee {

// avr_ee_books VERB: the line's books of every address, beside the counter.

enum class books_verb { take, record, show, check, export_records, import_logs, help, version };

struct books_request {
    books_verb what = books_verb::help;
    std::optional<std::string> port, run;   // take, record
    mac_address address{};                  // record, show
    book_event event = book_event::issued;  // record
    std::optional<board_reading> reads_back;
    std::optional<std::string> why;
    bool csv = false;  // export: CSV, else JSON lines
    std::optional<std::string> since, until;  // export: YYYY-MM-DD, UTC, inclusive
    std::optional<std::string> station;       // import
    std::vector<std::string> logs;            // import
};

inline constexpr std::string_view BOOKS_USAGE =
    "usage: avr_ee_books take --port PORT [--run RUN]\n"
    "       avr_ee_books record ADDRESS EVENT [--reads-back ADDRESS DATE] [--why TEXT] [--port PORT] [--run RUN]\n"
    "       avr_ee_books show ADDRESS\n"
    "       avr_ee_books check\n"
    "       avr_ee_books export --csv | --jsonl [--since DATE] [--until DATE]\n"
    "       avr_ee_books import [--station NAME] LOG...\n"
    "       avr_ee_books --help | --version\n";

inline constexpr std::string_view BOOKS_HELP =
    "Keeps the line's books: a record of what became of every MAC address, in\n"
    "/var/qv-production/books beside the counter, under the counter's locks.\n"
    "\n"
    "  take      take the counter's next address and record it issued, under one lock\n"
    "  record    record an event of an address: programmed, labelled, spent, set-aside\n"
    "            or refused (DATE is YYYY-MM-DD, or none for a board with no date)\n"
    "  show      an address's records, oldest first\n"
    "  check     every issued address with no outcome, any programmed twice, the counter\n"
    "  export    every record, as CSV or JSON lines, by UTC date\n"
    "  import    the lines of station logs written before the books\n"
    "\n"
    "Exit status: 0 done (check: all settled; show: records found); 1 check found\n"
    "something open or wrong, show found no record, or a step failed after the books\n"
    "or the counter were changed; 2 refused or a usage error, with nothing changed.\n"
    "See avr_ee_books(1).\n";

// The request in ARGS, the arguments after the program's name; fails with
// what is wrong on a usage error.
std::expected<books_request, error> parse_books_command(int argc, const char* const* args);

// What main read for the run: the clock, the host name, and the run a record
// names when none is given (the caller's process).
struct books_context {
    std::time_t now = 0;
    std::string station;
    std::string run;
    const char* counter_path = nullptr;
    const char* books_dir = BOOKS_DIR;
};

struct books_result {
    std::string out;     // what goes to standard output
    bool clean = true;   // false: check found something, show found nothing
    std::vector<torn_record> torn;  // lines read past, for main's warnings
};

// Carries out REQUEST. Fails with everything as it was, unless the error
// says changed().
std::expected<books_result, error> run_books_command(const books_request& request, const books_context& context);

}  // namespace avr_ee
