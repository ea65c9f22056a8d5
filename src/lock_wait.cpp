#include "lock_wait.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <unistd.h>

namespace avr_ee {
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
        sigset_t alarm;
        ::sigemptyset(&alarm);
        ::sigaddset(&alarm, SIGALRM);
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

std::expected<lock_outcome, error> outcome_of(int err, const char* path)
{
    if (err == 0)
        return lock_outcome::locked;
    if (err == ESTALE)
        return lock_outcome::stale_handle;
    return std::unexpected(error(CANNOT_LOCK, path, std::strerror(err)));
}

}  // namespace

void nap(std::chrono::milliseconds ms) noexcept
{
    // poll with no descriptors: a sleep in milliseconds, in one call.
    (void)::poll(nullptr, 0, static_cast<int>(ms.count()));
}

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
    nap(std::chrono::milliseconds{20});
    return true;
}

std::expected<lock_outcome, error> lock_wait::take_blocking(int fd, const char* path, lock_mode mode, take_lock take)
{
    int err = take(fd, mode, false);
    if (err != EWOULDBLOCK)
        return outcome_of(err, path);
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
            return outcome_of(err, path);
    }
}

std::expected<lock_outcome, error> lock_wait::take_retrying(int fd, const char* path, lock_mode mode, take_lock take)
{
    for (;;) {
        int err = take(fd, mode, false);
        if (err != EWOULDBLOCK)
            return outcome_of(err, path);
        if (!pause())
            return std::unexpected(still_locked(path, waited_ms()));
    }
}

}  // namespace avr_ee
