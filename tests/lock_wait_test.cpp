#include <atomic>
#include <cerrno>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <thread>

#include "counter_fixture.hpp"
#include "lock_wait.hpp"

using namespace avr_ee;
using namespace std::chrono_literals;

namespace {

std::atomic<int> lock_calls;

int counted_flock(int fd, lock_mode, bool wait)
{
    ++lock_calls;
    return ::flock(fd, LOCK_EX | (wait ? 0 : LOCK_NB)) == 0 ? 0 : errno;
}

using LockWait = CounterFile;

// A waiter sleeps in one blocking call until the holder lets go, however long
// that takes within the bound: its timer does not wake it to try again and
// again before the deadline.
TEST_F(LockWait, BlocksInOneCallUntilTheHolderLetsGo)
{
    seed("00000005");
    unique_fd holder = hold_lock(path_);
    unique_fd waiter{::open(path_.c_str(), O_RDWR)};
    std::thread release([&] {
        std::this_thread::sleep_for(300ms);
        holder.close();
    });
    lock_calls = 0;
    lock_wait wait(20s);
    auto got = wait.take_blocking(waiter.get(), path_.c_str(), lock_mode::exclusive, counted_flock);
    release.join();
    ASSERT_TRUE(got) << got.error().message();
    EXPECT_EQ(*got, lock_outcome::locked);
    EXPECT_EQ(lock_calls, 2) << "a try without waiting, then one that blocks";
}

}  // namespace
