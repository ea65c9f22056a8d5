#pragma once

#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <utility>

namespace avr_ee {

// A step that failed, worded as main reports it: "what failed: path: reason".
class error : public std::runtime_error {
public:
    error(std::string_view what_failed, std::string_view path, std::string_view reason);
};

// strerror(ERR) as a string.
std::string reason_of(int err);

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
// writes and EINTR. Returns 0, or the errno of the write that failed.
int write_all(int fd, std::span<const char> data, std::optional<off_t> offset = std::nullopt) noexcept;

}  // namespace avr_ee
