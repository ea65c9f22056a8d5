#include "counter_command.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <utility>
#include <sys/vfs.h>
#include <unistd.h>

#include "counter_create.hpp"
#include "counter_file.hpp"
#include "hex_scan.hpp"
#include "lock_policy.hpp"
#include "mac_counter.hpp"
#include "mount_table.hpp"

namespace avr_ee {
namespace {

// One to eight hex digits of either case, and nothing else (no sign, no 0x,
// no blanks, which the counter's own scan would take): an operator's typo
// must not become a counter value.
std::optional<std::uint32_t> parse_hex(std::string_view text)
{
    if (text.empty() || text.size() > COUNTER_DIGITS ||
        text.find_first_not_of("0123456789abcdefABCDEF") != std::string_view::npos)
        return std::nullopt;
    return scan_hex(text, 0, true).value;
}

std::expected<std::uint32_t, error> parse_value(std::string_view text)
{
    auto value = parse_hex(text);
    if (!value)
        return std::unexpected(error("not a counter value", text, "give one to eight hexadecimal digits"));
    if (*value > COUNTER_USED_UP)
        return std::unexpected(error("not a counter value", text, "the block ends at ")
                               << text_of(format_counter(COUNTER_USED_UP)));
    return *value;
}


// The file system that holds DIR: "nfs4 server:/export mounted on /mnt", from
// its line of the mount table, or its statfs type when the table does not
// tell.
fixed_text file_system_of(const char* dir)
{
    fixed_text text;
    unique_fd fd{::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    struct statfs fs{};
    if (!fd || ::fstatfs(fd.get(), &fs) != 0)
        return text << "a file system that cannot be told: " << std::strerror(errno);
    fs_family family = family_of(fs.f_type);
    text << (family == fs_family::nfs ? "NFS: " : family == fs_family::smb ? "an SMB share: " : "a local file system: ");
    std::array<char, 4096> buf;
    if (auto mount = mount_of(fd.get(), buf))
        return text << mount->type << " " << mount->source << " mounted on " << mount->mount_point;
    return text << "type " << static_cast<unsigned long long>(static_cast<std::uint32_t>(fs.f_type));
}

// The counter at PATH, locked, and the value it holds.
std::expected<std::pair<locked_counter, std::uint32_t>, error> read_locked(const char* path, lock_mode mode)
{
    auto counter = lock_counter(path, mode);
    if (!counter)
        return std::unexpected(counter.error());
    auto value = counter->read();
    if (!value)
        return std::unexpected(value.error());
    return std::pair{std::move(*counter), *value};
}

std::expected<fixed_text, error> show(const char* path)
{
    auto counter = read_locked(path, lock_mode::shared);
    if (!counter)
        return std::unexpected(counter.error());
    return describe_counter(counter->second);
}

std::expected<fixed_text, error> advance(const char* path, std::uint32_t to)
{
    auto counter = read_locked(path, lock_mode::exclusive);
    if (!counter)
        return std::unexpected(counter.error());
    auto& [file, value] = *counter;
    // A lower or equal value would hand out again what was handed out.
    if (to <= value)
        return std::unexpected(error("cannot advance counter", path, "it reads ")
                               << text_of(format_counter(value)) << ", and " << text_of(format_counter(to))
                               << " is not above it");
    if (auto stored = file.store(to); !stored)
        return std::unexpected(stored.error());
    return describe_counter(to);
}

std::expected<fixed_text, error> provision(const char* path, std::uint32_t value)
{
    if (auto created = create_counter(path, value); !created)
        return std::unexpected(created.error());
    std::array<char, PATH_MAX> dir;
    fixed_text line;
    line << text_of(format_counter(value)) << " provisioned at " << path << " on " << file_system_of(directory_of(path, dir)).view();
    return line;
}

}  // namespace

std::expected<counter_request, error> parse_counter_command(int argc, const char* const* args)
{
    using kind = counter_request::kind;
    std::string_view verb_name = argc > 0 ? args[0] : "";
    struct known {
        std::string_view name;
        kind request;
        verb what;
        int min_args, max_args;
    };
    for (auto [name, request, what, min_args, max_args] : {known{"show", kind::command, verb::show, 0, 0},
                                                           known{"advance-to", kind::command, verb::advance_to, 1, 1},
                                                           known{"provision", kind::command, verb::provision, 0, 1},
                                                           known{"--help", kind::help, verb::show, 0, 0},
                                                           known{"--version", kind::version, verb::show, 0, 0}}) {
        if (verb_name != name)
            continue;
        if (argc - 1 < min_args || argc - 1 > max_args)
            return std::unexpected(error("wrong number of arguments", name,
                                         min_args ? "give HEX" : max_args ? "give HEX or nothing" : "give none"));
        counter_request parsed{request, {what, 0}};
        if (argc > 1) {
            auto value = parse_value(args[1]);
            if (!value)
                return std::unexpected(value.error());
            parsed.command.value = *value;
        }
        return parsed;
    }
    return std::unexpected(error("unknown command", verb_name.empty() ? "(none)" : verb_name,
                                 "give show, advance-to or provision"));
}

fixed_text describe_counter(std::uint32_t value)
{
    fixed_text text;
    text << text_of(format_counter(value)) << " last ";
    if (value == 0 || value > COUNTER_USED_UP)
        text << "none";
    else
        text << address_text(format_mac_line(counter_address(value)));
    text << " next ";
    if (value >= COUNTER_USED_UP)
        text << "none";
    else
        text << address_text(format_mac_line(counter_address(value + 1)));
    // From VALUE, the runs hand out VALUE + 1 up to COUNTER_USED_UP.
    return text << " left " << static_cast<unsigned long long>(value < COUNTER_USED_UP ? COUNTER_USED_UP - value : 0);
}

std::expected<fixed_text, error> run_counter_command(const counter_command& command, const char* path)
{
    switch (command.what) {
    case verb::show:
        return show(path);
    case verb::advance_to:
        return advance(path, command.value);
    case verb::provision:
        return provision(path, command.value);
    }
    return std::unexpected(error("unknown command", path, "give show, advance-to or provision"));
}

}  // namespace avr_ee
