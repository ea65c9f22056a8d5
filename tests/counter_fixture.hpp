#pragma once

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/file.h>
#include <unistd.h>

#include "io.hpp"

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

// Forks another process, as a file server's daemon would be, that calls TAKE
// (true: it took what it holds) and then HOLD, and ends. Returns its pid once
// TAKE has returned true, or -1.
template <typename Take, typename Hold>
pid_t fork_holder(Take take, Hold hold)
{
    int ready[2];
    if (::pipe(ready) != 0)
        return -1;
    pid_t holder = ::fork();
    if (holder == 0) {
        char ok = take() ? 'y' : 'n';
        if (::write(ready[1], &ok, 1) != 1 || ok != 'y')
            ::_exit(1);
        hold();
        ::_exit(0);
    }
    ::close(ready[1]);
    char ok = 0;
    bool taken = holder > 0 && ::read(ready[0], &ok, 1) == 1 && ok == 'y';
    ::close(ready[0]);
    return taken ? holder : -1;
}

// The milliseconds a "still locked by another run after N ms" refusal states.
inline long stated_wait_ms(const std::string& refusal)
{
    std::size_t at = refusal.find(" after ");
    return at == std::string::npos ? -1 : std::stol(refusal.substr(at + 7));
}
