#include <gtest/gtest.h>

#include "ee_image.hpp"

using namespace avr_ee;
using namespace std::literals;

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

// Build, then decode: any six octets, dates from 1970 to 2099, leap days.
TEST(DecodeEeImage, RoundTrip)
{
    const mac_address macs[] = {{2, 0xC4, 0x7B, 0, 0, 0x2B}, {}, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
                                {':', '1', '0', '0', '0', '0'}, {'S', '1', '0', '0', '0', 'A'}};
    const date_stamp dates[] = {{1970, 1, 1}, {2000, 2, 29}, {2028, 2, 29}, {2038, 1, 19}, {2099, 12, 31}};
    for (const auto& mac : macs) {
        for (const auto& date : dates) {
            auto got = decode_ee_image(build_ee_image(mac, date));
            EXPECT_TRUE(got && got->mac == mac && got->date == date) << date.year << '-' << date.month;
        }
    }
}

// 2027-02-28's image for 02:C4:7B:00:00:2B with BYTES at OFFSET.
std::string image_with(std::size_t offset, std::string_view bytes)
{
    ee_image image = build_ee_image({0x02, 0xC4, 0x7B, 0x00, 0x00, 0x2B}, {2027, 2, 28});
    return std::string(image.begin(), image.end()).replace(offset, bytes.size(), bytes);
}

TEST(DecodeEeImage, SaysWhyBytesAreNotAnImage)
{
    const std::pair<std::string, std::string_view> cases[] = {
        {image_with(6, "\0"sv), "byte 0x06 is 0x00,"},
        {image_with(0x90, "\x12"sv), "byte 0x90 is 0x12,"},
        {image_with(0x95, "\x7B"sv), "byte 0x95 is 0x7B,"},
        {image_with(0xFF, "\xFE"sv), "byte 0xFF is 0xFE,"},
        {image_with(0x91, "\0"sv), "month 0 at 0x91"},
        {image_with(0x92, "\0"sv), "day 0 at 0x92: 2027-02 has 28 days"},
        {image_with(0x91, "\x04\x1F"sv), "day 31 at 0x92: 2027-04 has 30 days"},
        {image_with(0x91, "\x02\x1D\x08\x34"sv), "day 29 at 0x92: 2100-02 has 28 days"},
        {image_with(5, std::string(0x95 - 5, '\xFF')), "a write cut short: no date, and the address may be"},
    };
    for (const auto& [bytes, why] : cases) {
        auto got = decode_ee_image({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
        EXPECT_TRUE(!got && got.error().view().starts_with(why)) << why << ": " << (got ? "" : got.error().view());
    }
}

// The month and the day written, the year not: the station finishes it.
TEST(DecodeEeImage, AWriteCutShortBeforeTheYearHasNoDate)
{
    std::string bytes = image_with(0x93, "\xFF\xFF"sv);
    auto got = decode_ee_image({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
    EXPECT_TRUE(got && got->mac[5] == 0x2B && !got->date);
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
