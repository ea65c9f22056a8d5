#pragma once

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/file.h>
#include <unistd.h>

#include "mac_counter.hpp"
#include "unique_fd.hpp"

// A counter file of the test's own, in a fresh directory.
class CounterFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string tmpl = (std::filesystem::temp_directory_path() / "avr_ee_counter.XXXXXX").string();
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
        path_ = (dir_ / "mac").string();
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    void seed(const std::string& content) { std::ofstream(path_, std::ios::binary) << content; }
    std::string content() const
    {
        std::ifstream in(path_, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    std::filesystem::path dir_;
    std::string path_;
};

// Holds the counter's flock(2) lock, as another run or flock(1) would.
inline avr_ee::unique_fd hold_lock(const std::string& path)
{
    avr_ee::unique_fd fd{::open(path.c_str(), O_RDWR)};
    EXPECT_EQ(::flock(fd.get(), LOCK_EX | LOCK_NB), 0);
    return fd;
}

// The milliseconds a "still locked by another run after N ms" refusal states.
inline long stated_wait_ms(const std::string& refusal)
{
    std::size_t at = refusal.find(" after ");
    return at == std::string::npos ? -1 : std::stol(refusal.substr(at + 7));
}

// The refusal's message, or "" when the allocation went through.
inline std::string refusal(const std::string& path, avr_ee::mac_address* mac = nullptr,
                           std::chrono::milliseconds wait = std::chrono::seconds{1})
{
    auto got = avr_ee::allocate_mac(path.c_str(), wait);
    if (!got)
        return std::string(got.error().message());
    if (mac)
        *mac = *got;
    return "";
}
