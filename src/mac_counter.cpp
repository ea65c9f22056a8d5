#include "mac_counter.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "hex_scan.hpp"

namespace avr_ee {
namespace {

// The condition texts that name the two refusals production scripts know.
constexpr std::string_view CANNOT_OPEN = "cannot open counter (macfile != ((void *)0))";
constexpr std::string_view USED_UP = "counter block used up (lower <= 0xffffff)";

using counter_text = std::array<char, COUNTER_DIGITS>;

counter_text format_counter(std::uint32_t value)
{
    constexpr std::string_view DIGITS = "0123456789abcdef";
    counter_text text{};
    for (auto it = text.rbegin(); it != text.rend(); ++it, value >>= 4)
        *it = DIGITS[value & 0xF];
    return text;
}

std::string_view view(const counter_text& text)
{
    return {text.data(), text.size()};
}

std::optional<error> open_counter(const char* path, unique_fd& fd)
{
    // O_NONBLOCK and O_NOCTTY keep a FIFO or a terminal at PATH from holding
    // the run up or taking it over before fstat can turn it down.
    fd = unique_fd{::open(path, O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK)};
    if (!fd)
        return error(CANNOT_OPEN, path, std::strerror(errno));
    struct stat st{};
    if (::fstat(fd.get(), &st) != 0)
        return error(CANNOT_OPEN, path, std::strerror(errno));
    if (!S_ISREG(st.st_mode))
        return error(CANNOT_OPEN, path, "not a regular file");
    return std::nullopt;
}

// An exclusive lock on the whole file, however long it grows. Open file
// description locks where the kernel has them, POSIX record locks where not:
// both reach NFS servers, and both go when the descriptor is closed. The wait
// polls, so a holder that never lets go costs a bounded delay and no signal
// handling.
std::optional<error> lock_counter(int fd, const char* path, std::chrono::milliseconds wait)
{
    struct flock whole{};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    int command = F_OFD_SETLK;

    // The wait is counted in the naps taken rather than read from a clock: it
    // can only run long, by what the fcntl calls take.
    std::chrono::milliseconds waited{0};
    std::chrono::milliseconds pause{1};
    for (;;) {
        if (::fcntl(fd, command, &whole) == 0)
            return std::nullopt;
        int err = errno;
        if (err == EINVAL && command == F_OFD_SETLK) {
            command = F_SETLK;
            continue;
        }
        if (err == EINTR)
            continue;
        if (err != EAGAIN && err != EACCES)
            return error("cannot lock counter", path, std::strerror(err));
        if (waited >= wait)
            return error("cannot lock counter", path, "still locked by another run after ")
                   << static_cast<unsigned long long>(wait.count()) << " ms";

        auto nap = std::min(pause, wait - waited);
        struct timespec ts{static_cast<time_t>(nap.count() / 1000), static_cast<long>(nap.count() % 1000 * 1'000'000)};
        while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
        }
        waited += nap;
        pause = std::min(pause * 2, std::chrono::milliseconds{50});
    }
}

// The value at the start of the file, read as fscanf(f, "%08x") would. Usually
// one read(): the eight digits the tool writes end the number by themselves.
outcome<std::uint32_t> read_counter(int fd, const char* path)
{
    std::array<char, 256> buf;
    std::size_t len = 0;
    bool at_eof = false;
    for (;;) {
        hex_scan number = scan_hex({buf.data(), len}, COUNTER_DIGITS, at_eof);
        if (number.status == scan_status::ok)
            return number.value;
        if (number.status == scan_status::no_number)
            return error("cannot read counter", path, "no hexadecimal number at the start");

        if (len == buf.size()) {
            // Only white space fills the buffer before the number is whole,
            // and it counts for nothing: make room by dropping it.
            std::size_t blank = leading_space({buf.data(), len});
            std::copy(buf.begin() + static_cast<std::ptrdiff_t>(blank), buf.end(), buf.begin());
            len -= blank;
        }
        ssize_t n = ::read(fd, buf.data() + len, buf.size() - len);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return error("cannot read counter", path, std::strerror(errno));
        }
        at_eof = n == 0;
        len += static_cast<std::size_t>(n);
    }
}

}  // namespace

outcome<mac_address> allocate_mac(const char* path, std::chrono::milliseconds lock_wait)
{
    unique_fd fd;
    if (auto failure = open_counter(path, fd))
        return *failure;
    if (auto failure = lock_counter(fd.get(), path, lock_wait))
        return *failure;

    auto read = read_counter(fd.get(), path);
    if (!read.ok())
        return read.failure();
    std::uint32_t lower = read.value();
    if (lower > COUNTER_LAST)
        return error(USED_UP, path, "it reads ") << view(format_counter(lower));
    ++lower;

    // Eight digits at offset 0, nothing truncated: bytes after them stay. The
    // value must be on storage before the lock goes with the close, and before
    // any output names the address.
    counter_text text = format_counter(lower);
    if (int err = write_all(fd.get(), text, off_t{0}))
        return error("cannot write counter", path, std::strerror(err));
    if (::fdatasync(fd.get()) != 0)
        return error("cannot flush counter", path, std::strerror(errno));
    if (int err = fd.close())
        return error("cannot close counter", path, std::strerror(err));

    return mac_address{MAC_PREFIX[0],
                       MAC_PREFIX[1],
                       MAC_PREFIX[2],
                       static_cast<std::uint8_t>(lower >> 16),
                       static_cast<std::uint8_t>(lower >> 8),
                       static_cast<std::uint8_t>(lower)};
}

}  // namespace avr_ee
