#pragma once

#include <chrono>
#include <expected>
#include <span>
#include <string_view>

#include "io.hpp"

namespace avr_ee {

// How the counter file is locked, which depends on the family of file system
// it is on, and the bounded wait for those locks. The choice for each family
// and its reason are in lock_policy.cpp, side by side.

enum class lock_mode { shared, exclusive };

enum class fs_family {
    local,  // a file system of this machine: ext4, tmpfs, overlayfs, ...
    nfs,    // an NFS client mount
    smb,    // a cifs client mount: SMB 2.1 to 3.1.1, or SMB1
};

inline constexpr std::chrono::milliseconds LOCK_TIMEOUT{10'000};

// What failed, in a refusal of the counter's locks or of a lease on it.
inline constexpr std::string_view CANNOT_LOCK = "cannot lock counter";

// The line of /proc/self/mountinfo for the mount FD is on, in BUF, or an
// errno; a line longer than BUF is not found.
std::expected<std::string_view, int> mount_line(int fd, std::span<char> buf);

// The family of a file system whose statfs f_type is F_TYPE.
fs_family family_of(long f_type) noexcept;

// The family of the file system that FD (the counter at PATH) is on, from
// fstatfs. Fails when the file system does not say, since a guess either way
// could leave runs unexcluded, and when the mount keeps locks on this station
// (cifs nobrl, NFS local_lock=all or flock), where another station's run
// would not be held off: no address may be handed out there.
std::expected<fs_family, error> lock_family(int fd, const char* path);

// The wait for the counter's locks, and for a lease on it, bounded on the
// monotonic clock from the first try that found the file held. One wait
// serves a whole attempt to lock the counter, reopenings included.
class lock_wait {
public:
    explicit lock_wait(std::chrono::milliseconds bound) noexcept : bound_(bound) {}

    // Takes FAMILY's locks on FD in MODE. False when the file handle went
    // stale under it (NFS, after the file was replaced on the server).
    std::expected<bool, error> lock(int fd, const char* path, lock_mode mode, fs_family family);

    // Starts the clock, unless it runs already.
    void start() noexcept;
    bool expired() const noexcept;
    unsigned long long waited_ms() const noexcept;

    // Starts the clock and sleeps a moment before another try at something
    // held elsewhere that cannot be waited for by blocking. False, without
    // sleeping, once the bound has passed.
    bool pause() noexcept;

private:
    // Takes one lock, with TAKE, by blocking until the deadline or by
    // retrying until then.
    using take_lock = int (*)(int fd, lock_mode mode, bool wait);
    std::expected<bool, error> take_blocking(int fd, const char* path, lock_mode mode, take_lock take);
    std::expected<bool, error> take_retrying(int fd, const char* path, lock_mode mode, take_lock take);

    std::chrono::milliseconds bound_;
    bool started_ = false;
    std::chrono::nanoseconds start_{};
};

}  // namespace avr_ee
