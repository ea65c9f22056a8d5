#include "counter_file.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <optional>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "hex_scan.hpp"
#include "lock_policy.hpp"

namespace avr_ee {

counter_text format_counter(std::uint32_t value) noexcept
{
    counter_text text{};
    for (auto it = text.rbegin(); it != text.rend(); ++it, value >>= 4)
        *it = hex_digit(value, letter_case::lower);
    return text;
}

const char* directory_of(const char* path, std::array<char, PATH_MAX>& buf) noexcept
{
    std::string_view p(path);
    std::size_t slash = p.rfind('/');
    if (slash == std::string_view::npos)
        return ".";
    std::size_t n = std::min(slash == 0 ? 1 : slash, buf.size() - 1);
    std::copy_n(p.data(), n, buf.data());
    buf[n] = '\0';
    return buf.data();
}

// Whether the process's file-size limit lets the digits be written at offset
// 0. A limit below them would cut the write short and leave the old value's
// tail behind the new one's head, a value nobody wrote.
std::expected<void, error> digits_fit(const char* path)
{
    struct rlimit limit{};
    if (::getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < COUNTER_DIGITS)
        return std::unexpected(error("cannot write counter", path, "the file-size limit (ulimit -f) is ")
                               << static_cast<unsigned long long>(limit.rlim_cur) << " bytes, too small for "
                               << static_cast<unsigned long long>(COUNTER_DIGITS) << " digits");
    return {};
}

namespace {

// The identity of a file: the same device and inode mean the same file. Read
// with statx, which names the device by its numbers for an open descriptor
// and a path alike.
struct file_id {
    std::uint32_t dev_major, dev_minor;
    std::uint64_t ino;
    bool operator==(const file_id&) const = default;
};

// Fills ID from statx(DIRFD, PATH, FLAGS); 0 or the errno.
int identify(int dirfd, const char* path, int flags, file_id& id, bool& regular) noexcept
{
    struct statx st{};
    if (::statx(dirfd, path, flags, STATX_TYPE | STATX_INO, &st) != 0)
        return errno;
    id = {st.stx_dev_major, st.stx_dev_minor, st.stx_ino};
    regular = S_ISREG(st.stx_mode);
    return 0;
}

// The counter file, open, and which file it is.
struct opened_counter {
    unique_fd fd;
    file_id id;
};

// Opens the counter at PATH without creating it. Empty when the name leads to
// a stale NFS handle: the file was replaced on the server.
std::expected<std::optional<opened_counter>, error> open_counter(const char* path, lock_mode mode, lock_wait& wait)
{
    // O_NONBLOCK and O_NOCTTY keep a FIFO or a terminal at PATH from holding
    // the run up or taking it over before it is found not to be a file.
    int access = mode == lock_mode::exclusive ? O_RDWR : O_RDONLY;
    opened_counter opened;
    for (;;) {
        opened.fd = unique_fd{::open(path, access | O_CLOEXEC | O_NOCTTY | O_NONBLOCK)};
        if (opened.fd || errno != EWOULDBLOCK)
            break;
        // Another program holds a lease on the file, as a Linux NFS server
        // does for a client's delegation and Samba for an oplock on its own
        // path. The open has asked it to let go; it may take its time.
        if (!wait.pause())
            return std::unexpected(error(CANNOT_LOCK, path, "still held under a lease (another program's, such "
                                                            "as a file server's delegation or oplock) after ")
                                   << wait.waited_ms() << " ms");
    }
    bool regular = false;
    int err = opened.fd ? identify(opened.fd.get(), "", AT_EMPTY_PATH, opened.id, regular) : errno;
    if (err == ESTALE)
        return std::nullopt;
    if (err)
        return std::unexpected(error(CANNOT_OPEN, path, std::strerror(err)));
    if (!regular)
        return std::unexpected(error(CANNOT_OPEN, path, "not a regular file"));
    return opened;
}

// Whether the counter file opened as OPENED, now locked, is still the file at
// PATH: not removed, not replaced by a file renamed over it. A run that went
// on with a replaced file would advance a value no later run reads, and its
// address would be handed out again. The inode it holds open cannot be
// reused, so the same device and inode number mean the same file.
std::expected<bool, error> still_at_path(const file_id& opened, const char* path, bool nfs)
{
    if (nfs) {
        // An NFS client answers stat(PATH) from its cache of names, which may
        // still lead to the replaced file. Fetching the directory's times from
        // the server makes the client drop that cache when the directory has
        // changed. Asking for the type or inode alone would not reach the
        // server.
        std::array<char, PATH_MAX> buf;
        struct statx dir{};
        if (::statx(AT_FDCWD, directory_of(path, buf), AT_STATX_FORCE_SYNC, STATX_CTIME | STATX_MTIME, &dir) != 0 &&
            errno != ESTALE)
            return std::unexpected(error(CANNOT_LOCK, path, std::strerror(errno)));
    }
    file_id named{};
    bool regular = false;
    if (int err = identify(AT_FDCWD, path, 0, named, regular)) {
        // Gone, or something else at the path that the next open will name
        // (a symlink loop, say).
        if (err == ENOENT || err == ESTALE || err == ELOOP || err == ENOTDIR)
            return false;
        return std::unexpected(error(CANNOT_LOCK, path, std::strerror(err)));
    }
    return opened == named;
}

// Has the counter's reads and writes on FD, an NFS file, go to the server.
// Taking the lock is where the client drops its cached copy of the file, but
// not while it holds a delegation for it: then it trusts its cache, and a
// Linux 6.1 server was seen to leave a client its delegation of a counter
// replaced on the server while other clients wrote to it. That client's run
// read a value another run had already written past, and handed its address
// out again.
std::expected<void, error> bypass_client_cache(int fd, const char* path)
{
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_DIRECT) != 0)
        return std::unexpected(error("cannot read counter", path, "cannot bypass the NFS client's cache: ")
                               << std::strerror(errno));
    return {};
}

// One attempt to lock the counter at PATH: open it, find its file system's
// family, take the family's locks, check that the file is still the one at
// PATH, and over NFS have its reads and writes bypass the client's cache.
// Empty when the file was replaced meanwhile: the caller tries again, on the
// file now at PATH.
std::expected<std::optional<locked_counter>, error> try_lock(const char* path, lock_mode mode, lock_wait& wait)
{
    auto opened = open_counter(path, mode, wait);
    if (!opened)
        return std::unexpected(opened.error());
    if (!*opened)
        return std::nullopt;
    int fd = (*opened)->fd.get();
    auto family = family_refusing_local_locks(fd, path);
    if (!family)
        return std::unexpected(family.error());
    auto locked = take_counter_locks(wait, fd, path, mode, *family);
    if (!locked)
        return std::unexpected(locked.error());
    if (*locked == lock_outcome::stale_handle)
        return std::nullopt;
    auto current = still_at_path((*opened)->id, path, *family == fs_family::nfs);
    if (!current)
        return std::unexpected(current.error());
    if (!*current)
        return std::nullopt;
    if (*family == fs_family::nfs)
        if (auto bypassed = bypass_client_cache(fd, path); !bypassed)
            return std::unexpected(bypassed.error());
    return locked_counter(std::move((*opened)->fd), path);
}

}  // namespace

std::expected<locked_counter, error> lock_counter(const char* path, lock_mode mode, std::chrono::milliseconds bound)
{
    lock_wait wait(bound);
    for (int attempt = 0;; ++attempt) {
        auto locked = try_lock(path, mode, wait);
        if (!locked)
            return std::unexpected(locked.error());
        if (*locked)
            return std::move(**locked);
        // Replaced while this run waited: the attempt let go of it. Start
        // again on the file now at PATH, within the same bound.
        wait.start();
        if (wait.expired())
            return std::unexpected(error(CANNOT_LOCK, path, "the file was replaced again and again for ")
                                   << wait.waited_ms() << " ms");
        if (attempt > 0)
            nap(std::chrono::milliseconds{10});  // while a server catches up with a replacement
    }
}

std::expected<std::uint32_t, error> locked_counter::read() const
{
    // Usually one read(): the eight digits the tool writes end the number by
    // themselves.
    std::array<char, 256> buf;
    std::size_t len = 0;
    bool at_eof = false;
    for (;;) {
        hex_scan number = scan_hex({buf.data(), len}, COUNTER_DIGITS, at_eof);
        if (number.status == scan_status::ok)
            return number.value;
        if (number.status == scan_status::no_number)
            return std::unexpected(error("cannot read counter", path_, "no hexadecimal number at the start"));

        if (len == buf.size()) {
            // Only white space fills the buffer before the number is whole,
            // and it counts for nothing: make room by dropping it.
            std::size_t blank = leading_space({buf.data(), len});
            std::copy(buf.begin() + static_cast<std::ptrdiff_t>(blank), buf.end(), buf.begin());
            len -= blank;
        }
        ssize_t n = ::read(fd_.get(), buf.data() + len, buf.size() - len);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return std::unexpected(error("cannot read counter", path_, std::strerror(errno)));
        }
        at_eof = n == 0;
        len += static_cast<std::size_t>(n);
    }
}

std::expected<void, error> locked_counter::store(std::uint32_t value)
{
    if (auto fits = digits_fit(path_); !fits)
        return fits;
    // Eight digits at offset 0, nothing truncated: bytes after them stay. The
    // value must be on storage before the locks go with the close, and before
    // any output names it.
    counter_text text = format_counter(value);
    std::size_t written = 0;
    if (int err = write_all(fd_.get(), text, off_t{0}, &written)) {
        error failed("cannot write counter", path_, std::strerror(err));
        return std::unexpected(written ? failed.mark_changed() : failed);
    }
    if (::fdatasync(fd_.get()) != 0)
        return std::unexpected(error("cannot flush counter", path_, std::strerror(errno)).mark_changed());
    if (int err = fd_.close())
        return std::unexpected(error("cannot close counter", path_, std::strerror(err)).mark_changed());
    return {};
}

}  // namespace avr_ee
