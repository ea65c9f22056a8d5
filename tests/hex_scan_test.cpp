#include <cstdio>
#include <gtest/gtest.h>
#include <string>

#include "hex_scan.hpp"
#include "scanf_texts.hpp"

using namespace avr_ee;

namespace {

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
