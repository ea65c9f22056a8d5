#include <cstdio>
#include <gtest/gtest.h>
#include <string>

#include "mac.hpp"
#include "scanf_texts.hpp"

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

}  // namespace
