#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <csignal>
#include <set>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "counter_fixture.hpp"
#include "error.hpp"
#include "mac_counter.hpp"

using namespace avr_ee;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

using MacCounter = CounterFile;

struct counter_case {
    std::string before;
    std::string after;  // the refusal's condition text instead, when refused
    mac_address mac;
};

TEST_F(MacCounter, Table)
{
    const char* USED_UP = "lower <= 0xffffff";
    const char* NO_NUMBER = "no hexadecimal number";
    const counter_case cases[] = {
        {"0000002a", "0000002b", {0x02, 0xC4, 0x7B, 0x00, 0x00, 0x2B}},
        {"0000ffff\n", "00010000\n", {0x02, 0xC4, 0x7B, 0x01, 0x00, 0x00}},
        {"00fffffe", "00ffffff", {0x02, 0xC4, 0x7B, 0xFF, 0xFF, 0xFF}},
        {"00ffffff", "01000000", {0x02, 0xC4, 0x7B, 0x00, 0x00, 0x00}},
        {"0", "00000001", {0x02, 0xC4, 0x7B, 0x00, 0x00, 0x01}},
        {"  1A", "0000001b", {0x02, 0xC4, 0x7B, 0x00, 0x00, 0x1B}},
        {"00000009 and a note", "0000000a and a note", {0x02, 0xC4, 0x7B, 0x00, 0x00, 0x0A}},
        {"0x10\n", "00000011", {0x02, 0xC4, 0x7B, 0x00, 0x00, 0x11}},
        // Digits that straddle the end of the first read.
        {std::string(250, ' ') + "00abcdef", "00abcdf0" + std::string(242, ' ') + "00abcdef",
         {0x02, 0xC4, 0x7B, 0xAB, 0xCD, 0xF0}},
        {"01000000", USED_UP, {}},
        {"ffffffff", USED_UP, {}},
        {std::string(250, ' ') + "12345678", USED_UP, {}},
        {"-1", USED_UP, {}},
        {"", NO_NUMBER, {}},
        {"\n", NO_NUMBER, {}},
        {"hello", NO_NUMBER, {}},
        {"-", NO_NUMBER, {}},
    };
    for (const auto& c : cases) {
        seed(c.before);
        mac_address mac{};
        std::string refused = refusal(path_, &mac);
        bool want_refusal = c.after == USED_UP || c.after == NO_NUMBER;
        if (want_refusal) {
            EXPECT_NE(refused.find(c.after), std::string::npos) << '"' << c.before << "\": " << refused;
            EXPECT_EQ(content(), c.before) << "a refusal changed the file";
        } else {
            EXPECT_EQ(refused, "") << '"' << c.before << '"';
            EXPECT_EQ(content(), c.after) << '"' << c.before << '"';
            EXPECT_EQ(mac, c.mac) << '"' << c.before << '"';
        }
    }
}

// Each thread opens the file on its own, so their locks exclude each other as
// separate processes' would.
TEST_F(MacCounter, ConcurrentAllocationsAreDistinctAndAllCounted)
{
    constexpr int THREADS = 4, RUNS = 50;
    seed("00000000");
    std::vector<std::vector<mac_address>> got(THREADS);
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < RUNS; ++i)
                got[t].push_back(*allocate_mac(path_.c_str()));
        });
    for (auto& t : threads)
        t.join();

    std::set<mac_address> distinct;
    for (const auto& list : got)
        distinct.insert(list.begin(), list.end());
    EXPECT_EQ(distinct.size(), std::size_t{THREADS * RUNS});
    EXPECT_EQ(content(), "000000c8");
}

}  // namespace
