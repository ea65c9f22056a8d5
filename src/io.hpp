#pragma once

#include <array>
#include <cstddef>
#include <ctime>
#include <optional>
#include <span>
#include <string_view>
#include <sys/types.h>
#include <utility>

// The stations are 32-bit: without these, time() fails after January 2038
// and stat() fails on a file with a 64-bit inode number.
static_assert(sizeof(time_t) >= 8, "build with -D_TIME_BITS=64");
static_assert(sizeof(off_t) >= 8 && sizeof(ino_t) >= 8, "build with -D_FILE_OFFSET_BITS=64");

namespace avr_ee {

// A step that failed, worded as main reports it: "what failed: path: reason".
// It lives in a fixed buffer, like everything the tool handles: the shipped
// binary needs neither the heap nor the C++ exception runtime, whose start-up
// alone would cost a run more than its own work does.
class error {
public:
    static constexpr std::size_t CAPACITY = 240;

    error() noexcept = default;
    error(std::string_view what_failed, std::string_view path, std::string_view reason) noexcept;

    // Appends to the reason; a message too long for CAPACITY is cut short.
    error& operator<<(std::string_view more) noexcept;
    error& operator<<(unsigned long long number) noexcept;

    std::string_view message() const noexcept { return {text_.data(), size_}; }

private:
    std::array<char, CAPACITY> text_{};
    std::size_t size_ = 0;
};

// The value of a step that can fail, or why it failed.
template <typename T>
class [[nodiscard]] outcome {
public:
    outcome(const T& value) noexcept : value_(value), ok_(true) {}
    outcome(const error& failure) noexcept : failure_(failure), ok_(false) {}

    bool ok() const noexcept { return ok_; }
    const T& value() const noexcept { return value_; }
    const error& failure() const noexcept { return failure_; }

private:
    T value_{};
    error failure_{};
    bool ok_;
};

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
// or the errno of the write that failed.
int write_all(int fd, std::span<const char> data, std::optional<off_t> offset = std::nullopt) noexcept;

}  // namespace avr_ee
