#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <sys/types.h>
#include <utility>

// The stations are 32-bit: without this, offsets and inode numbers beyond
// 32 bits (NFS, overlayfs and large XFS volumes hand such inodes out) fail.
static_assert(sizeof(off_t) >= 8 && sizeof(ino_t) >= 8, "build with -D_FILE_OFFSET_BITS=64");

namespace avr_ee {

// Owns a file descriptor: closing it, and so dropping any lock taken through
// it, on every path out of the scope that holds it.
class unique_fd {
public:
    unique_fd() noexcept = default;
    explicit unique_fd(int fd) noexcept : fd_(fd) {}
    unique_fd(unique_fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    unique_fd& operator=(unique_fd&& other) noexcept;
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;
    ~unique_fd();

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }

    // Closes now and tells how it went: 0, or the errno of close(), which is
    // where a failed write-back to a network file system shows.
    int close() noexcept;

private:
    int fd_ = -1;
};

// Writes all of DATA to FD, at OFFSET if one is given, going on after short
// writes and EINTR, and waiting out EAGAIN when FD is non-blocking. Returns 0,
// or the errno of the write that failed; WRITTEN, if given, counts the bytes
// that went out.
int write_all(int fd, std::span<const char> data, std::optional<off_t> offset = std::nullopt,
              std::size_t* written = nullptr) noexcept;

}  // namespace avr_ee
