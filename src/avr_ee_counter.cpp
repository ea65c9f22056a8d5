#include <cerrno>
#include <csignal>
#include <initializer_list>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <unistd.h>

#include "counter_command.hpp"
#include "counter_file.hpp"
#include "io.hpp"

using namespace avr_ee;

namespace {

constexpr int EXIT_PARTLY = 1;    // the counter was changed, but a later step or the output failed
constexpr int EXIT_REFUSED = 2;  // refused, or a usage error: nothing was changed
constexpr std::string_view PROGRAM = "avr_ee_counter";

// Prints TEXTS and closes standard output, so that a failed write-back
// shows too. Returns 0, or the errno of what failed.
int print(std::initializer_list<std::string_view> texts)
{
    for (std::string_view text : texts)
        if (int err = write_all(STDOUT_FILENO, {text.data(), text.size()}))
            return err;
    return ::close(STDOUT_FILENO) == 0 ? 0 : errno;
}

}  // namespace

// avr_ee_counter VERB: the operators' command on the production counter that
// avr_ee hands addresses out from. It shows the counter, advances it past a
// range or provisions it, never creating it where it is not asked to, and
// never setting it back.
int main(int argc, char* argv[])
{
    // A reader that went away, or a file-size limit, shows as a failed
    // write, not as a death by signal half-way through a change.
    struct sigaction ignore{};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, nullptr);
    ::sigaction(SIGXFSZ, &ignore, nullptr);

    auto command = parse_counter_command(argc - 1, argv + 1);
    if (!command) {
        report(PROGRAM, command.error());
        (void)write_all(STDERR_FILENO, {COUNTER_USAGE.data(), COUNTER_USAGE.size()});
        return EXIT_REFUSED;
    }
    int err = 0;
    if (command->what == verb::help) {
        err = print({COUNTER_USAGE, COUNTER_HELP});
    } else if (command->what == verb::version) {
        err = print({"avr_ee_counter " AVR_EE_VERSION "\n"});
    } else {
        auto line = run_counter_command(*command, COUNTER_PATH);
        if (!line) {
            report(PROGRAM, line.error());
            return line.error().changed() ? EXIT_PARTLY : EXIT_REFUSED;
        }
        err = print({line->view(), "\n"});
    }
    if (err) {
        report(PROGRAM, error("cannot write", "standard output", std::strerror(err)));
        return EXIT_PARTLY;
    }
    return EXIT_SUCCESS;
}
