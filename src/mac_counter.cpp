#include "mac_counter.hpp"

namespace avr_ee {

mac_address counter_address(std::uint32_t value) noexcept
{
    return {MAC_PREFIX[0],
            MAC_PREFIX[1],
            MAC_PREFIX[2],
            static_cast<std::uint8_t>(value >> 16),
            static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(value)};
}

std::expected<mac_address, error> allocate_mac(const char* path, std::chrono::milliseconds lock_wait)
{
    auto counter = lock_counter(path, lock_mode::exclusive, lock_wait);
    if (!counter)
        return std::unexpected(counter.error());
    auto lower = counter->read();
    if (!lower)
        return std::unexpected(lower.error());
    if (*lower > COUNTER_LAST)
        return std::unexpected(error(USED_UP, path, "it reads ") << text_of(format_counter(*lower)));
    if (auto stored = counter->store(*lower + 1); !stored)
        return std::unexpected(stored.error());
    return counter_address(*lower + 1);
}

}  // namespace avr_ee
