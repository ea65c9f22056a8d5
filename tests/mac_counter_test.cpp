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
#include "io.hpp"
#include "mac_counter.hpp"

using namespace avr_ee;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

using MacCounter = CounterFile;

// The refusal's message, or "" when the allocation went through.
std::string refusal(const std::string& path, mac_address* mac = nullptr, std::chrono::milliseconds wait = 1s)
{
    auto got = allocate_mac(path.c_str(), wait);
    if (!got)
        return std::string(got.error().message());
    if (mac)
        *mac = *got;
    return "";
}

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

// More white space than one read takes in still leads to the number.
TEST_F(MacCounter, ReadsPastLongWhiteSpace)
{
    std::string blank(1000, ' ');
    seed(blank + "1f\n");
    mac_address mac{};
    EXPECT_EQ(refusal(path_, &mac), "");
    EXPECT_EQ(mac[5], 0x20);
    EXPECT_EQ(content(), "00000020" + blank.substr(8) + "1f\n");

    seed(blank);
    EXPECT_NE(refusal(path_).find("no hexadecimal number"), std::string::npos);
}

TEST_F(MacCounter, RefusesWhatIsNotAnExistingRegularFile)
{
    EXPECT_NE(refusal(path_).find("macfile != ((void *)0)"), std::string::npos);
    EXPECT_FALSE(fs::exists(path_)) << "the counter must never be created";

    ASSERT_EQ(::mkdir(path_.c_str(), 0755), 0);
    EXPECT_NE(refusal(path_).find("macfile != ((void *)0)"), std::string::npos);
    ASSERT_EQ(::rmdir(path_.c_str()), 0);

    ASSERT_EQ(::mkfifo(path_.c_str(), 0644), 0);
    std::string refused = refusal(path_);
    EXPECT_NE(refused.find("macfile != ((void *)0)"), std::string::npos) << refused;
    EXPECT_NE(refused.find("not a regular file"), std::string::npos) << refused;
}

// The refusal states a true figure, and the bound holds even for a run
// started with SIGALRM blocked: signal masks survive exec.
TEST_F(MacCounter, GivesUpOnALockHeldTooLong)
{
    for (bool alarm_blocked : {false, true}) {
        SCOPED_TRACE(alarm_blocked ? "SIGALRM blocked" : "SIGALRM as usual");
        seed("00000005");
        unique_fd other = hold_lock(path_);
        std::thread release([&] {
            std::this_thread::sleep_for(2s);
            other.close();
        });
        sigset_t alarm, saved, left;
        sigemptyset(&alarm);
        sigaddset(&alarm, SIGALRM);
        ::pthread_sigmask(alarm_blocked ? SIG_BLOCK : SIG_UNBLOCK, &alarm, &saved);
        auto start = std::chrono::steady_clock::now();
        std::string refused = refusal(path_, nullptr, 200ms);
        auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        ::pthread_sigmask(SIG_SETMASK, &saved, &left);
        release.join();
        EXPECT_TRUE(refused.starts_with("cannot lock counter: " + path_ + ": still locked by another run after "))
            << refused;
        EXPECT_GE(stated_wait_ms(refused), 200);
        EXPECT_LE(stated_wait_ms(refused), waited.count());
        EXPECT_EQ(::sigismember(&left, SIGALRM), alarm_blocked) << "the caller's signal mask was not restored";
        EXPECT_EQ(content(), "00000005");
    }
}

TEST_F(MacCounter, WaitsForALockReleasedInTime)
{
    seed("00000005");
    unique_fd other = hold_lock(path_);
    std::thread release([&] {
        std::this_thread::sleep_for(100ms);
        other.close();
    });
    mac_address mac{};
    EXPECT_EQ(refusal(path_, &mac, 5s), "");
    release.join();
    EXPECT_EQ(mac[5], 6);
    EXPECT_EQ(content(), "00000006");
}

// A run that waited on a file that was then replaced (an editor's save,
// sed -i, cp + mv) advances the file now at the path, not the replaced one,
// whose value no later run would read.
TEST_F(MacCounter, WaitingRunFollowsAReplacedFile)
{
    seed("0000002a");
    unique_fd replaced = hold_lock(path_);
    mac_address mac{};
    std::string refused = "did not run";
    std::thread run([&] { refused = refusal(path_, &mac, 5s); });
    std::this_thread::sleep_for(200ms);
    std::ofstream(path_ + ".new", std::ios::binary) << "00001000";
    fs::rename(path_ + ".new", path_);
    replaced.close();
    run.join();
    EXPECT_EQ(refused, "");
    EXPECT_EQ(mac, (mac_address{0x02, 0xC4, 0x7B, 0x00, 0x10, 0x01}));
    EXPECT_EQ(content(), "00001001");
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
