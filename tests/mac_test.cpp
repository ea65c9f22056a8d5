#include <cstdio>
#include <gtest/gtest.h>
#include <random>
#include <string>

#include "hex_scan.hpp"
#include "mac.hpp"

using namespace avr_ee;

namespace {

struct arg_case {
    const char* text;
    std::optional<mac_address> mac;
};

TEST(ParseMacArg, Table)
{
    const arg_case cases[] = {
        {"0:1:2:3:4:5", mac_address{0, 1, 2, 3, 4, 5}},
        {"1ff:100:a:B:0x0c:0d", mac_address{0xFF, 0x00, 0x0A, 0x0B, 0x0C, 0x0D}},
        {"-1:0:0:0:0:0", mac_address{0xFF, 0, 0, 0, 0, 0}},
        {"+2:-0:0X:0x:-ffffffff:FfFf", mac_address{2, 0, 0, 0, 1, 0xFF}},
        {"00:11:22:33:44:55:66", mac_address{0x00, 0x11, 0x22, 0x33, 0x44, 0x55}},
        {"00: 11:\t22:\n33:44:55", mac_address{0x00, 0x11, 0x22, 0x33, 0x44, 0x55}},
        {"  0:1:2:3:4:5 junk", mac_address{0, 1, 2, 3, 4, 5}},
        {"0:1:2:3:4:5g", mac_address{0, 1, 2, 3, 4, 5}},
        {"000000000000ab:1:2:3:4:5", mac_address{0xAB, 1, 2, 3, 4, 5}},
        // Past 32 bits every number saturates, whatever its sign.
        {"100000000:1:2:3:4:5", mac_address{0xFF, 1, 2, 3, 4, 5}},
        {"-100000000:123456789abcdef0123:2:3:4:5", mac_address{0xFF, 0xFF, 2, 3, 4, 5}},
        {"00:11:22:33:44", std::nullopt},
        {"00-11-22-33-44-55", std::nullopt},
        {"00 :11:22:33:44:55", std::nullopt},
        {"", std::nullopt},
        {"0:1:2:3:4:", std::nullopt},
        {"0:1:2:3:4:-", std::nullopt},
        {"0:1:2:3:4:+ 5", std::nullopt},
        {"0:1:2:3:4:x5", std::nullopt},
        {"0x:1:2:3:4:5", mac_address{0, 1, 2, 3, 4, 5}},
        {"0xg:1:2:3:4:5", std::nullopt},
        {"0::1:2:3:4:5", std::nullopt},
        {"g0:1:2:3:4:5", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(parse_mac_arg(c.text), c.mac) << '"' << c.text << '"';
}

TEST(FormatMacLine, UppercasePairs)
{
    auto line = format_mac_line({0x02, 0xC4, 0x7B, 0x0a, 0xbc, 0xff});
    EXPECT_EQ(std::string(line.begin(), line.end()), "02:C4:7B:0A:BC:FF\n");
}

struct counter_text_case {
    const char* text;
    bool at_eof;
    scan_status status;
    std::uint32_t value;
};

TEST(ScanCounter, Table)
{
    using enum scan_status;
    const counter_text_case cases[] = {
        {"0000002a", false, ok, 0x2a},  // eight digits end the number without a look further
        {"0000ffff\n", false, ok, 0xffff},
        {"0", true, ok, 0},
        {"0", false, need_more, 0},
        {"  1A", true, ok, 0x1a},
        {"   ", false, need_more, 0},
        {"   ", true, no_number, 0},
        {"", true, no_number, 0},
        {"hello", true, no_number, 0},
        {"123456789", true, ok, 0x12345678},
        {"0x123456789", true, ok, 0x123456},
        {"-1", true, ok, 0xffffffff},
        {"\n\n0001", true, ok, 1},
    };
    for (const auto& c : cases) {
        hex_scan got = scan_hex(c.text, 8, c.at_eof);
        EXPECT_EQ(got.status, c.status) << '"' << c.text << '"';
        if (c.status == ok) {
            EXPECT_EQ(got.value, c.value) << '"' << c.text << '"';
        }
    }
}

// Differential tests against the C library's own scanf. On a 64-bit host its
// result for a number wider than 32 bits is undefined (and differs from the
// 32-bit target's), so such numbers are only generated where long has 32 bits.
constexpr bool WIDE_NUMBERS_DEFINED = sizeof(unsigned long) == 4;

class text_generator {
public:
    std::string number()
    {
        std::string s;
        s.append(pick({"", "", "", " ", "\t", "\n ", "  "}));
        s.append(pick({"", "", "", "", "+", "-"}));
        s.append(pick({"", "", "", "0x", "0X", "0"}));
        std::size_t digits = below(9);
        if (WIDE_NUMBERS_DEFINED && below(8) == 0)
            digits = 9 + below(12);
        else
            s.append(below(4) == 0 ? below(4) : 0, '0');
        for (std::size_t i = 0; i < digits; ++i)
            s += "0123456789abcdefABCDEF"[below(22)];
        return s;
    }

    std::string separator() { return pick({":", ":", ":", ":", ":", ":", ":", ": ", " :", "-", ";"}); }
    std::string tail() { return pick({"", "", ":", ":7", " junk", "g", "x1"}); }
    std::size_t below(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_); }

private:
    std::string pick(std::initializer_list<const char*> choices)
    {
        return *(choices.begin() + below(choices.size()));
    }
    std::mt19937 rng_{20261207};
};

TEST(ParseMacArg, AgreesWithSscanf)
{
    text_generator gen;
    for (int round = 0; round < 20000; ++round) {
        std::string arg = gen.number();
        for (int i = 1; i < 6; ++i)
            arg += gen.separator() + gen.number();
        arg += gen.tail();
        if (gen.below(10) == 0)
            arg.resize(gen.below(arg.size() + 1));

        unsigned v[6];
        int n = std::sscanf(arg.c_str(), "%x:%x:%x:%x:%x:%x", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]);
        auto got = parse_mac_arg(arg);
        ASSERT_EQ(got.has_value(), n == 6) << '"' << arg << '"';
        for (std::size_t i = 0; got && i < 6; ++i)
            ASSERT_EQ((*got)[i], v[i] & 0xFF) << '"' << arg << "\" octet " << i;
    }
}

TEST(ScanCounter, AgreesWithSscanf)
{
    text_generator gen;
    for (int round = 0; round < 20000; ++round) {
        std::string text = gen.number() + gen.tail();
        unsigned v = 0;
        int n = std::sscanf(text.c_str(), "%08x", &v);
        hex_scan got = scan_hex(text, 8, true);
        ASSERT_EQ(got.status == scan_status::ok, n == 1) << '"' << text << '"';
        if (n == 1) {
            ASSERT_EQ(got.value, v) << '"' << text << '"';
        }
    }
}

}  // namespace
