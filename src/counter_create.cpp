#include "counter_create.hpp"

#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "counter_file.hpp"
#include "fixed_text.hpp"
#include "unique_fd.hpp"

namespace avr_ee {

std::expected<void, error> create_counter(const char* path, std::uint32_t value)
{
    constexpr std::string_view CANNOT_CREATE = "cannot create counter";
    if (auto fits = digits_fit(path); !fits)
        return fits;
    // PATH.provision-XXXXXX: an operator who finds one left by a provision
    // that was killed knows what it is, and may remove it.
    fixed_text name;
    name << path << ".provision-XXXXXX";
    std::array<char, PATH_MAX> temp{};
    if (name.truncated() || name.view().size() >= temp.size())
        return std::unexpected(error(CANNOT_CREATE, path, std::strerror(ENAMETOOLONG)));
    std::copy(name.view().begin(), name.view().end(), temp.begin());

    unique_fd fd{::mkostemp(temp.data(), O_CLOEXEC)};
    if (!fd)
        return std::unexpected(error(CANNOT_CREATE, path, std::strerror(errno)));
    // Everything up to the link leaves the counter as it was: a failure
    // removes the new file again.
    auto give_up = [&](std::string_view what_failed, int err) {
        (void)fd.close();
        ::unlink(temp.data());
        return std::unexpected(error(what_failed, path, std::strerror(err)));
    };
    counter_text text = format_counter(value);
    // The mode is set, not asked of open: the umask would take the group's
    // write access from the stations' runs.
    if (::fchmod(fd.get(), 0660) != 0)
        return give_up(CANNOT_CREATE, errno);
    if (int err = write_all(fd.get(), text, off_t{0}))
        return give_up("cannot write counter", err);
    if (::fdatasync(fd.get()) != 0)
        return give_up("cannot flush counter", errno);
    if (int err = fd.close())
        return give_up("cannot close counter", err);
    // The counter's name, exclusively: link(2) fails when anything is at
    // PATH, as O_EXCL does, on local file systems, NFS and SMB alike.
    if (::link(temp.data(), path) != 0) {
        int err = errno;
        ::unlink(temp.data());
        return std::unexpected(error(CANNOT_CREATE, path, std::strerror(err)));
    }

    // The counter exists from here on: a failure now must say so.
    auto made_but = [&](std::string_view what_failed, const char* where, int err) {
        error failed(what_failed, where, std::strerror(err));
        failed << "; the counter was made, holding " << text_of(text) << ": do not provision it again";
        return failed.mark_changed();
    };
    if (::unlink(temp.data()) != 0)
        return std::unexpected(made_but("cannot remove", temp.data(), errno));
    // The new name must be on storage too, or a crash could lose the file.
    std::array<char, PATH_MAX> buf;
    const char* dir = directory_of(path, buf);
    unique_fd dir_fd{::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (!dir_fd || ::fsync(dir_fd.get()) != 0)
        return std::unexpected(made_but("cannot flush directory", dir, errno));
    if (int err = dir_fd.close())
        return std::unexpected(made_but("cannot flush directory", dir, err));
    return {};
}

}  // namespace avr_ee
