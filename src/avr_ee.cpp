#include <algorithm>
#include <cerrno>
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
constexpr int EXIT_OUTPUT_FAILED = 1;    // the address was settled, but the image or the line did not get out
constexpr int EXIT_COUNTER_REFUSED = 2;  // no address: nothing was written to either stream

void report(const error& failure)
{
    constexpr std::string_view PREFIX = "avr_ee: ";
    std::array<char, PREFIX.size() + error::CAPACITY + 1> line;
    auto end = std::copy(PREFIX.begin(), PREFIX.end(), line.begin());
    end = std::copy(failure.message().begin(), failure.message().end(), end);
    *end++ = '\n';
    (void)write_all(STDERR_FILENO, {line.begin(), end});  // nowhere left to report a failure to
}

outcome<std::tm> local_now()
{
    std::time_t now = std::time(nullptr);
    std::tm local{};
    if (now == static_cast<std::time_t>(-1) || ::localtime_r(&now, &local) == nullptr)
        return error("cannot read the date", "local time", std::strerror(errno));
    return local;
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
    std::optional<mac_address> mac = argc > 1 ? parse_mac_arg(argv[1]) : std::nullopt;
    if (!mac) {
        auto allocated = allocate_mac(COUNTER_PATH);
        if (!allocated.ok()) {
            report(allocated.failure());
            return EXIT_COUNTER_REFUSED;
        }
        mac = allocated.value();
    }

    auto today = local_now();
    if (!today.ok()) {
        report(today.failure());
        return EXIT_OUTPUT_FAILED;
    }
    std::optional<error> failure = write_ee_image(*mac, today.value());
    if (!failure)
        failure = write_mac_line(*mac);
    if (failure) {
        report(*failure);
        return EXIT_OUTPUT_FAILED;
    }
    return EXIT_SUCCESS;
}
