#pragma once

#include <chrono>
#include <ctime>
#include <expected>

#include "ee_image.hpp"
#include "error.hpp"

namespace avr_ee {

// The date this release was made. A clock that reads earlier has never been
// set: a station without a real-time clock boots in 1970, and its images
// would carry that date. The check is against the release date's first
// moment anywhere (00:00 at UTC+14), so that no time zone refuses a clock
// that is right.
inline constexpr date_stamp RELEASE_DATE{2026, 12, 8};
inline constexpr std::time_t RELEASE_EARLIEST =
    std::chrono::sys_seconds{std::chrono::sys_days{std::chrono::year{RELEASE_DATE.year} /
                                                   static_cast<unsigned>(RELEASE_DATE.month) /
                                                   static_cast<unsigned>(RELEASE_DATE.day)} -
                             std::chrono::hours{14}}
        .time_since_epoch()
        .count();

// The local date at NOW, the clock's reading; refused ("clock not set") when
// NOW is before this release was made. Reads no clock: main does.
inline std::expected<date_stamp, error> checked_date(std::time_t now)
{
    auto date = local_date(now);
    if (date && now < RELEASE_EARLIEST) {
        error unset("clock not set", "system clock", "it reads ");
        unset << format_date(*date).view() << ", before this release's date " << format_date(RELEASE_DATE).view()
              << "; set the date and time";
        return std::unexpected(unset);
    }
    return date;
}

}  // namespace avr_ee
