#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/utsname.h>
#include <unistd.h>

#include "books_command.hpp"
#include "counter_file.hpp"
#include "error.hpp"
#include "program.hpp"
#include "unique_fd.hpp"

using namespace avr_ee;

namespace {

constexpr int EXIT_FOUND = 1;    // check: open or wrong; show: no record; or changed, then failed
constexpr int EXIT_REFUSED = 2;  // refused, or a usage error: nothing was changed
constexpr std::string_view PROGRAM = "avr_ee_books";

}  // namespace

// avr_ee_books VERB: the line's books. Takes addresses from the counter and
// records each issue under the counter's own lock, records what became of
// each address, and shows, reconciles, exports and imports the records.
int main(int argc, char* argv[])
{
    ignore_write_signals();  // no death by signal half-way through a record

    auto request = parse_books_command(argc - 1, argv + 1);
    if (!request) {
        report(PROGRAM, request.error());
        (void)write_all(STDERR_FILENO, {BOOKS_USAGE.data(), BOOKS_USAGE.size()});
        return EXIT_REFUSED;
    }
    std::expected<void, error> printed;
    if (request->what == books_verb::help) {
        printed = print_and_close({BOOKS_USAGE, BOOKS_HELP}, "cannot write", "cannot write");
    } else if (request->what == books_verb::version) {
        printed = print_and_close({"avr_ee_books " AVR_EE_VERSION "\n"}, "cannot write", "cannot write");
    } else {
        books_context context;
        struct timespec ts{};
        if (::clock_gettime(CLOCK_REALTIME, &ts) != 0) {
            report(PROGRAM, error("cannot read the date", "system clock", std::strerror(errno)));
            return EXIT_REFUSED;
        }
        context.now = ts.tv_sec;
        struct utsname host{};
        context.station = ::uname(&host) == 0 ? host.nodename : "";
        context.run = std::to_string(::getppid());
        context.counter_path = COUNTER_PATH;
        // An address taken for a run that cannot be told it is spent for
        // nothing.
        if (int flags = ::fcntl(STDOUT_FILENO, F_GETFL); request->what == books_verb::take &&
                                                           (flags < 0 || (flags & O_ACCMODE) == O_RDONLY)) {
            report(PROGRAM, error("cannot write the address", "standard output",
                                  flags < 0 ? std::strerror(errno) : "open for reading only")
                                << " (no address taken)");
            return EXIT_REFUSED;
        }
        auto result = run_books_command(*request, context);
        if (!result) {
            report(PROGRAM, result.error());
            return result.error().changed() ? EXIT_FOUND : EXIT_REFUSED;
        }
        for (const torn_record& torn : result->torn) {
            error warning("warning: torn record skipped", torn.path, "line ");
            report(PROGRAM, warning << static_cast<unsigned long long>(torn.line));
        }
        printed = print_and_close({result->out}, "cannot write", "cannot write");
        if (!printed && request->what == books_verb::take) {
            // Issued in the books, and never heard of by the run: spent.
            books_request spent = *request;
            spent.what = books_verb::record;
            spent.event = book_event::spent;
            spent.address = *parse_book_address(result->out.substr(0, 17));
            spent.why = "its take could not print it: " + std::string(printed.error().message());
            bool recorded = run_books_command(spent, context).has_value();
            printed.error() << " (" << result->out.substr(0, 17) << " is issued, and "
                            << (recorded ? "recorded as spent)" : "is spent: record it so)");
        }
        if (printed && !result->clean)
            return EXIT_FOUND;
    }
    if (!printed) {
        report(PROGRAM, printed.error());
        // A take's address is issued and recorded: it is spent, not lost.
        return EXIT_FOUND;
    }
    return EXIT_SUCCESS;
}
