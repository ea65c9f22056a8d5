#pragma once

#include <chrono>
#include <expected>
#include <string_view>

#include "error.hpp"

namespace avr_ee {

// The bounded wait for the counter's locks, and for a lease on it: the
// deadline on the monotonic clock, the timer that cuts a blocking lock call
// short there, and the retries of a lock that cannot be waited for by
// blocking. Which locks to take is lock_policy's.

enum class lock_mode { shared, exclusive };

inline constexpr std::chrono::milliseconds LOCK_TIMEOUT{10'000};

// What failed, in a refusal of the counter's locks or of a lease on it.
inline constexpr std::string_view CANNOT_LOCK = "cannot lock counter";

// A taken lock, or a file handle that went stale under the lock call (NFS,
// after the file was replaced on the server): then the caller opens the file
// now at the path and tries again.
enum class lock_outcome { locked, stale_handle };

// Sleeps for MS, as between two tries of something that cannot be waited for
// by blocking.
void nap(std::chrono::milliseconds ms) noexcept;

// One wait serves a whole attempt to lock the counter, reopenings included:
// the clock starts at the first try that found the file held, and the bound
// counts from there, the time the process was stopped included.
class lock_wait {
public:
    explicit lock_wait(std::chrono::milliseconds bound) noexcept : bound_(bound) {}

    // One kind of lock on the whole of FD. Returns 0 or an errno;
    // EWOULDBLOCK when the lock is held elsewhere and WAIT is false.
    using take_lock = int (*)(int fd, lock_mode mode, bool wait);

    // Takes a lock with TAKE on FD (the counter at PATH), blocking until the
    // deadline, where a timer cuts the call short; a lock still held then is
    // refused.
    std::expected<lock_outcome, error> take_blocking(int fd, const char* path, lock_mode mode, take_lock take);

    // The same, by retrying the non-blocking lock every 20 ms until the
    // deadline, for locks whose blocking call a signal does not cut short.
    std::expected<lock_outcome, error> take_retrying(int fd, const char* path, lock_mode mode, take_lock take);

    // Starts the clock, unless it runs already.
    void start() noexcept;
    bool expired() const noexcept;
    unsigned long long waited_ms() const noexcept;

    // Starts the clock and sleeps 20 ms before another try at something held
    // elsewhere. False, without sleeping, once the bound has passed.
    bool pause() noexcept;

private:
    std::chrono::milliseconds bound_;
    bool started_ = false;
    std::chrono::nanoseconds start_{};
};

}  // namespace avr_ee
