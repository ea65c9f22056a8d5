#include "ee_image.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "unique_fd.hpp"

namespace avr_ee {

date_stamp make_date_stamp(const std::tm& local_time)
{
    return {local_time.tm_year + 1900, local_time.tm_mon + 1, local_time.tm_mday};
}

std::expected<date_stamp, error> local_date(std::time_t when)
{
    std::tm local{};
    if (::localtime_r(&when, &local) == nullptr)
        return std::unexpected(error("cannot read the date", "local time", std::strerror(errno)));
    return make_date_stamp(local);
}

ee_image build_ee_image(const mac_address& mac, const date_stamp& date)
{
    ee_image image;
    image.fill(EE_FILL);
    std::copy(mac.begin(), mac.end(), image.begin() + EE_MAC_OFFSET);
    image[EE_MONTH_OFFSET] = static_cast<std::uint8_t>(date.month);
    image[EE_DAY_OFFSET] = static_cast<std::uint8_t>(date.day);
    image[EE_YEAR_HI_OFFSET] = static_cast<std::uint8_t>(date.year >> 8);
    image[EE_YEAR_LO_OFFSET] = static_cast<std::uint8_t>(date.year);
    return image;
}

std::expected<void, error> write_ee_image(const mac_address& mac, const date_stamp& date)
{
    ee_image image = build_ee_image(mac, date);
    std::span<const char> bytes{reinterpret_cast<const char*>(image.data()), image.size()};
    if (int err = write_all(STDERR_FILENO, bytes))
        return std::unexpected(error("cannot write image", "standard error", std::strerror(err)));
    return {};
}

}  // namespace avr_ee
