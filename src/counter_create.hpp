#pragma once

#include <cstdint>
#include <expected>

#include "error.hpp"

namespace avr_ee {

// Creates the counter file at PATH holding VALUE, mode 0660 whatever the
// umask, exclusively: fails when anything is at PATH, or when its directory is
// missing, which it never creates. The file appears whole or not at all: the
// value goes into a file of its own in the directory (PATH.provision-XXXXXX),
// which gets PATH as a second name once it is complete and on storage. The
// name is on storage too when this returns. When the error says changed(),
// the counter was made, and a step after that failed.
std::expected<void, error> create_counter(const char* path, std::uint32_t value);

}  // namespace avr_ee
