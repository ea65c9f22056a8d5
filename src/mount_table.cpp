#include "mount_table.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "fixed_text.hpp"
#include "unique_fd.hpp"

namespace avr_ee {
namespace {

// The first N characters of TEXT, or all of it. Unlike substr, it has no
// out_of_range to throw, whose handling would link the C++ exception runtime
// into every program.
std::string_view head(std::string_view text, std::size_t n) noexcept
{
    return {text.data(), std::min(n, text.size())};
}

// The next blank-separated field of REST, taken off its front.
std::string_view next_field(std::string_view& rest) noexcept
{
    std::string_view field = head(rest, rest.find(' '));
    rest.remove_prefix(std::min(field.size() + 1, rest.size()));
    return field;
}

// Whether OPTION is one of the comma-separated OPTIONS.
bool in_list(std::string_view options, std::string_view option) noexcept
{
    while (!options.empty()) {
        std::size_t comma = options.find(',');
        if (head(options, comma) == option)
            return true;
        options.remove_prefix(comma == std::string_view::npos ? options.size() : comma + 1);
    }
    return false;
}

// Reads the text file NAME in pieces of BUF's size and hands each whole line,
// without its line feed, to LINE_SEEN, which returns true to stop; the line
// then stays where it is in BUF. A line longer than BUF is skipped. Returns
// 0, or the errno of what failed.
template <typename LineSeen>
int for_each_line(const char* name, std::span<char> buf, LineSeen line_seen)
{
    unique_fd fd{::open(name, O_RDONLY | O_CLOEXEC)};
    if (!fd)
        return errno;
    std::size_t len = 0;
    bool skipping = false;  // through the rest of a line too long for BUF
    for (;;) {
        ssize_t n = ::read(fd.get(), buf.data() + len, buf.size() - len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno;
        len += static_cast<std::size_t>(n);
        std::string_view text(buf.data(), len);
        std::size_t used = 0;
        for (std::size_t nl; (nl = text.find('\n', used)) != std::string_view::npos; used = nl + 1) {
            if (!skipping && line_seen(std::string_view(text.data() + used, nl - used)))
                return 0;
            skipping = false;
        }
        if (n == 0)
            return 0;
        if (used == 0 && len == buf.size()) {
            skipping = true;
            used = len;
        }
        std::memmove(buf.data(), buf.data() + used, len - used);
        len -= used;
    }
}

}  // namespace

std::optional<mount_entry> parse_mount_line(std::string_view line) noexcept
{
    mount_entry m;
    std::string_view rest = line;
    std::string_view* before_optional[] = {&m.mount_id, &m.parent_id,   &m.device,
                                           &m.root,     &m.mount_point, &m.mount_options};
    for (std::string_view* field : before_optional)
        if ((*field = next_field(rest)).empty())
            return std::nullopt;
    // Any number of optional fields, then "-" alone.
    std::size_t dash = rest.starts_with("- ") ? 0 : rest.find(" - ");
    if (dash == std::string_view::npos)
        return std::nullopt;
    m.optional = head(rest, dash);
    rest.remove_prefix(dash == 0 ? 2 : dash + 3);
    for (std::string_view* field : {&m.type, &m.source, &m.super_options})
        if ((*field = next_field(rest)).empty())
            return std::nullopt;
    return m;
}

bool has_option(const mount_entry& mount, std::string_view option) noexcept
{
    return in_list(mount.mount_options, option) || in_list(mount.super_options, option);
}

std::expected<mount_entry, int> find_mount(const char* table, std::string_view mount_id, std::span<char> buf)
{
    bool seen = false;
    std::optional<mount_entry> found;
    int err = for_each_line(table, buf, [&](std::string_view line) {
        if (!line.starts_with(mount_id) || line.size() <= mount_id.size() || line[mount_id.size()] != ' ')
            return false;
        seen = true;
        found = parse_mount_line(line);
        return true;
    });
    if (err)
        return std::unexpected(err);
    if (!found)
        return std::unexpected(seen ? EINVAL : ENOENT);
    return *found;
}

std::expected<mount_entry, int> mount_of(int fd, std::span<char> buf)
{
    fixed_text fdinfo;
    fdinfo << "/proc/self/fdinfo/" << static_cast<unsigned long long>(fd);
    std::array<char, 64> name{};
    std::copy_n(fdinfo.view().data(), std::min(fdinfo.view().size(), name.size() - 1), name.data());

    // "mnt_id:\t42"; the ID is copied out of BUF, which the table's reading
    // then takes over.
    std::array<char, 24> id_buf{};
    std::string_view id;
    int err = for_each_line(name.data(), buf, [&](std::string_view line) {
        if (!line.starts_with("mnt_id:"))
            return false;
        line.remove_prefix(std::min(line.find_first_not_of(" \t", 7), line.size()));
        std::size_t n = std::min(line.size(), id_buf.size());
        id = {id_buf.data(), static_cast<std::size_t>(std::copy_n(line.data(), n, id_buf.data()) - id_buf.data())};
        return true;
    });
    if (err)
        return std::unexpected(err);
    if (id.empty())
        return std::unexpected(ENOENT);
    return find_mount("/proc/self/mountinfo", id, buf);
}

}  // namespace avr_ee
