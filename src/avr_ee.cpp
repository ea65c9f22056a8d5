#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <unistd.h>

#include "ee_image.hpp"
#include "io.hpp"
#include "mac.hpp"
#include "mac_counter.hpp"

using namespace avr_ee;

namespace {

// Exit statuses. A script takes the address and the image only after 0.
constexpr int EXIT_OUTPUT_FAILED = 1;  // the address was settled, but the image or the line did not get out
constexpr int EXIT_REFUSED = 2;        // no address: nothing was written to either stream

// The date this release was made. A clock that reads earlier has never been
// set: a station without a real-time clock boots in 1970, and its images
// would carry that date. The check is against the release date's first
// moment anywhere (00:00 at UTC+14), so that no time zone refuses a clock
// that is right.
constexpr date_stamp RELEASE_DATE{2026, 12, 8};
constexpr std::time_t RELEASE_EARLIEST =
    std::chrono::sys_seconds{std::chrono::sys_days{std::chrono::year{RELEASE_DATE.year} /
                                                   static_cast<unsigned>(RELEASE_DATE.month) /
                                                   static_cast<unsigned>(RELEASE_DATE.day)} -
                             std::chrono::hours{14}}
        .time_since_epoch()
        .count();

void report(const error& failure)
{
    constexpr std::string_view PREFIX = "avr_ee: ";
    std::array<char, PREFIX.size() + error::CAPACITY + 1> line;
    auto end = std::copy(PREFIX.begin(), PREFIX.end(), line.begin());
    end = std::copy(failure.message().begin(), failure.message().end(), end);
    *end++ = '\n';
    (void)write_all(STDERR_FILENO, {line.begin(), end});  // nowhere left to report a failure to
}

// Appends DATE as YYYY-MM-DD.
error& append_date(error& e, const date_stamp& date)
{
    auto two_digits = [](int n) { return std::array<char, 2>{char('0' + n / 10 % 10), char('0' + n % 10)}; };
    auto month = two_digits(date.month), day = two_digits(date.day);
    return e << static_cast<unsigned long long>(date.year) << "-" << std::string_view(month.data(), 2) << "-"
             << std::string_view(day.data(), 2);
}

// Today's local date, read once, before anything else: a clock that cannot be
// read, or was never set, must not cost an address.
outcome<date_stamp> today()
{
    std::time_t now = std::time(nullptr);
    if (now == static_cast<std::time_t>(-1))
        return error("cannot read the date", "system clock", std::strerror(errno));
    auto date = local_date(now);
    if (date.ok() && now < RELEASE_EARLIEST) {
        error unset("clock not set", "system clock", "it reads ");
        append_date(unset, date.value()) << ", before this release's date ";
        append_date(unset, RELEASE_DATE) << "; set the date and time";
        return unset;
    }
    return date;
}

// The line goes out only after the whole image; closing standard output here
// catches what a deferred write-back reports.
std::optional<error> write_mac_line(const mac_address& mac)
{
    mac_line line = format_mac_line(mac);
    if (int err = write_all(STDOUT_FILENO, line))
        return error("cannot write MAC line", "standard output", std::strerror(err));
    if (::close(STDOUT_FILENO) != 0)
        return error("cannot close", "standard output", std::strerror(errno));
    return std::nullopt;
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
    // A reader that went away, or a file-size limit, shows as a failed write
    // and so as status 1 with a diagnostic, not as a death by signal.
    struct sigaction ignore{};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, nullptr);
    ::sigaction(SIGXFSZ, &ignore, nullptr);

    auto date = today();
    if (!date.ok()) {
        report(date.failure());
        return EXIT_REFUSED;
    }

    std::optional<mac_address> mac = argc > 1 ? parse_mac_arg(argv[1]) : std::nullopt;
    if (!mac) {
        auto allocated = allocate_mac(COUNTER_PATH);
        if (!allocated.ok()) {
            report(allocated.failure());
            return EXIT_REFUSED;
        }
        mac = allocated.value();
    }

    std::optional<error> failure = write_ee_image(*mac, date.value());
    if (!failure)
        failure = write_mac_line(*mac);
    if (failure) {
        report(*failure);
        return EXIT_OUTPUT_FAILED;
    }
    return EXIT_SUCCESS;
}
