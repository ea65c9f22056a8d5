#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <expected>

#include "counter_file.hpp"
#include "error.hpp"
#include "mac.hpp"

namespace avr_ee {

// The block the counter hands out: 02:C4:7B:00:00:00 to 02:C4:7B:FF:FF:FF.
// Operators create its counter once, with avr_ee_counter provision.
inline constexpr std::array<std::uint8_t, 3> MAC_PREFIX{0x02, 0xC4, 0x7B};
inline constexpr std::uint32_t COUNTER_LAST = 0xFFFFFF;  // the largest value a run may read
inline constexpr std::uint32_t COUNTER_USED_UP = COUNTER_LAST + 1;  // what the block's last run writes

// The condition text production scripts know for a used-up block.
inline constexpr std::string_view USED_UP = "counter block used up (lower <= 0xffffff)";

// The address a counter holding VALUE (1 to COUNTER_USED_UP) handed out last.
mac_address counter_address(std::uint32_t value) noexcept;

// Hands out the next address of the block and records it in the counter file
// at PATH before returning: the new value is on storage and the file closed.
// The file is held under lock_counter's exclusive locks for the whole update.
//
// Fails, with the counter file unchanged, when the file cannot be opened or
// locked (see lock_counter), does not start with a hexadecimal number, or
// holds a value past COUNTER_LAST. Fails too when writing, flushing or closing
// the new value fails; the file may then hold the new value, so that address
// is skipped, never handed out twice.
std::expected<mac_address, error> allocate_mac(const char* path, std::chrono::milliseconds lock_wait = LOCK_TIMEOUT);

}  // namespace avr_ee
