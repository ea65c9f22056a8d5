#include "books_file.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "hex_scan.hpp"
#include "lock_policy.hpp"

namespace avr_ee {
namespace {

constexpr std::string_view RANGE_SUFFIX = ".jsonl";
constexpr std::size_t RANGE_NAME_DIGITS = 12;

// The lock modules word their refusals for the counter: the same refusal of a
// range file says what it is about.
error about_books(const error& failure)
{
    std::string_view message = failure.message();
    if (!message.starts_with(CANNOT_LOCK))
        return failure;
    error reworded;
    reworded << "cannot lock books" << message.substr(CANNOT_LOCK.size());
    return failure.changed() ? reworded.mark_changed() : reworded;
}

error failed(std::string_view what, const std::string& path, int err)
{
    return error(what, path, std::strerror(err));
}

// Opens the range file at PATH for MODE; with CREATE, makes it if missing.
// -1 with errno set otherwise. The file is there for all but the first
// record of a range, and an open is a round trip to a file server: the plain
// open comes first.
int open_range(const std::string& path, lock_mode mode, bool create)
{
    // O_NONBLOCK: a lease another program holds (a file server's delegation
    // or oplock) makes the open fail at once instead of hanging past the
    // bound; the caller waits it out.
    int access = (mode == lock_mode::exclusive ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    int fd = ::open(path.c_str(), access);
    if (fd >= 0 || errno != ENOENT || !create)
        return fd;
    fd = ::open(path.c_str(), access | O_CREAT | O_EXCL, 0664);
    if (fd >= 0) {
        // Every station's user of the line's group appends to it, whatever
        // the umask of the run that made it. A file system that keeps no
        // modes of its own (an SMB share) shows the mount's.
        (void)::fchmod(fd, 0664);
        return fd;
    }
    return errno == EEXIST ? ::open(path.c_str(), access) : -1;  // another run made it meanwhile
}

}  // namespace

std::uint64_t address_number(const mac_address& mac) noexcept
{
    std::uint64_t n = 0;
    for (std::uint8_t octet : mac)
        n = n << 8 | octet;
    return n;
}

mac_address number_address(std::uint64_t number) noexcept
{
    mac_address mac{};
    for (std::size_t i = mac.size(); i-- > 0; number >>= 8)
        mac[i] = static_cast<std::uint8_t>(number);
    return mac;
}

std::string range_file(std::string_view dir, const mac_address& mac)
{
    std::uint64_t first = address_number(mac) / BOOKS_RANGE * BOOKS_RANGE;
    std::string path(dir);
    path += '/';
    for (int shift = 44; shift >= 0; shift -= 4)
        path += hex_digit(static_cast<unsigned>(first >> shift), letter_case::upper);
    return path += RANGE_SUFFIX;
}

bool is_range_file(std::string_view name) noexcept
{
    if (name.size() != RANGE_NAME_DIGITS + RANGE_SUFFIX.size() || !name.ends_with(RANGE_SUFFIX))
        return false;
    return std::all_of(name.begin(), name.begin() + RANGE_NAME_DIGITS,
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); });
}

namespace {

// Adds LINE, line LINE_NUMBER of the range file at PATH, to CONTENTS; with
// ONLY, a line that does not hold it is looked at for its shape alone.
void parse_line(std::string_view line, std::size_t line_number, std::string_view path,
                std::optional<std::string_view> only, range_contents& contents)
{
    if (only && line.find(*only) == std::string_view::npos) {
        // One whole record, by its shape: opened once, and closed.
        if (!line.starts_with(RECORD_OPENING) || !line.ends_with('}') ||
            line.find(RECORD_OPENING, 1) != std::string_view::npos)
            contents.torn.push_back({std::string(path), line_number});
        return;
    }
    // A record appended after a torn one, with no line feed between, starts
    // at the next opening.
    bool torn = false;
    while (!line.empty()) {
        std::size_t next = line.find(RECORD_OPENING, 1);
        std::string_view piece = line.substr(0, next);
        line.remove_prefix(piece.size());
        if (auto record = parse_record(piece))
            contents.records.push_back(std::move(*record));
        else
            torn = true;
    }
    if (torn)
        contents.torn.push_back({std::string(path), line_number});
}

}  // namespace

range_contents parse_range(std::string_view text, std::string_view path, std::optional<std::string_view> only)
{
    range_contents contents;
    for (std::size_t line_number = 1; !text.empty(); ++line_number)
        parse_line(take_line(text), line_number, path, only, contents);
    return contents;
}

std::expected<range_contents, error> locked_range::read_records(std::optional<std::string_view> only) const
{
    auto total = size();
    if (!total)
        return std::unexpected(total.error());
    // A block at a time: a look-up's cost is the scan, not the memory for a
    // whole file of 4096 boards' records.
    constexpr std::size_t BLOCK = 64 * 1024;
    range_contents contents;
    std::string pending;  // a line begun in the last block
    std::string block(BLOCK, '\0');
    std::size_t line_number = 0;
    for (std::uint64_t at = 0; at < *total;) {
        ssize_t n = ::pread(fd_.get(), block.data(), BLOCK, static_cast<off_t>(at));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return std::unexpected(failed(CANNOT_READ_BOOKS, path_, errno));
        if (n == 0)
            break;  // shorter than the server said a moment ago: what is there
        at += static_cast<std::uint64_t>(n);
        std::string_view text(block.data(), static_cast<std::size_t>(n));
        for (std::size_t end; (end = text.find('\n')) != std::string_view::npos; text.remove_prefix(end + 1)) {
            if (pending.empty()) {
                parse_line(text.substr(0, end), ++line_number, path_, only, contents);
            } else {
                pending.append(text.substr(0, end));
                parse_line(pending, ++line_number, path_, only, contents);
                pending.clear();
            }
        }
        pending.append(text);
    }
    if (!pending.empty())
        parse_line(pending, ++line_number, path_, only, contents);
    return contents;
}

std::expected<std::uint64_t, error> locked_range::size() const
{
    if (size_)
        return *size_;
    // Forced to the server: a client's cached size would put the record over
    // the end another station just wrote.
    struct statx st{};
    if (::statx(fd_.get(), "", AT_EMPTY_PATH | AT_STATX_FORCE_SYNC, STATX_SIZE, &st) != 0)
        return std::unexpected(failed(CANNOT_READ_BOOKS, path_, errno));
    size_ = st.stx_size;
    return st.stx_size;
}

std::expected<std::string, error> locked_range::read_all() const
{
    auto total = size();
    if (!total)
        return std::unexpected(total.error());
    std::string text(*total, '\0');
    std::size_t got = 0;
    while (got < text.size()) {
        ssize_t n = ::pread(fd_.get(), text.data() + got, text.size() - got, static_cast<off_t>(got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return std::unexpected(failed(CANNOT_READ_BOOKS, path_, errno));
        if (n == 0)
            break;  // shorter than the server said a moment ago: what is there
        got += static_cast<std::size_t>(n);
    }
    text.resize(got);
    return text;
}

std::expected<std::optional<std::uint64_t>, error> locked_range::last_taken() const
{
    auto total = size();
    if (!total)
        return std::unexpected(total.error());
    // Back from the end a block at a time, keeping what follows the first
    // line feed of a block for the next: only whole lines are read as
    // records.
    constexpr std::size_t BLOCK = 4096;
    std::string tail;
    std::uint64_t end = *total;
    while (end > 0) {
        std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(BLOCK, end));
        std::string block(n, '\0');
        std::size_t got = 0;
        while (got < n) {
            ssize_t r = ::pread(fd_.get(), block.data() + got, n - got, static_cast<off_t>(end - n + got));
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0)
                return std::unexpected(r < 0 ? failed(CANNOT_READ_BOOKS, path_, errno)
                                             : error(CANNOT_READ_BOOKS, path_, "shorter than its size"));
            got += static_cast<std::size_t>(r);
        }
        if (end == *total)
            ends_torn_ = block.back() != '\n';
        end -= n;
        tail = block + tail;
        // Whole lines: all of TAIL at the file's start, else what follows its
        // first line feed.
        std::size_t from = end == 0 ? 0 : tail.find('\n');
        if (from == std::string::npos)
            continue;
        std::string_view lines(tail);
        lines.remove_prefix(end == 0 ? 0 : from + 1);
        range_contents whole = parse_range(lines, path_);
        for (auto it = whole.records.rbegin(); it != whole.records.rend(); ++it)
            if (it->event == book_event::issued && !it->source)
                return address_number(it->address);
        tail.resize(end == 0 ? 0 : from + 1);
    }
    return std::nullopt;
}

std::expected<void, error> locked_range::append(std::string_view lines)
{
    auto end = size();
    if (!end)
        return std::unexpected(end.error());
    bool torn = ends_torn_.value_or(false);
    if (*end > 0 && !ends_torn_) {
        char last = '\n';
        ssize_t n;
        while ((n = ::pread(fd_.get(), &last, 1, static_cast<off_t>(*end - 1))) < 0 && errno == EINTR) {
        }
        if (n < 0)
            return std::unexpected(failed(CANNOT_READ_BOOKS, path_, errno));
        torn = n == 1 && last != '\n';
    }
    std::string text;
    text.reserve(lines.size() + 1);
    if (torn)
        text.push_back('\n');  // ends a record torn by a crash: it stays one line, read past
    text.append(lines.data(), lines.size());
    std::size_t written = 0;
    if (int err = write_all(fd_.get(), {text.data(), text.size()}, static_cast<off_t>(*end), &written)) {
        error refused = failed(CANNOT_WRITE_BOOKS, path_, err);
        return std::unexpected(written ? refused.mark_changed() : refused);
    }
    size_ = *end + text.size();
    ends_torn_ = false;
    // On storage, the server's, before the step it records goes on.
    if (::fdatasync(fd_.get()) != 0)
        return std::unexpected(failed("cannot flush books", path_, errno).mark_changed());
    return {};
}

std::expected<void, error> locked_range::close()
{
    if (int err = fd_.close())
        return std::unexpected(failed("cannot close books", path_, err).mark_changed());
    return {};
}

std::expected<std::optional<locked_range>, error> lock_range(const std::string& path, lock_mode mode, bool create,
                                                             std::chrono::milliseconds bound)
{
    lock_wait wait(bound);
    unique_fd fd;
    for (;;) {
        fd = unique_fd{open_range(path, mode, create)};
        if (fd || errno != EWOULDBLOCK)
            break;
        if (!wait.pause())
            return std::unexpected(error("cannot lock books", path, "still held under a lease (another program's, "
                                                                    "such as a file server's delegation or oplock) after ")
                                   << wait.waited_ms() << " ms");
    }
    if (!fd) {
        if (errno == ENOENT && !create)
            return std::nullopt;
        if (errno == ENOENT)  // the directory: the line's set-up makes it, never a run
            return std::unexpected(failed(CANNOT_OPEN_BOOKS, path.substr(0, path.rfind('/')), errno));
        return std::unexpected(failed(CANNOT_OPEN_BOOKS, path, errno));
    }
    struct stat st{};
    if (::fstat(fd.get(), &st) != 0)
        return std::unexpected(failed(CANNOT_OPEN_BOOKS, path, errno));
    if (!S_ISREG(st.st_mode))
        return std::unexpected(error(CANNOT_OPEN_BOOKS, path, "not a regular file"));
    auto family = family_refusing_local_locks(fd.get(), path.c_str());
    if (!family)
        return std::unexpected(about_books(family.error()));
    auto locked = take_counter_locks(wait, fd.get(), path.c_str(), mode, *family);
    if (!locked)
        return std::unexpected(about_books(locked.error()));
    if (*locked == lock_outcome::stale_handle)
        return std::unexpected(error("cannot lock books", path, "the file was replaced or removed on the server; "
                                                                "the books are only ever appended to"));
    if (*family == fs_family::nfs) {
        // Reads and writes go to the server: a client that holds a delegation
        // trusts its cache under the lock, and another station's records
        // would be missed or written over.
        int flags = ::fcntl(fd.get(), F_GETFL);
        if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags | O_DIRECT) != 0)
            return std::unexpected(error(CANNOT_OPEN_BOOKS, path, "cannot bypass the NFS client's cache: ")
                                   << std::strerror(errno));
    }
    return locked_range(std::move(fd), path);
}

std::expected<std::vector<std::string>, error> range_files(const char* dir)
{
    DIR* d = ::opendir(dir);
    if (!d)
        return std::unexpected(error(CANNOT_READ_BOOKS, dir, std::strerror(errno)));
    std::vector<std::string> names;
    errno = 0;
    while (struct dirent* entry = ::readdir(d)) {
        if (is_range_file(entry->d_name))
            names.emplace_back(entry->d_name);
        errno = 0;
    }
    int err = errno;
    ::closedir(d);
    if (err)
        return std::unexpected(error(CANNOT_READ_BOOKS, dir, std::strerror(err)));
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace avr_ee
