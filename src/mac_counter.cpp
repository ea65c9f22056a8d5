#include "mac_counter.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
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

std::optional<error> open_counter(const char* path, unique_fd& fd, struct stat& st)
{
    // O_NONBLOCK and O_NOCTTY keep a FIFO or a terminal at PATH from holding
    // the run up or taking it over before fstat can turn it down.
    fd = unique_fd{::open(path, O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK)};
    if (!fd)
        return error(CANNOT_OPEN, path, std::strerror(errno));
    if (::fstat(fd.get(), &st) != 0)
        return error(CANNOT_OPEN, path, std::strerror(errno));
    if (!S_ISREG(st.st_mode))
        return error(CANNOT_OPEN, path, "not a regular file");
    return std::nullopt;
}

// The monotonic clock, read with this build's 64-bit time calls (the C++
// library's steady_clock, linked in as built, would use the 32-bit ones).
// It goes on while the process is stopped.
using monotonic_time = std::chrono::nanoseconds;
monotonic_time monotonic_now() noexcept
{
    struct timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::chrono::seconds{ts.tv_sec} + std::chrono::nanoseconds{ts.tv_nsec};
}

// Milliseconds from START to now, for a diagnostic.
unsigned long long ms_since(monotonic_time start)
{
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(monotonic_now() - start);
    return static_cast<unsigned long long>(ms.count());
}

extern "C" void on_wait_timer(int) {}

// Interrupts this thread's blocking lock call once the deadline has passed,
// with SIGALRM sent to this thread alone, on the monotonic clock. After the
// deadline it fires every 10 ms, so that a signal that came just before the
// call blocked is not the last one.
class wait_timer {
public:
    wait_timer() noexcept = default;
    wait_timer(const wait_timer&) = delete;
    wait_timer& operator=(const wait_timer&) = delete;
    ~wait_timer() { disarm(); }

    // Stops the timer. A signal it sent has been handled by the time this
    // returns, so none can cut short a later system call.
    void disarm() noexcept
    {
        if (armed_)
            ::timer_delete(id_);
        armed_ = false;
    }

    // Sets the timer to fire at DEADLINE. Returns 0, or the errno of what
    // failed.
    int arm(monotonic_time deadline) noexcept
    {
        disarm();
        // No SA_RESTART: the signal must end the blocked call. The handler
        // stays: another thread's timer may still be on its way.
        struct sigaction sa{};  // an empty mask
        sa.sa_handler = on_wait_timer;
        if (::sigaction(SIGALRM, &sa, nullptr) != 0)
            return errno;

        struct sigevent ev{};
        ev.sigev_notify = SIGEV_THREAD_ID;
        ev.sigev_signo = SIGALRM;
        ev._sigev_un._tid = ::gettid();
        if (::timer_create(CLOCK_MONOTONIC, &ev, &id_) != 0)
            return errno;
        armed_ = true;

        auto left = std::max(deadline - monotonic_now(), monotonic_time{1});
        auto secs = std::chrono::duration_cast<std::chrono::seconds>(left);
        struct itimerspec when{};
        when.it_value.tv_sec = static_cast<time_t>(secs.count());
        when.it_value.tv_nsec = static_cast<long>(std::chrono::nanoseconds(left - secs).count());
        when.it_interval.tv_nsec = 10'000'000;
        return ::timer_settime(id_, 0, &when, nullptr) == 0 ? 0 : errno;
    }

private:
    timer_t id_{};
    bool armed_ = false;
};

// The wait for the counter's lock, bounded on the monotonic clock from the
// first try that found the file locked.
class lock_wait {
public:
    explicit lock_wait(std::chrono::milliseconds bound) noexcept : bound_(bound) {}

    // Takes an exclusive flock(2) lock on FD: the lock flock(1) takes, so an
    // operator's hand edit under flock(1) holds runs off, and the lock that
    // Linux carries to an NFS server as a lock on the whole file. It goes
    // when the descriptor is closed.
    std::optional<error> lock(int fd, const char* path)
    {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
            return std::nullopt;
        if (errno != EWOULDBLOCK)
            return error("cannot lock counter", path, std::strerror(errno));
        // Only a run that has to wait pays for the clock and the timer.
        start();
        if (int err = timer_.arm(start_ + bound_))
            return error("cannot lock counter", path, "cannot set the wait's timer: ") << std::strerror(err);
        for (;;) {
            if (::flock(fd, LOCK_EX) == 0) {
                timer_.disarm();
                return std::nullopt;
            }
            if (errno != EINTR)
                return error("cannot lock counter", path, std::strerror(errno));
            if (expired())
                return error("cannot lock counter", path, "still locked by another run after ")
                       << ms_since(start_) << " ms";
        }
    }

    // Starts the clock, unless it runs already.
    void start()
    {
        if (!started_) {
            started_ = true;
            start_ = monotonic_now();
        }
    }
    bool expired() const { return started_ && monotonic_now() - start_ >= bound_; }
    unsigned long long waited_ms() const { return started_ ? ms_since(start_) : 0; }

private:
    std::chrono::milliseconds bound_;
    bool started_ = false;
    monotonic_time start_{};
    wait_timer timer_;
};

// Whether the counter file opened as OPENED, now locked, is still the file at
// PATH: not removed, not replaced by a file renamed over it (as editors,
// sed -i and cp + mv do). A run that went on with a replaced file would
// advance a value no later run reads, and its address would be handed out
// again. The inode it holds open cannot be reused, so the same device and
// inode number mean the same file.
outcome<bool> still_at_path(const struct stat& opened, const char* path)
{
    struct stat named{};
    if (::stat(path, &named) != 0)
        return errno == ENOENT ? outcome<bool>(false) : error("cannot lock counter", path, std::strerror(errno));
    return opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
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

outcome<mac_address> allocate_mac(const char* path, std::chrono::milliseconds lock_wait_bound)
{
    lock_wait wait(lock_wait_bound);
    unique_fd fd;
    for (;;) {
        struct stat opened{};
        if (auto failure = open_counter(path, fd, opened))
            return *failure;
        if (auto failure = wait.lock(fd.get(), path))
            return *failure;
        auto same = still_at_path(opened, path);
        if (!same.ok())
            return same.failure();
        if (same.value())
            break;
        // Replaced while this run waited: let go, and start again on the
        // file now at PATH, within the same bound.
        (void)fd.close();  // nothing was written to it
        wait.start();
        if (wait.expired())
            return error("cannot lock counter", path, "the file was replaced again and again for ")
                   << wait.waited_ms() << " ms";
    }

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
