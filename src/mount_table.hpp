#pragma once

#include <expected>
#include <optional>
#include <span>
#include <string_view>

namespace avr_ee {

// One line of the mount table, /proc/self/mountinfo, split into its fields:
// ID PARENT MAJOR:MINOR ROOT MOUNT-POINT OPTIONS [OPTIONAL...] - TYPE SOURCE
// SUPER-OPTIONS. The fields are as the table writes them: a blank, tab, line
// feed or backslash in a path or a source shows as an octal escape (\040,
// \011, \012, \134), so that no field holds a blank.
struct mount_entry {
    std::string_view mount_id;
    std::string_view parent_id;
    std::string_view device;         // MAJOR:MINOR
    std::string_view root;           // the directory of the file system mounted there
    std::string_view mount_point;
    std::string_view mount_options;  // this mount's own: rw,nosuid,relatime
    std::string_view optional;       // shared:1 master:2 ..., blank-separated; often none
    std::string_view type;           // nfs4, cifs, ext4, ...
    std::string_view source;         // server:/export, //server/share, /dev/sda1
    std::string_view super_options;  // the file system's: vers=4.2,local_lock=none,...
};

// The fields of LINE, one line of the table without its line feed; empty when
// LINE lacks a field or the "-" that ends the optional ones.
std::optional<mount_entry> parse_mount_line(std::string_view line) noexcept;

// Whether OPTION ("nobrl", "local_lock=all") is one of MOUNT's per-mount or
// super-block options, whole: not part of a longer option, and never a word
// of its mount point or source.
bool has_option(const mount_entry& mount, std::string_view option) noexcept;

// The line for the mount whose ID is MOUNT_ID in the table at TABLE, read in
// pieces of BUF's size; the entry's fields point into BUF. Fails with an
// errno: ENOENT when no line has that ID, as for a mount unmounted lazily
// since, or when its line is longer than BUF; EINVAL when its line does not
// split into the fields.
std::expected<mount_entry, int> find_mount(const char* table, std::string_view mount_id, std::span<char> buf);

// The mount that FD is on: its ID from /proc/self/fdinfo/FD (statx's
// stx_mnt_id, which qemu-arm's statx hides, would save a read), then its
// line of /proc/self/mountinfo, as find_mount gives it.
std::expected<mount_entry, int> mount_of(int fd, std::span<char> buf);

}  // namespace avr_ee
