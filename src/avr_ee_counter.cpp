#include <cstdlib>
#include <string_view>
#include <unistd.h>

#include "counter_command.hpp"
#include "counter_file.hpp"
#include "error.hpp"
#include "program.hpp"
#include "unique_fd.hpp"

using namespace avr_ee;

namespace {

constexpr int EXIT_PARTLY = 1;    // the counter was changed, or the output failed
constexpr int EXIT_REFUSED = 2;  // refused, or a usage error: nothing was changed
constexpr std::string_view PROGRAM = "avr_ee_counter";

}  // namespace

// avr_ee_counter VERB: the operators' command on the production counter that
// avr_ee hands addresses out from. It shows the counter, advances it past a
// range or provisions it, never creating it where it is not asked to, and
// never setting it back.
int main(int argc, char* argv[])
{
    ignore_write_signals();  // no death by signal half-way through a change

    auto request = parse_counter_command(argc - 1, argv + 1);
    if (!request) {
        report(PROGRAM, request.error());
        (void)write_all(STDERR_FILENO, {COUNTER_USAGE.data(), COUNTER_USAGE.size()});
        return EXIT_REFUSED;
    }
    std::expected<void, error> printed;
    switch (request->what) {
    case counter_request::kind::help:
        printed = print_and_close({COUNTER_USAGE, COUNTER_HELP}, "cannot write", "cannot write");
        break;
    case counter_request::kind::version:
        printed = print_and_close({"avr_ee_counter " AVR_EE_VERSION "\n"}, "cannot write", "cannot write");
        break;
    case counter_request::kind::command:
        auto line = run_counter_command(request->command, COUNTER_PATH);
        if (!line) {
            report(PROGRAM, line.error());
            return line.error().changed() ? EXIT_PARTLY : EXIT_REFUSED;
        }
        printed = print_and_close({line->view(), "\n"}, "cannot write", "cannot write");
        break;
    }
    if (!printed) {
        report(PROGRAM, printed.error());
        return EXIT_PARTLY;
    }
    return EXIT_SUCCESS;
}
