#pragma once

#include <array>
#include <climits>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <string_view>

#include "error.hpp"
#include "lock_wait.hpp"
#include "unique_fd.hpp"

namespace avr_ee {

// The production counter file: the suffix of the last address handed out, as
// eight lowercase hex digits at the start of the file. Both avr_ee and
// avr_ee_counter work on it through this module, so that they open, lock,
// read and store it the same way.
inline constexpr const char* COUNTER_PATH = "/var/qv-production/mac";
inline constexpr std::size_t COUNTER_DIGITS = 8;

// The condition text production scripts know for a counter that cannot be
// opened.
inline constexpr std::string_view CANNOT_OPEN = "cannot open counter (macfile != ((void *)0))";

using counter_text = std::array<char, COUNTER_DIGITS>;

// VALUE as the file holds it: eight lowercase hex digits.
counter_text format_counter(std::uint32_t value) noexcept;

inline std::string_view text_of(const counter_text& text) noexcept
{
    return {text.data(), text.size()};
}

// The directory part of PATH ("/" for a file at the root, "." for a bare
// name), in BUF.
const char* directory_of(const char* path, std::array<char, PATH_MAX>& buf) noexcept;

// The counter file, open and locked. Its locks go when it is stored or
// destroyed.
class locked_counter {
public:
    locked_counter(unique_fd fd, const char* path) noexcept : fd_(std::move(fd)), path_(path) {}

    // The value at the start of the file, read as fscanf(f, "%08x") reads it.
    // Fails when the file does not start with a hexadecimal number.
    std::expected<std::uint32_t, error> read() const;

    // Writes VALUE as eight digits at offset 0, truncating nothing, flushes it
    // to storage and closes the file, which lets the locks go. Refuses, with
    // the file unchanged, when the file-size limit cannot take the digits.
    // When the error says changed(), the file may hold VALUE, or part of it.
    std::expected<void, error> store(std::uint32_t value);

private:
    unique_fd fd_;
    const char* path_;
};

// Opens the existing counter file at PATH, never creating it, and locks it:
// read and write access and an exclusive lock for EXCLUSIVE, read access and
// a shared lock for SHARED. Which locks depends on the file system (see
// lock_policy.hpp); lock_wait.hpp has the wait. The wait for them, and for a lease another program holds
// on the file, is bounded by BOUND on the monotonic clock, from the first try
// that found the file held.
//
// Once locked, the file must still be the one at PATH: when it was replaced
// (renamed over, as editors, sed -i and cp + mv do) or removed meanwhile, it
// lets go and starts again on the file now at PATH, within the same bound.
// Over NFS it first has the client look the directory up afresh, since the
// client's cached name can lag a replacement made elsewhere for many seconds.
//
// Fails when the file cannot be opened or is not a regular file (CANNOT_OPEN),
// or cannot be locked within BOUND.
std::expected<locked_counter, error> lock_counter(const char* path, lock_mode mode,
                                                  std::chrono::milliseconds bound = LOCK_TIMEOUT);

// Whether the process's file-size limit (ulimit -f) lets the digits be
// written at offset 0; fails, naming the limit, when it does not.
std::expected<void, error> digits_fit(const char* path);

}  // namespace avr_ee
