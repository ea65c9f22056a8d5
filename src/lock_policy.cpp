#include "lock_policy.hpp"

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <linux/magic.h>
#include <span>
#include <string_view>
#include <sys/file.h>
#include <sys/vfs.h>

#include "mount_table.hpp"

namespace avr_ee {
namespace {

// The cifs client's f_type: SMB 2 and 3, and SMB1. <linux/magic.h> names
// neither. Compared as 32 bits: a 32-bit statfs gives them negative.
constexpr std::uint32_t SMB2_MAGIC = 0xFE534D42;
constexpr std::uint32_t CIFS_MAGIC = 0xFF534D42;

int take_flock(int fd, lock_mode mode, bool wait)
{
    int op = (mode == lock_mode::exclusive ? LOCK_EX : LOCK_SH) | (wait ? 0 : LOCK_NB);
    return ::flock(fd, op) == 0 ? 0 : errno;
}

int take_ofd_lock(int fd, lock_mode mode, bool wait)
{
    struct flock whole{};
    whole.l_type = mode == lock_mode::exclusive ? F_WRLCK : F_RDLCK;
    whole.l_whence = SEEK_SET;  // from offset 0, length 0: to the end, however long
    if (::fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &whole) == 0)
        return 0;
    return errno == EACCES ? EWOULDBLOCK : errno;
}

// The cifs client answers a lock held by another handle with EACCES.
int take_smb_flock(int fd, lock_mode mode, bool wait)
{
    int err = take_flock(fd, mode, wait);
    return err == EACCES || err == EAGAIN ? EWOULDBLOCK : err;
}

// The mount options with which FAMILY's client keeps locks on this station.
// What the mount shows is what it does: NFSv3's nolock shows as
// local_lock=all, and NFSv4 ignores local_lock and shows local_lock=none.
// Linux 6.1's cifs has no nolock.
std::span<const std::string_view> local_lock_options(fs_family family) noexcept
{
    static constexpr std::string_view nfs[] = {"local_lock=all", "local_lock=flock"};
    static constexpr std::string_view smb[] = {"nobrl"};
    switch (family) {
    case fs_family::nfs:
        return nfs;
    case fs_family::smb:
        return smb;
    case fs_family::local:
        break;
    }
    return {};
}

}  // namespace

fs_family family_of(long f_type) noexcept
{
    auto type = static_cast<std::uint32_t>(f_type);
    if (type == NFS_SUPER_MAGIC)
        return fs_family::nfs;
    if (type == SMB2_MAGIC || type == CIFS_MAGIC || type == SMB_SUPER_MAGIC)
        return fs_family::smb;
    return fs_family::local;
}

std::expected<fs_family, error> family_refusing_local_locks(int fd, const char* path)
{
    struct statfs fs{};
    if (::fstatfs(fd, &fs) != 0)
        return std::unexpected(error(CANNOT_LOCK, path, std::strerror(errno)));
    fs_family family = family_of(fs.f_type);
    // A local file system has no other station to exclude, and its runs
    // pay nothing for the check.
    if (family == fs_family::local)
        return family;
    std::array<char, 4096> buf;
    auto mount = mount_of(fd, buf);
    if (!mount)
        return std::unexpected(error(CANNOT_LOCK, path, "cannot read its mount's options in /proc/self/mountinfo: ")
                               << std::strerror(mount.error()));
    for (std::string_view option : local_lock_options(family))
        if (has_option(*mount, option))
            return std::unexpected(error(CANNOT_LOCK, path, "its mount has ")
                                   << option
                                   << ", which keeps locks on this station: other stations' runs would not be "
                                      "held off; mount it without");
    return family;
}

std::expected<lock_outcome, error> take_counter_locks(lock_wait& wait, int fd, const char* path, lock_mode mode,
                                                      fs_family family)
{
    switch (family) {
    case fs_family::local: {
        // flock(2), which flock(1) and operators' scripts take, and a POSIX
        // open-file-description lock on the whole file, which is what nfsd
        // takes on the server for its clients' runs and what release 1.0.0
        // took: a run on the server's own path must meet both. Each blocks,
        // cut short at the deadline by a timer.
        auto locked = wait.take_blocking(fd, path, mode, take_flock);
        if (!locked || *locked != lock_outcome::locked)
            return locked;
        return wait.take_blocking(fd, path, mode, take_ofd_lock);
    }
    case fs_family::nfs:
        // flock(2) alone: the client sends it to the server as a POSIX lock
        // on the whole file, where it meets the other clients' and the
        // server's own. A POSIX lock as well would be a second lock of this
        // run's that the server sees meet the first.
        return wait.take_blocking(fd, path, mode, take_flock);
    case fs_family::smb:
        // flock(2) alone: the cifs client sends every lock as a byte-range
        // lock on the whole file, and two of those on one handle conflict,
        // so a POSIX lock as well would wait on the run's own flock. A
        // blocking lock over SMB 2 and 3 is not cut short by a signal, so the
        // wait retries the non-blocking one until the deadline.
        return wait.take_retrying(fd, path, mode, take_smb_flock);
    }
    return std::unexpected(error(CANNOT_LOCK, path, "unknown file system family"));
}

}  // namespace avr_ee
