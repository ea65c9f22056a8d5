#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <expected>
#include <fcntl.h>
#include <optional>
#include <unistd.h>

#include "clock_check.hpp"
#include "ee_image.hpp"
#include "error.hpp"
#include "mac.hpp"
#include "mac_counter.hpp"
#include "program.hpp"

using namespace avr_ee;

namespace {

// Exit statuses. A script takes the address and the image only after 0.
constexpr int EXIT_OUTPUT_FAILED = 1;  // the address was settled, but the image or the line did not get out
constexpr int EXIT_REFUSED = 2;        // no address: nothing was written to either stream
constexpr std::string_view PROGRAM = "avr_ee";

// Today's local date, read once, before anything else: a clock that cannot be
// read, or was never set, must not cost an address.
std::expected<date_stamp, error> today()
{
    struct timespec ts{};
    if (::clock_gettime(CLOCK_REALTIME, &ts) != 0)
        return std::unexpected(error("cannot read the date", "system clock", std::strerror(errno)));
    return checked_date(ts.tv_sec);
}

constexpr std::string_view NO_ADDRESS_TAKEN = " (no address taken)";

// Whether standard output and standard error can carry the line and the
// image, checked before an address is taken from the counter: one taken for a
// run that cannot deliver it is spent for nothing. A stream that is closed
// (where the counter would be opened instead) or open for reading only cannot;
// nor can a terminal on standard error, whose line discipline alters raw
// bytes (a line feed becomes CR LF).
std::expected<void, error> outputs_usable()
{
    struct stream {
        int fd;
        std::string_view what_failed, name;
    };
    for (auto [fd, what_failed, name] : {stream{STDOUT_FILENO, "cannot write MAC line", "standard output"},
                                         stream{STDERR_FILENO, "cannot write image", "standard error"}}) {
        int flags = ::fcntl(fd, F_GETFL);
        if (flags < 0)
            return std::unexpected(error(what_failed, name, std::strerror(errno)) << NO_ADDRESS_TAKEN);
        if ((flags & O_ACCMODE) == O_RDONLY)
            return std::unexpected(error(what_failed, name, "open for reading only") << NO_ADDRESS_TAKEN);
    }
    if (::isatty(STDERR_FILENO))
        return std::unexpected(error("cannot write image", "standard error",
                                     "a terminal, which alters raw bytes; send it to a file")
                               << NO_ADDRESS_TAKEN);
    return {};
}

// The line goes out only after the image attempt.
std::expected<void, error> write_mac_line(const mac_address& mac)
{
    mac_line line = format_mac_line(mac);
    return print_and_close({std::string_view(line.data(), line.size())}, "cannot write MAC line", "cannot close");
}

}  // namespace

// avr_ee [MAC]: serves one board on the production line. It settles the
// board's MAC address, from the first argument or as the next address of the
// production counter's block, writes the board's 256-byte AVR EEPROM image
// with that address and today's local date raw to standard error, and prints
// the address as one line on standard output. A mistyped argument is not an
// error: the run takes the next address from the counter instead.
int main(int argc, char* argv[])
{
    ignore_write_signals();  // a failed write is status 1, not a death by signal

    auto date = today();
    if (!date) {
        report(PROGRAM, date.error());
        return EXIT_REFUSED;
    }

    std::optional<mac_address> mac = argc > 1 ? parse_mac_arg(argv[1]) : std::nullopt;
    bool allocated = !mac;
    if (allocated) {
        if (auto usable = outputs_usable(); !usable) {
            report(PROGRAM, usable.error());
            return EXIT_REFUSED;
        }
        auto next = allocate_mac(COUNTER_PATH);
        if (!next) {
            report(PROGRAM, next.error());
            return EXIT_REFUSED;
        }
        mac = *next;
    }

    // The line goes out after the image attempt whatever became of the
    // image: where the image could not be written, its diagnostic is most
    // likely lost with it, and the line is how the station's log learns which
    // address was spent on no board. The status says the run failed.
    auto image = write_ee_image(*mac, *date);
    auto line = write_mac_line(*mac);
    if (!image || !line) {
        error failure = image ? line.error() : image.error();
        if (allocated) {
            failure << " (" << address_text(format_mac_line(*mac)) << " is spent)";
        }
        report(PROGRAM, failure);
        return EXIT_OUTPUT_FAILED;
    }
    return EXIT_SUCCESS;
}
