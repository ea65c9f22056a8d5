#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
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
