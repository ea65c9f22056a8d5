#include "mac_counter.hpp"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <algorithm>
#include <optional>
#include <thread>
#include <unistd.h>

#include "hex_scan.hpp"
#include "io.hpp"

namespace avr_ee {
namespace {

// The condition texts that name the two refusals production scripts know.
constexpr std::string_view CANNOT_OPEN = "cannot open counter (macfile != ((void *)0))";
constexpr std::string_view USED_UP = "counter block used up (lower <= 0xffffff)";

std::array<char, COUNTER_DIGITS> format_counter(std::uint32_t value)
{
    constexpr std::string_view DIGITS = "0123456789abcdef";
    std::array<char, COUNTER_DIGITS> text{};
    for (auto it = text.rbegin(); it != text.rend(); ++it, value >>= 4)
        *it = DIGITS[value & 0xF];
    return text;
}

std::string describe(std::chrono::milliseconds wait)
{
    if (wait.count() % 1000 == 0)
        return std::to_string(wait.count() / 1000) + " s";
    return std::to_string(wait.count()) + " ms";
}

unique_fd open_counter(const char* path)
{
    // O_NONBLOCK and O_NOCTTY keep a FIFO or a terminal at PATH from holding
    // the run up or taking it over before fstat can turn it down.
    unique_fd fd{::open(path, O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK)};
    if (!fd)
        throw error(CANNOT_OPEN, path, reason_of(errno));
    struct stat st{};
    if (::fstat(fd.get(), &st) != 0)
        throw error(CANNOT_OPEN, path, reason_of(errno));
    if (!S_ISREG(st.st_mode))
        throw error(CANNOT_OPEN, path, "not a regular file");
    return fd;
}

// An exclusive lock on the whole file, however long it grows. Open file
// description locks where the kernel has them, POSIX record locks where not:
// both reach NFS servers, and both go when the descriptor is closed. The wait
// polls, so a lock holder that never lets go costs a bounded delay and no
// signal handling.
void lock_counter(int fd, const char* path, std::chrono::milliseconds wait)
{
    struct flock whole{};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    int command = F_OFD_SETLK;

    using clock = std::chrono::steady_clock;
    std::optional<clock::time_point> deadline;
    std::chrono::milliseconds pause{1};
    for (;;) {
        if (::fcntl(fd, command, &whole) == 0)
            return;
        int err = errno;
        if (err == EINVAL && command == F_OFD_SETLK) {
            command = F_SETLK;
            continue;
        }
        if (err == EINTR)
            continue;
        if (err != EAGAIN && err != EACCES)
            throw error("cannot lock counter", path, reason_of(err));

        auto now = clock::now();
        if (!deadline)
            deadline = now + wait;
        if (now >= *deadline)
            throw error("cannot lock counter", path, "still locked by another run after " + describe(wait));
        std::this_thread::sleep_for(std::min<clock::duration>(pause, *deadline - now));
        pause = std::min(pause * 2, std::chrono::milliseconds{50});
    }
}

// The value at the start of the file, read as fscanf(f, "%08x") would. Usually
// one read(): the eight digits the tool writes end the number by themselves.
std::uint32_t read_counter(int fd, const char* path)
{
    std::string text;
    bool at_eof = false;
    for (;;) {
        hex_scan number = scan_hex(text, COUNTER_DIGITS, at_eof);
        if (number.status == scan_status::ok)
            return number.value;
        if (number.status == scan_status::no_number)
            throw error("cannot read counter", path, "no hexadecimal number at the start");

        char buf[256];
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw error("cannot read counter", path, reason_of(errno));
        }
        if (n == 0)
            at_eof = true;
        text.append(buf, static_cast<std::size_t>(n));
    }
}

}  // namespace

mac_address allocate_mac(const char* path, std::chrono::milliseconds lock_wait)
{
    unique_fd fd = open_counter(path);
    lock_counter(fd.get(), path, lock_wait);

    std::uint32_t lower = read_counter(fd.get(), path);
    if (lower > COUNTER_LAST) {
        auto shown = format_counter(lower);
        throw error(USED_UP, path, "it reads " + std::string(shown.data(), shown.size()));
    }
    ++lower;

    // Eight digits at offset 0, nothing truncated: bytes after them stay. The
    // value must be on storage before the lock goes with the close, and before
    // any output names the address.
    auto text = format_counter(lower);
    if (int err = write_all(fd.get(), text, off_t{0}))
        throw error("cannot write counter", path, reason_of(err));
    if (::fdatasync(fd.get()) != 0)
        throw error("cannot flush counter", path, reason_of(errno));
    if (int err = fd.close())
        throw error("cannot close counter", path, reason_of(err));

    return {MAC_PREFIX[0],
            MAC_PREFIX[1],
            MAC_PREFIX[2],
            static_cast<std::uint8_t>(lower >> 16),
            static_cast<std::uint8_t>(lower >> 8),
            static_cast<std::uint8_t>(lower)};
}

}  // namespace avr_ee
