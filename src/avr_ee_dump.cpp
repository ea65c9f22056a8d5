#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <unistd.h>

#include "ee_image.hpp"
#include "error.hpp"
#include "mac.hpp"
#include "program.hpp"
#include "unique_fd.hpp"

using namespace avr_ee;

namespace {

constexpr int EXIT_OUTPUT_FAILED = 1;  // the line could not be written or closed
constexpr int EXIT_REFUSED = 2;        // not an image of avr_ee's, or a usage error: nothing printed
constexpr int EXIT_UNFINISHED = 3;     // a write cut short after the address: the address alone printed
constexpr std::string_view PROGRAM = "avr_ee_dump";

constexpr std::string_view USAGE = "usage: avr_ee_dump [FILE]\n"
                                   "       avr_ee_dump --help | --version\n";
constexpr std::string_view HELP =
    "Decodes the EEPROM image avr_ee wrote, from a raw dump of the board's EEPROM\n"
    "(avrdude -U eeprom:r:FILE:r) in FILE, or on standard input when FILE is absent\n"
    "or -, and prints its address and date: 02:C4:7B:00:00:2B 2026-12-07\n"
    "\n"
    "Exit status: 0 decoded; 1 the line could not be written; 2 not an image of\n"
    "avr_ee's (blank, too short, other data, text), unreadable, or a usage error;\n"
    "3 a write cut short after the address: the address alone is printed.\n"
    "See avr_ee_dump(1).\n";

constexpr std::string_view WRITE_FAILED = "cannot write";

// Reads the start of the dump at PATH (standard input for "-") into IMAGE, as
// much as it holds up to IMAGE's size: what follows is not the image's.
// Returns how many bytes came.
std::expected<std::size_t, error> read_dump(const char* path, std::string_view name, ee_image& image)
{
    bool standard_input = std::string_view(path) == "-";
    unique_fd file{standard_input ? -1 : ::open(path, O_RDONLY | O_CLOEXEC)};  // read only: its close loses nothing
    int fd = standard_input ? STDIN_FILENO : file.get();
    if (fd < 0)
        return std::unexpected(error("cannot read", name, std::strerror(errno)));
    std::size_t size = 0;
    int err = 0;
    while (size < image.size() && err == 0) {
        ssize_t n = ::read(fd, image.data() + size, image.size() - size);
        if (n > 0)
            size += static_cast<std::size_t>(n);
        else if (n == 0)
            break;
        else if (errno != EINTR)
            err = errno;
    }
    if (err)
        return std::unexpected(error("cannot read", name, std::strerror(err)));
    return size;
}

}  // namespace

// avr_ee_dump [FILE]: reads back what avr_ee wrote into a board. It decodes
// the EEPROM image at the start of a raw dump of the board's EEPROM and
// prints the address and the date, or says why the dump is not such an
// image. It changes nothing.
int main(int argc, char* argv[])
{
    ignore_write_signals();  // a failed write is status 1, not a death by signal

    const char* path = argc > 1 ? argv[1] : "-";
    std::string_view arg = path;
    int status = EXIT_SUCCESS;
    std::expected<void, error> printed;
    if (argc > 2 || (arg.starts_with('-') && arg != "-" && arg != "--help" && arg != "--version")) {
        report(PROGRAM, argc > 2 ? error("too many arguments", argv[2], "give one FILE at most")
                                 : error("unknown option", arg, "give FILE, -, --help or --version"));
        (void)write_all(STDERR_FILENO, {USAGE.data(), USAGE.size()});
        return EXIT_REFUSED;
    }
    if (arg == "--help") {
        printed = print_and_close({USAGE, HELP}, WRITE_FAILED, WRITE_FAILED);
    } else if (arg == "--version") {
        printed = print_and_close({"avr_ee_dump " AVR_EE_VERSION "\n"}, WRITE_FAILED, WRITE_FAILED);
    } else {
        std::string_view name = arg == "-" ? "standard input" : arg;
        ee_image image;
        auto size = read_dump(path, name, image);
        if (!size) {
            report(PROGRAM, size.error());
            return EXIT_REFUSED;
        }
        auto contents = decode_ee_image(std::span(image).first(*size));
        if (!contents) {
            report(PROGRAM, error("not an avr_ee image", name, contents.error().view()));
            return EXIT_REFUSED;
        }
        mac_line line = format_mac_line(contents->mac);
        std::string_view address = address_text(line);
        if (contents->date) {
            printed = print_and_close({address, " ", format_date(*contents->date).view(), "\n"}, WRITE_FAILED, WRITE_FAILED);
        } else {
            report(PROGRAM, error("interrupted write", name, address)
                                << " and no date after it; the station finishes it: run it for this board");
            printed = print_and_close({std::string_view(line.data(), line.size())}, WRITE_FAILED, WRITE_FAILED);
            status = EXIT_UNFINISHED;
        }
    }
    if (!printed) {
        report(PROGRAM, printed.error());
        return EXIT_OUTPUT_FAILED;
    }
    return status;
}
