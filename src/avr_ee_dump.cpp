#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <string_view>
#include <unistd.h>

#include "ee_image.hpp"
#include "io.hpp"
#include "mac.hpp"

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

// Prints TEXTS and closes standard output, so that a failed write-back
// shows too. Returns 0, or the errno of what failed.
int print(std::initializer_list<std::string_view> texts)
{
    for (std::string_view text : texts)
        if (int err = write_all(STDOUT_FILENO, {text.data(), text.size()}))
            return err;
    return ::close(STDOUT_FILENO) == 0 ? 0 : errno;
}

// Reads the start of the dump at PATH (standard input for "-") into IMAGE, as
// much as it holds up to IMAGE's size: what follows is not the image's.
// Returns how many bytes came.
std::expected<std::size_t, error> read_dump(const char* path, std::string_view name, ee_image& image)
{
    bool standard_input = std::string_view(path) == "-";
    int fd = standard_input ? STDIN_FILENO : ::open(path, O_RDONLY | O_CLOEXEC);
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
    if (!standard_input)
        ::close(fd);  // read only: its close loses nothing
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
    // A reader that went away, or a file-size limit, shows as a failed
    // write, not as a death by signal.
    struct sigaction ignore{};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, nullptr);
    ::sigaction(SIGXFSZ, &ignore, nullptr);

    const char* path = argc > 1 ? argv[1] : "-";
    std::string_view arg = path;
    int err = 0, status = EXIT_SUCCESS;
    if (argc > 2 || (arg.starts_with('-') && arg != "-" && arg != "--help" && arg != "--version")) {
        report(PROGRAM, argc > 2 ? error("too many arguments", argv[2], "give one FILE at most")
                                 : error("unknown option", arg, "give FILE, -, --help or --version"));
        (void)write_all(STDERR_FILENO, {USAGE.data(), USAGE.size()});
        return EXIT_REFUSED;
    }
    if (arg == "--help") {
        err = print({USAGE, HELP});
    } else if (arg == "--version") {
        err = print({"avr_ee_dump " AVR_EE_VERSION "\n"});
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
        std::string_view address(line.data(), line.size() - 1);
        if (contents->date) {
            err = print({address, " ", format_date(*contents->date).view(), "\n"});
        } else {
            report(PROGRAM, error("interrupted write", name, address)
                                << " and no date after it; finish it with: avr_ee " << address);
            err = print({std::string_view(line.data(), line.size())});
            status = EXIT_UNFINISHED;
        }
    }
    if (err) {
        report(PROGRAM, error("cannot write", "standard output", std::strerror(err)));
        return EXIT_OUTPUT_FAILED;
    }
    return status;
}
