#include "counter_file.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/magic.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include "hex_scan.hpp"

namespace avr_ee {

counter_text format_counter(std::uint32_t value) noexcept
{
    constexpr std::string_view DIGITS = "0123456789abcdef";
    counter_text text{};
    for (auto it = text.rbegin(); it != text.rend(); ++it, value >>= 4)
        *it = DIGITS[value & 0xF];
    return text;
}

const char* directory_of(const char* path, std::array<char, PATH_MAX>& buf) noexcept
{
    std::string_view p(path);
    std::size_t slash = p.rfind('/');
    if (slash == std::string_view::npos)
        return ".";
    std::size_t n = std::min(slash == 0 ? 1 : slash, buf.size() - 1);
    std::copy_n(p.data(), n, buf.data());
    buf[n] = '\0';
    return buf.data();
}

namespace {

constexpr std::string_view CANNOT_LOCK = "cannot lock counter";

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

unsigned long long ms_since(monotonic_time start) noexcept
{
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(monotonic_now() - start);
    return static_cast<unsigned long long>(ms.count());
}

extern "C" void on_wait_timer(int) {}

// The set of signal SIGNO alone, as sigemptyset and sigaddset make it, without
// the two dynamic imports that every run's start-up would pay for: on Linux a
// sigset_t is a bit mask, signal N at bit N - 1.
sigset_t only(int signo) noexcept
{
    constexpr int BITS = 8 * sizeof(unsigned long);
    sigset_t set{};
    set.__val[(signo - 1) / BITS] = 1UL << ((signo - 1) % BITS);
    return set;
}

// Interrupts this thread's blocking lock call once the deadline has passed,
// with SIGALRM sent to this thread alone, on the monotonic clock. After the
// deadline it fires every 10 ms, so that a signal that came just before the
// call blocked is not the last one. While it is armed, SIGALRM is unblocked
// in this thread: a caller may have started the process with it blocked, and
// signal masks survive exec.
class wait_timer {
public:
    wait_timer() noexcept = default;
    wait_timer(const wait_timer&) = delete;
    wait_timer& operator=(const wait_timer&) = delete;
    ~wait_timer() { disarm(); }

    // Stops the timer and puts the signal mask back. A signal it sent has
    // been handled by the time this returns, so none can cut short a later
    // system call.
    void disarm() noexcept
    {
        if (armed_)
            ::timer_delete(id_);
        armed_ = false;
        if (unblocked_)
            ::pthread_sigmask(SIG_SETMASK, &saved_mask_, nullptr);
        unblocked_ = false;
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
        sigset_t alarm = only(SIGALRM);
        if (int err = ::pthread_sigmask(SIG_UNBLOCK, &alarm, &saved_mask_))
            return err;
        unblocked_ = true;

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
    bool unblocked_ = false;
    sigset_t saved_mask_{};
};

// One kind of lock on the whole file. Returns 0 or an errno; EWOULDBLOCK when
// the lock is held elsewhere and WAIT is false.
using take_lock = int (*)(int fd, lock_mode mode, bool wait);

int take_flock(int fd, lock_mode mode, bool wait)
{
    int op = (mode == lock_mode::exclusive ? LOCK_EX : LOCK_SH) | (wait ? 0 : LOCK_NB);
    return ::flock(fd, op) == 0 ? 0 : errno;
}

int take_ofd_lock(int fd, lock_mode mode, bool wait)
{
    struct flock whole{};
    whole.l_type = mode == lock_mode::exclusive ? F_WRLCK : F_RDLCK;
    whole.l_whence = SEEK_SET;  // from offset 0, length 0: to the end, however long
    if (::fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &whole) == 0)
        return 0;
    return errno == EACCES ? EWOULDBLOCK : errno;
}

// The wait for the counter's locks, bounded on the monotonic clock from the
// first try that found the file locked.
class lock_wait {
public:
    explicit lock_wait(std::chrono::milliseconds bound) noexcept : bound_(bound) {}

    // Takes one lock with TAKE. False when the file handle went stale under
    // it (NFS, after the file was replaced on the server).
    std::expected<bool, error> lock(int fd, const char* path, take_lock take, lock_mode mode)
    {
        int err = take(fd, mode, false);
        if (err == 0)
            return true;
        if (err == ESTALE)
            return false;
        if (err != EWOULDBLOCK)
            return std::unexpected(error(CANNOT_LOCK, path, std::strerror(err)));
        // Only a run that has to wait pays for the clock and the timer.
        start();
        if (int timer_err = timer_.arm(start_ + bound_))
            return std::unexpected(error(CANNOT_LOCK, path, "cannot set the wait's timer: ")
                                   << std::strerror(timer_err));
        for (;;) {
            err = take(fd, mode, true);
            if (err == EINTR && expired()) {
                // The deadline passed, perhaps while the process was stopped
                // and the holder let go meanwhile: refuse only a lock that is
                // still held.
                err = take(fd, mode, false);
                if (err == EWOULDBLOCK) {
                    timer_.disarm();
                    return std::unexpected(error(CANNOT_LOCK, path, "still locked by another run after ")
                                           << ms_since(start_) << " ms");
                }
            }
            if (err != EINTR)
                break;
        }
        timer_.disarm();
        if (err == 0)
            return true;
        if (err == ESTALE)
            return false;
        return std::unexpected(error(CANNOT_LOCK, path, std::strerror(err)));
    }

    // Starts the clock, unless it runs already.
    void start() noexcept
    {
        if (!started_) {
            started_ = true;
            start_ = monotonic_now();
        }
    }
    bool expired() const noexcept { return started_ && monotonic_now() - start_ >= bound_; }
    unsigned long long waited_ms() const noexcept { return started_ ? ms_since(start_) : 0; }

private:
    std::chrono::milliseconds bound_;
    bool started_ = false;
    monotonic_time start_{};
    wait_timer timer_;
};

// Whether FD is on NFS, which decides the locks: a guess either way could
// leave runs unexcluded, so a file system that does not say refuses.
std::expected<bool, error> on_nfs(int fd, const char* path)
{
    struct statfs fs{};
    if (::fstatfs(fd, &fs) != 0)
        return std::unexpected(error(CANNOT_LOCK, path, std::strerror(errno)));
    return fs.f_type == NFS_SUPER_MAGIC;
}

// Takes the counter's locks on FD; see lock_counter. False when the handle
// went stale.
std::expected<bool, error> lock_file(lock_wait& wait, int fd, const char* path, lock_mode mode, bool nfs)
{
    // On NFS the client sends flock(2) to the server as a POSIX lock on the
    // whole file; taking one of those as well would have the two meet there.
    auto locked = wait.lock(fd, path, take_flock, mode);
    if (!locked || !*locked || nfs)
        return locked;
    return wait.lock(fd, path, take_ofd_lock, mode);
}

// The identity of a file: the same device and inode mean the same file. Read
// with statx, which the NFS check needs anyway: stat and fstat would each cost
// every run's start-up a dynamic import more.
struct file_id {
    std::uint32_t dev_major, dev_minor;
    std::uint64_t ino;
    bool operator==(const file_id&) const = default;
};

// Fills ID from statx(DIRFD, PATH, FLAGS); 0 or the errno.
int identify(int dirfd, const char* path, int flags, file_id& id, bool& regular) noexcept
{
    struct statx st{};
    if (::statx(dirfd, path, flags, STATX_TYPE | STATX_INO, &st) != 0)
        return errno;
    id = {st.stx_dev_major, st.stx_dev_minor, st.stx_ino};
    regular = S_ISREG(st.stx_mode);
    return 0;
}

// Opens the counter at PATH without creating it. False when the name leads to
// a stale NFS handle: the file was replaced on the server.
std::expected<bool, error> open_counter(const char* path, lock_mode mode, unique_fd& fd, file_id& id)
{
    // O_NONBLOCK and O_NOCTTY keep a FIFO or a terminal at PATH from holding
    // the run up or taking it over before it is found not to be a file.
    int access = mode == lock_mode::exclusive ? O_RDWR : O_RDONLY;
    bool regular = false;
    fd = unique_fd{::open(path, access | O_CLOEXEC | O_NOCTTY | O_NONBLOCK)};
    int err = fd ? identify(fd.get(), "", AT_EMPTY_PATH, id, regular) : errno;
    if (err)
        return err == ESTALE ? std::expected<bool, error>(false)
                             : std::unexpected(error(CANNOT_OPEN, path, std::strerror(err)));
    if (!regular)
        return std::unexpected(error(CANNOT_OPEN, path, "not a regular file"));
    return true;
}

// Whether the counter file opened as OPENED, now locked, is still the file at
// PATH: not removed, not replaced by a file renamed over it. A run that went
// on with a replaced file would advance a value no later run reads, and its
// address would be handed out again. The inode it holds open cannot be
// reused, so the same device and inode number mean the same file.
std::expected<bool, error> still_at_path(const file_id& opened, const char* path, bool nfs)
{
    if (nfs) {
        // An NFS client answers stat(PATH) from its cache of names, which may
        // still lead to the replaced file. Fetching the directory's times from
        // the server makes the client drop that cache when the directory has
        // changed. Asking for the type or inode alone would not reach the
        // server.
        std::array<char, PATH_MAX> buf;
        struct statx dir{};
        if (::statx(AT_FDCWD, directory_of(path, buf), AT_STATX_FORCE_SYNC, STATX_CTIME | STATX_MTIME, &dir) != 0 &&
            errno != ESTALE)
            return std::unexpected(error(CANNOT_LOCK, path, std::strerror(errno)));
    }
    file_id named{};
    bool regular = false;
    if (int err = identify(AT_FDCWD, path, 0, named, regular)) {
        if (err == ENOENT || err == ESTALE)
            return false;
        return std::unexpected(error(CANNOT_LOCK, path, std::strerror(err)));
    }
    return opened == named;
}

// A short sleep, through poll, which the output needs anyway.
void nap(std::chrono::milliseconds ms) noexcept
{
    (void)::poll(nullptr, 0, static_cast<int>(ms.count()));
}

}  // namespace

std::expected<locked_counter, error> lock_counter(const char* path, lock_mode mode, std::chrono::milliseconds bound)
{
    lock_wait wait(bound);
    for (int attempt = 0;; ++attempt) {
        unique_fd fd;
        file_id opened{};
        auto current = open_counter(path, mode, fd, opened);
        if (!current)
            return std::unexpected(current.error());
        std::expected<bool, error> nfs = false;
        if (*current)
            nfs = on_nfs(fd.get(), path);
        if (!nfs)
            return std::unexpected(nfs.error());
        if (*current)
            current = lock_file(wait, fd.get(), path, mode, *nfs);
        if (current && *current)
            current = still_at_path(opened, path, *nfs);
        if (!current)
            return std::unexpected(current.error());
        if (*current)
            return locked_counter(std::move(fd), path);

        // Replaced while this run waited: let go, and start again on the file
        // now at PATH, within the same bound.
        (void)fd.close();  // nothing was written to it
        wait.start();
        if (wait.expired())
            return std::unexpected(error(CANNOT_LOCK, path, "the file was replaced again and again for ")
                                   << wait.waited_ms() << " ms");
        if (attempt > 0)
            nap(std::chrono::milliseconds{10});  // while a server catches up with a replacement
    }
}

std::expected<std::uint32_t, error> locked_counter::read() const
{
    // Usually one read(): the eight digits the tool writes end the number by
    // themselves.
    std::array<char, 256> buf;
    std::size_t len = 0;
    bool at_eof = false;
    for (;;) {
        hex_scan number = scan_hex({buf.data(), len}, COUNTER_DIGITS, at_eof);
        if (number.status == scan_status::ok)
            return number.value;
        if (number.status == scan_status::no_number)
            return std::unexpected(error("cannot read counter", path_, "no hexadecimal number at the start"));

        if (len == buf.size()) {
            // Only white space fills the buffer before the number is whole,
            // and it counts for nothing: make room by dropping it.
            std::size_t blank = leading_space({buf.data(), len});
            std::copy(buf.begin() + static_cast<std::ptrdiff_t>(blank), buf.end(), buf.begin());
            len -= blank;
        }
        ssize_t n = ::read(fd_.get(), buf.data() + len, buf.size() - len);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return std::unexpected(error("cannot read counter", path_, std::strerror(errno)));
        }
        at_eof = n == 0;
        len += static_cast<std::size_t>(n);
    }
}

std::expected<void, error> locked_counter::store(std::uint32_t value)
{
    // Eight digits at offset 0, nothing truncated: bytes after them stay. The
    // value must be on storage before the locks go with the close, and before
    // any output names it.
    counter_text text = format_counter(value);
    if (int err = write_all(fd_.get(), text, off_t{0}))
        return std::unexpected(error("cannot write counter", path_, std::strerror(err)));
    if (::fdatasync(fd_.get()) != 0)
        return std::unexpected(error("cannot flush counter", path_, std::strerror(errno)));
    if (int err = fd_.close())
        return std::unexpected(error("cannot close counter", path_, std::strerror(err)));
    return {};
}

std::expected<void, error> create_counter(const char* path, std::uint32_t value, std::chrono::milliseconds bound)
{
    unique_fd fd{::open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0660)};
    if (!fd)
        return std::unexpected(error("cannot create counter", path, std::strerror(errno)));
    // A run may open the new file before it holds its value: the locks keep
    // it waiting until the value is there, or the file gone again.
    lock_wait wait(bound);
    auto nfs = on_nfs(fd.get(), path);
    auto locked = nfs ? lock_file(wait, fd.get(), path, lock_mode::exclusive, *nfs) : std::unexpected(nfs.error());
    if (locked && !*locked)
        locked = std::unexpected(error(CANNOT_LOCK, path, std::strerror(ESTALE)));
    std::expected<void, error> stored;
    if (!locked)
        stored = std::unexpected(locked.error());
    else
        stored = locked_counter(unique_fd{::dup(fd.get())}, path).store(value);
    if (!stored) {
        ::unlink(path);  // still locked: no run has used it
        return stored;
    }
    if (int err = fd.close())
        return std::unexpected(error("cannot close counter", path, std::strerror(err)));

    // The new name must be on storage too, or a crash could lose the file.
    std::array<char, PATH_MAX> buf;
    const char* dir = directory_of(path, buf);
    unique_fd dir_fd{::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (!dir_fd || ::fsync(dir_fd.get()) != 0)
        return std::unexpected(error("cannot flush directory", dir, std::strerror(errno)));
    return {};
}

}  // namespace avr_ee
