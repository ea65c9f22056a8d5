#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <optional>
#include <string>
#include <unistd.h>

#include "ee_image.hpp"
#include "io.hpp"
#include "mac.hpp"
#include "mac_counter.hpp"

using namespace avr_ee;

namespace {

// Exit statuses. A script takes the address and the image only after 0.
constexpr int EXIT_OUTPUT_FAILED = 1;  // the address was settled, but the image or the line did not get out
constexpr int EXIT_COUNTER_REFUSED = 2;  // no address: nothing was written to either stream

void report(const std::exception& e)
{
    std::string line = std::string("avr_ee: ") + e.what() + '\n';
    (void)write_all(STDERR_FILENO, line);  // nowhere left to report a failure to
}

std::tm local_now()
{
    std::time_t now = std::time(nullptr);
    std::tm local{};
    if (now == static_cast<std::time_t>(-1) || ::localtime_r(&now, &local) == nullptr)
        throw error("cannot read the date", "local time", reason_of(errno));
    return local;
}

// The line goes out only after the whole image; closing standard output here
// catches what a deferred write-back reports.
void write_mac_line(const mac_address& mac)
{
    mac_line line = format_mac_line(mac);
    if (int err = write_all(STDOUT_FILENO, line))
        throw error("cannot write MAC line", "standard output", reason_of(err));
    if (::close(STDOUT_FILENO) != 0)
        throw error("cannot close", "standard output", reason_of(errno));
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
        try {
            mac = allocate_mac(COUNTER_PATH);
        } catch (const std::exception& e) {
            report(e);
            return EXIT_COUNTER_REFUSED;
        }
    }

    try {
        write_ee_image(*mac, local_now());
        write_mac_line(*mac);
    } catch (const std::exception& e) {
        report(e);
        return EXIT_OUTPUT_FAILED;
    }
    return EXIT_SUCCESS;
}
