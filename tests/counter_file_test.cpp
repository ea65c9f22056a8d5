#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "counter_file.hpp"
#include "counter_fixture.hpp"

using namespace avr_ee;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {


// More white space than one read takes in still leads to the number.
TEST_F(CounterFile, ReadsPastLongWhiteSpace)
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

TEST_F(CounterFile, RefusesWhatIsNotAnExistingRegularFile)
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
TEST_F(CounterFile, GivesUpOnALockHeldTooLong)
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

TEST_F(CounterFile, WaitsForALockReleasedInTime)
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
TEST_F(CounterFile, WaitingRunFollowsAReplacedFile)
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

// A lease that is never let go (a file server's delegation to a client that
// is gone) is refused at the bound, not once the kernel breaks it itself,
// which takes 45 s as Linux comes.
TEST_F(CounterFile, GivesUpOnALeaseNeverLetGo)
{
    seed("00000005");
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    pid_t holder = ::fork();
    if (holder == 0) {
        ::signal(SIGIO, SIG_IGN);  // asked to let go, and never answering
        int fd = ::open(path_.c_str(), O_RDONLY);
        char leased = fd >= 0 && ::fcntl(fd, F_SETLEASE, F_RDLCK) == 0 ? 'y' : 'n';
        (void)!::write(ready[1], &leased, 1);
        ::pause();
        ::_exit(0);
    }
    char leased = 'n';
    (void)!::read(ready[0], &leased, 1);
    auto start = std::chrono::steady_clock::now();
    std::string refused = leased == 'y' ? refusal(path_, nullptr, 300ms) : "";
    auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    ::close(ready[0]);
    ::close(ready[1]);
    ASSERT_EQ(leased, 'y') << "no lease could be taken on the test's own file";
    EXPECT_TRUE(refused.starts_with("cannot lock counter: " + path_ + ": still held under a lease")) << refused;
    EXPECT_GE(stated_wait_ms(refused), 300);
    EXPECT_LE(stated_wait_ms(refused), waited.count());
    EXPECT_EQ(content(), "00000005");
}

}  // namespace
