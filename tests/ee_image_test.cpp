#include <gtest/gtest.h>

#include "ee_image.hpp"

using namespace avr_ee;

namespace {

struct image_case {
    mac_address mac;
    date_stamp date;
    std::array<std::uint8_t, 4> date_bytes;  // offsets 0x91 to 0x94
};

TEST(BuildEeImage, Layout)
{
    const image_case cases[] = {
        {{0x02, 0xC4, 0x7B, 0x00, 0x00, 0x2B}, {2026, 12, 7}, {0x0C, 0x07, 0x07, 0xEA}},
        {{0x00, 0x01, 0x02, 0x03, 0x04, 0x05}, {2028, 2, 29}, {0x02, 0x1D, 0x07, 0xEC}},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, {1999, 1, 1}, {0x01, 0x01, 0x07, 0xCF}},
    };
    for (const auto& c : cases) {
        ee_image image = build_ee_image(c.mac, c.date);
        for (std::size_t i = 0; i < EE_IMAGE_SIZE; ++i) {
            std::uint8_t want = EE_FILL;
            if (i < 6)
                want = c.mac[i];
            else if (i >= 0x91 && i <= 0x94)
                want = c.date_bytes[i - 0x91];
            ASSERT_EQ(image[i], want) << "offset " << i << " for " << c.date.year << '-' << c.date.month;
        }
    }
}

TEST(MakeDateStamp, FromBrokenDownTime)
{
    std::tm leap_day{};
    leap_day.tm_year = 128;
    leap_day.tm_mon = 1;
    leap_day.tm_mday = 29;
    date_stamp d = make_date_stamp(leap_day);
    EXPECT_EQ(d.year, 2028);
    EXPECT_EQ(d.month, 2);
    EXPECT_EQ(d.day, 29);
}

}  // namespace

// The stations' 32-bit clock still gives the right date after January 2038:
// 1 June 2040, 02:00 UTC is still 31 May twelve hours west of Greenwich.
TEST(LocalDate, After2038)
{
    ASSERT_EQ(::setenv("TZ", "<-12>12", 1), 0);
    ::tzset();
    auto date = local_date(2222128800);
    ::unsetenv("TZ");
    ASSERT_TRUE(date) << date.error().message();
    EXPECT_EQ(*date, (date_stamp{2040, 5, 31}));
}
