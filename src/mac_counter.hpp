#pragma once

#include <array>
#include <chrono>
#include <cstdint>

#include "io.hpp"
#include "mac.hpp"

namespace avr_ee {

// The production counter: the suffix of the last address handed out from the
// block 02:C4:7B:00:00:00 to 02:C4:7B:FF:FF:FF, as eight lowercase hex digits
// at the start of the file. Operators create it once per block.
inline constexpr const char* COUNTER_PATH = "/var/qv-production/mac";
inline constexpr std::array<std::uint8_t, 3> MAC_PREFIX{0x02, 0xC4, 0x7B};
inline constexpr std::uint32_t COUNTER_LAST = 0xFFFFFF;  // the largest value a run may read
inline constexpr std::size_t COUNTER_DIGITS = 8;
inline constexpr std::chrono::milliseconds LOCK_TIMEOUT{10'000};

// Hands out the next address of the block and records it in the counter file
// at PATH before returning: the new value is on storage and the file closed.
// The file is locked with flock(2) for the whole update; a run waits for the
// lock up to LOCK_WAIT on the monotonic clock, and starts again on the file
// now at PATH if the one it locked was replaced or removed meanwhile. While
// it waits, it handles SIGALRM (with a handler that does nothing), and leaves
// that handler in place.
//
// Fails, with the counter file unchanged, when the file cannot be opened or is
// not a regular file, cannot be locked within LOCK_WAIT, does not start with a
// hexadecimal number, or holds a value past COUNTER_LAST. Fails too when
// writing, flushing or closing the new value fails; the file may then hold
// the new value, so that address is skipped, never handed out twice.
outcome<mac_address> allocate_mac(const char* path, std::chrono::milliseconds lock_wait = LOCK_TIMEOUT);

}  // namespace avr_ee
