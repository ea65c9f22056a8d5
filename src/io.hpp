#pragma once

#include <array>
#include <cstddef>
#include <expected>
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

// Text built in a fixed buffer, like everything the tool handles: the
// shipped binary needs neither the heap nor the C++ exception runtime, whose
// start-up alone would cost a run more than its own work does.
class fixed_text {
public:
    static constexpr std::size_t CAPACITY = 240;

    // Appends; a text too long for CAPACITY is cut short.
    fixed_text& operator<<(std::string_view more) noexcept;
    fixed_text& operator<<(unsigned long long number) noexcept;
    fixed_text& operator<<(char) = delete;  // a character is not a number: append a string

    std::string_view view() const noexcept { return {text_.data(), size_}; }

private:
    std::array<char, CAPACITY> text_{};
    std::size_t size_ = 0;
};

// A step that failed, worded as main reports it: "what failed: path: reason".
class error {
public:
    static constexpr std::size_t CAPACITY = fixed_text::CAPACITY;

    error() noexcept = default;
    error(std::string_view what_failed, std::string_view path, std::string_view reason) noexcept;

    // Appends to the reason.
    error& operator<<(std::string_view more) noexcept { return text_ << more, *this; }
    error& operator<<(unsigned long long number) noexcept { return text_ << number, *this; }
    error& operator<<(char) = delete;

    std::string_view message() const noexcept { return text_.view(); }

    // Whether the step that failed may already have changed what it worked
    // on, so that a caller must not report "nothing changed".
    bool changed() const noexcept { return changed_; }
    error& mark_changed() noexcept { return changed_ = true, *this; }

private:
    fixed_text text_;
    bool changed_ = false;
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
// or the errno of the write that failed; WRITTEN, if given, counts the bytes
// that went out.
int write_all(int fd, std::span<const char> data, std::optional<off_t> offset = std::nullopt,
              std::size_t* written = nullptr) noexcept;

// Writes "PROGRAM: MESSAGE" and a line feed to standard error, for main: the
// one place a diagnostic is printed. Control characters in MESSAGE (an
// operator's argument may hold a line feed) are shown escaped, as \n or \xNN,
// so that it stays one line.
void report(std::string_view program, const error& failure) noexcept;

}  // namespace avr_ee
