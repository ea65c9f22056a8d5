#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <set>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "io.hpp"
#include "mac_counter.hpp"

using namespace avr_ee;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

class MacCounter : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string tmpl = (fs::temp_directory_path() / "avr_ee_counter.XXXXXX").string();
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
        path_ = (dir_ / "mac").string();
    }
    void TearDown() override { fs::remove_all(dir_); }

    void seed(const std::string& content) { std::ofstream(path_, std::ios::binary) << content; }
    std::string content() const
    {
        std::ifstream in(path_, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    fs::path dir_;
    std::string path_;
};

// The refusal's message, or "" when the allocation went through.
std::string refusal(const std::string& path, mac_address* mac = nullptr, std::chrono::milliseconds wait = 1s)
{
    auto got = allocate_mac(path.c_str(), wait);
    if (!got.ok())
        return std::string(got.failure().message());
    if (mac)
        *mac = got.value();
    return "";
}

struct counter_case {
    const char* before;
    const char* after;  // the refusal's condition text instead, when refused
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
        {"01000000", USED_UP, {}},
        {"ffffffff", USED_UP, {}},
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

// Holds the counter's lock, as another run or flock(1) would.
unique_fd hold_lock(const std::string& path)
{
    unique_fd fd{::open(path.c_str(), O_RDWR)};
    EXPECT_EQ(::flock(fd.get(), LOCK_EX | LOCK_NB), 0);
    return fd;
}

TEST_F(MacCounter, GivesUpOnALockHeldTooLong)
{
    seed("00000005");
    unique_fd other = hold_lock(path_);
    auto start = std::chrono::steady_clock::now();
    std::string refused = refusal(path_, nullptr, 200ms);
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_NE(refused.find("still locked by another run after 200 ms"), std::string::npos) << refused;
    EXPECT_GE(waited, 200ms);
    EXPECT_LT(waited, 2s);
    EXPECT_EQ(content(), "00000005");
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
                got[t].push_back(allocate_mac(path_.c_str()).value());
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
