#pragma once

#include <expected>

#include "error.hpp"
#include "lock_wait.hpp"

namespace avr_ee {

// How the counter file is locked, which depends on the family of file system
// it is on. The choice for each family and its reason are in
// lock_policy.cpp, side by side; the bounded wait for the locks is
// lock_wait's.

enum class fs_family {
    local,  // a file system of this machine: ext4, tmpfs, overlayfs, ...
    nfs,    // an NFS client mount
    smb,    // a cifs client mount: SMB 2.1 to 3.1.1, or SMB1
};

// The family of a file system whose statfs f_type is F_TYPE.
fs_family family_of(long f_type) noexcept;

// The family of the file system that FD (the counter at PATH) is on, from
// fstatfs, and a refusal of a mount whose locks stay on this station (cifs
// nobrl, NFS local_lock=all or flock), where another station's run would not
// be held off: no address may be handed out there. Fails too when the file
// system does not say what it is, or its mount cannot be found, since a guess
// either way could leave runs unexcluded.
std::expected<fs_family, error> family_refusing_local_locks(int fd, const char* path);

// Takes FAMILY's locks on FD, the counter at PATH, in MODE, within WAIT's
// bound.
std::expected<lock_outcome, error> take_counter_locks(lock_wait& wait, int fd, const char* path, lock_mode mode,
                                                      fs_family family);

}  // namespace avr_ee
