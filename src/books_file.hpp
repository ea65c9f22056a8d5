#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "books_record.hpp"
#include "error.hpp"
#include "lock_wait.hpp"
#include "mac.hpp"
#include "unique_fd.hpp"

namespace avr_ee {

// The line's books on disk: a directory beside the counter, holding a file of
// JSON lines for each range of BOOKS_RANGE addresses. One address's records
// are all in one file, so that looking a board up reads that file alone,
// however long the line has run.
inline constexpr const char* BOOKS_DIR = "/var/qv-production/books";
inline constexpr std::uint64_t BOOKS_RANGE = 4096;

// The 48 bits of MAC as a number, octet 0 highest.
std::uint64_t address_number(const mac_address& mac) noexcept;
mac_address number_address(std::uint64_t number) noexcept;

// The file of DIR that holds MAC's records: DIR/02C47B001000.jsonl for
// 02:C4:7B:00:10:00 to 02:C4:7B:00:1F:FF, named for its range's first
// address.
std::string range_file(std::string_view dir, const mac_address& mac);

// Whether NAME is a range file's name.
bool is_range_file(std::string_view name) noexcept;

// What failed in the books' diagnostics.
inline constexpr std::string_view CANNOT_OPEN_BOOKS = "cannot open books";
inline constexpr std::string_view CANNOT_READ_BOOKS = "cannot read books";
inline constexpr std::string_view CANNOT_WRITE_BOOKS = "cannot write books";

// A line of a range file that is no record: torn by a crash mid-append, or
// not what the books write.
struct torn_record {
    std::string path;
    std::size_t line;  // counted from 1
};

// A range file's records, oldest first, and what was read past.
struct range_contents {
    std::vector<book_record> records;
    std::vector<torn_record> torn;
};

// The records of TEXT, the content of the range file at PATH. A line holds
// one record; after a crash it may hold a torn one, and the record appended
// after it. With ONLY, an address's text, just the lines that hold it are
// parsed, the others only looked at for a torn record: a look-up of one
// board reads its file, never the JSON of its 4095 neighbours.
range_contents parse_range(std::string_view text, std::string_view path,
                           std::optional<std::string_view> only = std::nullopt);

// A range file, open and locked with the counter's locks for its file system.
class locked_range {
public:
    locked_range(unique_fd fd, std::string path) noexcept : fd_(std::move(fd)), path_(std::move(path)) {}

    const std::string& path() const noexcept { return path_; }

    // The whole file, as the server has it.
    std::expected<std::string, error> read_all() const;

    // The file's records, as parse_range reads them, read a block at a time.
    std::expected<range_contents, error> read_records(std::optional<std::string_view> only = std::nullopt) const;

    // The highest address that a take recorded as issued in the file (imports
    // are history, not takes), reading back from the end only until the last
    // such record: takes append in the counter's order. None when there is
    // none.
    std::expected<std::optional<std::uint64_t>, error> last_taken() const;

    // Appends LINES (whole records, each ending in a line feed) at the end, in
    // one write, after a line feed that ends a torn last line, and has them
    // on storage before it returns. When the error says changed(), part of
    // them may be in the file: a torn record, which readers skip.
    std::expected<void, error> append(std::string_view lines);

    // Closes the file, which lets its locks go; a failure the close reports
    // (a write-back refused) is an error.
    std::expected<void, error> close();

private:
    // The file's size, asked of the server once: under the lock nobody else
    // changes it, and each question is a round trip.
    std::expected<std::uint64_t, error> size() const;

    unique_fd fd_;
    std::string path_;
    mutable std::optional<std::uint64_t> size_;
    mutable std::optional<bool> ends_torn_;  // whether the last line lacks its line feed, once read
};

// Opens and locks the range file at PATH, within BOUND. With CREATE, for an
// exclusive lock, a missing file is created (mode 0664, for the line's
// group); the directory must be there. Empty when the file is not there and
// CREATE is not given.
std::expected<std::optional<locked_range>, error> lock_range(const std::string& path, lock_mode mode, bool create,
                                                             std::chrono::milliseconds bound = LOCK_TIMEOUT);

// The range files of DIR, by name (so by address). Fails when DIR cannot be
// read.
std::expected<std::vector<std::string>, error> range_files(const char* dir);

}  // namespace avr_ee
