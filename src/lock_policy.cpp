#include "lock_policy.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/magic.h>
#include <poll.h>
#include <span>
#include <string_view>
#include <sys/file.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace avr_ee {
namespace {

// The cifs client's f_type: SMB 2 and 3, and SMB1. <linux/magic.h> names
// neither. Compared as 32 bits: a 32-bit statfs gives them negative.
constexpr std::uint32_t SMB2_MAGIC = 0xFE534D42;
constexpr std::uint32_t CIFS_MAGIC = 0xFF534D42;

// One kind of lock on the whole file. Returns 0 or an errno; EWOULDBLOCK when
// the lock is held elsewhere and WAIT is false.
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

// The cifs client answers a lock held by another handle with EACCES.
int take_smb_flock(int fd, lock_mode mode, bool wait)
{
    int err = take_flock(fd, mode, wait);
    return err == EACCES || err == EAGAIN ? EWOULDBLOCK : err;
}

}  // namespace

std::expected<bool, error> lock_wait::lock(int fd, const char* path, lock_mode mode, fs_family family)
{
    switch (family) {
    case fs_family::local: {
        // flock(2), which flock(1) and operators' scripts take, and a POSIX
        // open-file-description lock on the whole file, which is what nfsd
        // takes on the server for its clients' runs and what release 1.0.0
        // took: a run on the server's own path must meet both. Each blocks,
        // cut short at the deadline by a timer.
        auto locked = take_blocking(fd, path, mode, take_flock);
        if (!locked || !*locked)
            return locked;
        return take_blocking(fd, path, mode, take_ofd_lock);
    }
    case fs_family::nfs:
        // flock(2) alone: the client sends it to the server as a POSIX lock
        // on the whole file, where it meets the other clients' and the
        // server's own. A POSIX lock as well would be a second lock of this
        // run's that the server sees meet the first.
        return take_blocking(fd, path, mode, take_flock);
    case fs_family::smb:
        // flock(2) alone: the cifs client sends every lock as a byte-range
        // lock on the whole file, and two of those on one handle conflict,
        // so a POSIX lock as well would wait on the run's own flock. A
        // blocking lock over SMB 2 and 3 is not cut short by a signal, so the
        // wait retries the non-blocking one until the deadline.
        return take_retrying(fd, path, mode, take_smb_flock);
    }
    return std::unexpected(error(CANNOT_LOCK, path, "unknown file system family"));
}

namespace {

// The monotonic clock, read with this build's 64-bit time calls (the C++
// library's steady_clock, linked in as built, would use the 32-bit ones).
// It goes on while the process is stopped.
std::chrono::nanoseconds monotonic_now() noexcept
{
    struct timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::chrono::seconds{ts.tv_sec} + std::chrono::nanoseconds{ts.tv_nsec};
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

    // Stops the timer and puts the signal mask back. A signal it sent has
    // been handled by the time this returns, so none can cut short a later
    // system call.
    ~wait_timer()
    {
        if (armed_)
            ::timer_delete(id_);
        if (unblocked_)
            ::pthread_sigmask(SIG_SETMASK, &saved_mask_, nullptr);
    }

    // Sets the timer to fire at DEADLINE. Returns 0, or the errno of what
    // failed.
    int arm(std::chrono::nanoseconds deadline) noexcept
    {
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

        auto left = std::max(deadline - monotonic_now(), std::chrono::nanoseconds{1});
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

// The refusal of a lock still held at the deadline.
error still_locked(const char* path, unsigned long long waited_ms)
{
    return error(CANNOT_LOCK, path, "still locked by another run after ") << waited_ms << " ms";
}

std::expected<bool, error> lock_result(int err, const char* path)
{
    if (err == 0)
        return true;
    if (err == ESTALE)
        return false;
    return std::unexpected(error(CANNOT_LOCK, path, std::strerror(err)));
}

}  // namespace

void lock_wait::start() noexcept
{
    if (!started_) {
        started_ = true;
        start_ = monotonic_now();
    }
}

bool lock_wait::expired() const noexcept
{
    return started_ && monotonic_now() - start_ >= bound_;
}

unsigned long long lock_wait::waited_ms() const noexcept
{
    if (!started_)
        return 0;
    return static_cast<unsigned long long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(monotonic_now() - start_).count());
}

bool lock_wait::pause() noexcept
{
    start();
    if (expired())
        return false;
    (void)::poll(nullptr, 0, 20);  // poll, which the output needs anyway, as the sleep
    return true;
}

std::expected<bool, error> lock_wait::take_blocking(int fd, const char* path, lock_mode mode, take_lock take)
{
    int err = take(fd, mode, false);
    if (err != EWOULDBLOCK)
        return lock_result(err, path);
    // Only a run that has to wait pays for the clock and the timer.
    start();
    wait_timer timer;
    if (int timer_err = timer.arm(start_ + bound_))
        return std::unexpected(error(CANNOT_LOCK, path, "cannot set the wait's timer: ")
                               << std::strerror(timer_err));
    for (;;) {
        err = take(fd, mode, true);
        if (err == EINTR && expired()) {
            // The deadline passed, perhaps while the process was stopped and
            // the holder let go meanwhile: refuse only a lock still held.
            err = take(fd, mode, false);
            if (err == EWOULDBLOCK)
                return std::unexpected(still_locked(path, waited_ms()));
        }
        if (err != EINTR)
            return lock_result(err, path);
    }
}

std::expected<bool, error> lock_wait::take_retrying(int fd, const char* path, lock_mode mode, take_lock take)
{
    for (;;) {
        int err = take(fd, mode, false);
        if (err != EWOULDBLOCK)
            return lock_result(err, path);
        if (!pause())
            return std::unexpected(still_locked(path, waited_ms()));
    }
}

namespace {

// Whether the comma- or blank-separated TOKEN is in LINE.
bool has_option(std::string_view line, std::string_view token) noexcept
{
    for (std::size_t at = line.find(token); at != std::string_view::npos; at = line.find(token, at + 1)) {
        std::size_t end = at + token.size();
        bool starts = at > 0 && (line[at - 1] == ',' || line[at - 1] == ' ');
        bool ends = end == line.size() || line[end] == ',' || line[end] == ' ' || line[end] == '\n';
        if (starts && ends)
            return true;
    }
    return false;
}

// Reads the text file NAME in pieces of BUF's size and hands each whole line
// to LINE_SEEN, which returns true to stop. A line longer than BUF is skipped.
// Returns 0, or the errno of what failed.
template <typename LineSeen>
int for_each_line(const char* name, std::span<char> buf, LineSeen line_seen)
{
    unique_fd fd{::open(name, O_RDONLY | O_CLOEXEC)};
    if (!fd)
        return errno;
    std::size_t len = 0;
    bool skipping = false;
    for (;;) {
        ssize_t n = ::read(fd.get(), buf.data() + len, buf.size() - len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno;
        len += static_cast<std::size_t>(n);
        std::string_view text(buf.data(), len);
        std::size_t used = 0;
        for (std::size_t nl; (nl = text.find('\n', used)) != std::string_view::npos; used = nl + 1) {
            if (!skipping && line_seen(std::string_view(text.data() + used, nl - used)))
                return 0;
            skipping = false;
        }
        if (n == 0)
            return 0;
        if (used == 0 && len == buf.size()) {
            skipping = true;
            used = len;
        }
        std::memmove(buf.data(), buf.data() + used, len - used);
        len -= used;
    }
}

}  // namespace

// Found by the mount ID that FD's fdinfo gives (statx's stx_mnt_id, which
// qemu-arm's statx hides, would save a read).
std::expected<std::string_view, int> mount_line(int fd, std::span<char> buf)
{
    fixed_text fdinfo;
    fdinfo << "/proc/self/fdinfo/" << static_cast<unsigned long long>(fd);
    std::array<char, 64> name{};
    std::copy_n(fdinfo.view().data(), std::min(fdinfo.view().size(), name.size() - 1), name.data());

    std::array<char, 24> id_buf{};
    std::string_view id;
    int err = for_each_line(name.data(), buf, [&](std::string_view line) {
        if (!line.starts_with("mnt_id:"))
            return false;
        line.remove_prefix(std::min(line.find_first_not_of(" \t", 7), line.size()));
        std::size_t n = std::min(line.size(), id_buf.size());
        id = {id_buf.data(), static_cast<std::size_t>(std::copy_n(line.data(), n, id_buf.data()) - id_buf.data())};
        return true;
    });
    if (err)
        return std::unexpected(err);
    if (id.empty())
        return std::unexpected(ENOENT);

    // A line starts "ID PARENT-ID MAJOR:MINOR ...". The line's text stays in
    // BUF, at its start, once the reading stops.
    std::size_t found = 0;
    err = for_each_line("/proc/self/mountinfo", buf, [&](std::string_view line) {
        if (!line.starts_with(id) || line.size() <= id.size() || line[id.size()] != ' ')
            return false;
        std::memmove(buf.data(), line.data(), line.size());
        found = line.size();
        return true;
    });
    if (err)
        return std::unexpected(err);
    if (!found)
        return std::unexpected(ENOENT);
    return std::string_view(buf.data(), found);
}

namespace {

// Fails when the mount of FD, a counter on a shared file system, keeps locks
// on this station.
std::expected<void, error> locks_reach_server(int fd, const char* path, fs_family family)
{
    std::array<char, 4096> buf;
    auto line = mount_line(fd, buf);
    if (!line)
        return std::unexpected(error(CANNOT_LOCK, path, "cannot read its mount's options in /proc/self/mountinfo: ")
                               << std::strerror(line.error()));
    // What the mount shows is what it does. NFSv3's nolock shows as
    // local_lock=all; NFSv4 ignores local_lock and shows local_lock=none.
    static constexpr std::string_view nfs_local[] = {"local_lock=all", "local_lock=flock"};
    static constexpr std::string_view smb_local[] = {"nobrl"};
    auto local = family == fs_family::smb ? std::span<const std::string_view>(smb_local)
                                          : std::span<const std::string_view>(nfs_local);
    for (std::string_view option : local)
        if (has_option(*line, option))
            return std::unexpected(error(CANNOT_LOCK, path, "its mount has ")
                                   << option
                                   << ", which keeps locks on this station: other stations' runs would not be "
                                      "held off; mount it without");
    return {};
}

}  // namespace

fs_family family_of(long f_type) noexcept
{
    auto type = static_cast<std::uint32_t>(f_type);
    if (type == NFS_SUPER_MAGIC)
        return fs_family::nfs;
    if (type == SMB2_MAGIC || type == CIFS_MAGIC || type == SMB_SUPER_MAGIC)
        return fs_family::smb;
    return fs_family::local;
}

std::expected<fs_family, error> lock_family(int fd, const char* path)
{
    struct statfs fs{};
    if (::fstatfs(fd, &fs) != 0)
        return std::unexpected(error(CANNOT_LOCK, path, std::strerror(errno)));
    fs_family family = family_of(fs.f_type);
    // A local file system has no other station to exclude, and its runs
    // pay nothing for the check.
    if (family != fs_family::local)
        if (auto reach = locks_reach_server(fd, path, family); !reach)
            return std::unexpected(reach.error());
    return family;
}

}  // namespace avr_ee
