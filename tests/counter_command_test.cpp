#include <fcntl.h>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <sys/wait.h>

#include "counter_command.hpp"
#include "counter_file.hpp"
#include "counter_fixture.hpp"

using namespace avr_ee;
using namespace std::chrono_literals;

namespace {

TEST(DescribeCounter, Table)
{
    const std::pair<std::uint32_t, const char*> cases[] = {
        {0x0, "00000000 last none next 02:C4:7B:00:00:01 left 16777216"},
        {0x1000, "00001000 last 02:C4:7B:00:10:00 next 02:C4:7B:00:10:01 left 16773120"},
        {0xFFFFFF, "00ffffff last 02:C4:7B:FF:FF:FF next 02:C4:7B:00:00:00 left 1"},
        {0x1000000, "01000000 last 02:C4:7B:00:00:00 next none left 0"},
        {0xFFFFFFFF, "ffffffff last none next none left 0"},
    };
    for (auto [value, line] : cases)
        EXPECT_EQ(describe_counter(value).view(), line);
}

struct parse_case {
    std::vector<const char*> args;
    std::optional<counter_request> request;  // none: a usage error
};

counter_request run(verb what, std::uint32_t value)
{
    return {counter_request::kind::command, {what, value}};
}

TEST(ParseCounterCommand, Table)
{
    const parse_case cases[] = {
        {{"show"}, run(verb::show, 0)},
        {{"advance-to", "1000"}, run(verb::advance_to, 0x1000)},
        {{"advance-to", "01000000"}, run(verb::advance_to, 0x1000000)},
        {{"provision"}, run(verb::provision, 0)},
        {{"provision", "AbC"}, run(verb::provision, 0xABC)},
        {{"--version"}, counter_request{counter_request::kind::version, {}}},
        {{}, std::nullopt},
        {{"Show"}, std::nullopt},
        {{"show", "1"}, std::nullopt},
        {{"advance-to"}, std::nullopt},
        {{"advance-to", "01000001"}, std::nullopt},
        {{"advance-to", "000000001"}, std::nullopt},
        {{"advance-to", "0x10"}, std::nullopt},
        {{"advance-to", "-1"}, std::nullopt},
        {{"advance-to", ""}, std::nullopt},
        {{"advance-to", "10 "}, std::nullopt},
        {{"provision", "1", "2"}, std::nullopt},
    };
    for (const auto& c : cases) {
        auto got = parse_counter_command(static_cast<int>(c.args.size()), c.args.data());
        std::string args;
        for (const char* a : c.args)
            args += std::string(a) + ' ';
        ASSERT_EQ(got.has_value(), c.request.has_value()) << args;
        if (got) {
            EXPECT_EQ(got->what, c.request->what) << args;
            if (got->what == counter_request::kind::command) {
                EXPECT_EQ(got->command.what, c.request->command.what) << args;
                EXPECT_EQ(got->command.value, c.request->command.value) << args;
            }
        }
    }
}

using CounterCommand = CounterFile;

struct command_case {
    const char* name;
    std::optional<std::string> before;  // none: no file
    counter_command command;
    const char* result;                 // the line printed, or the start of the refusal
    std::optional<std::string> after;
};

TEST_F(CounterCommand, Table)
{
    const char* NOT_ABOVE = "cannot advance counter: ";
    const command_case cases[] = {
        {"show", "00001000\n", {verb::show, 0}, "00001000 last 02:C4:7B:00:10:00", "00001000\n"},
        {"advance", "0000002a\n", {verb::advance_to, 0x1000}, "00001000 last", "00001000\n"},
        {"advance to the block's end", "00fffff0", {verb::advance_to, 0x1000000}, "01000000 last", "01000000"},
        {"advance to a lower value", "00001000", {verb::advance_to, 0xfff}, NOT_ABOVE, "00001000"},
        {"advance to the same value", "00001000", {verb::advance_to, 0x1000}, NOT_ABOVE, "00001000"},
        {"advance a used-up counter", "01000000", {verb::advance_to, 0x1000000}, NOT_ABOVE, "01000000"},
        {"advance a missing counter", std::nullopt, {verb::advance_to, 5}, "cannot open counter", std::nullopt},
        {"provision", std::nullopt, {verb::provision, 0x2a}, "0000002a provisioned at ", "0000002a"},
        {"provision over a counter", "0000002a", {verb::provision, 0}, "cannot create counter", "0000002a"},
        {"provision over a used-up one", "01000000", {verb::provision, 0}, "cannot create counter", "01000000"},
        {"provision over an empty file", "", {verb::provision, 0}, "cannot create counter", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(path_);
        if (c.before)
            seed(*c.before);
        auto got = run_counter_command(c.command, path_.c_str());
        std::string said(got ? got->view() : got.error().message());
        EXPECT_TRUE(said.starts_with(c.result)) << said;
        EXPECT_EQ(std::filesystem::exists(path_), c.after.has_value());
        if (c.after) {
            EXPECT_EQ(content(), *c.after);
        }
    }
}

// On the NFS server's own path, the clients' runs hold POSIX locks on the
// whole file (nfsd takes them for the clients' flock(2)): a local change must
// wait for them as for a local run's flock(2).
TEST_F(CounterCommand, AdvanceWaitsForAPosixLock)
{
    seed("0000002a");
    // Another process, as nfsd is: a process's own POSIX locks go as soon as
    // it closes any descriptor of the file.
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    pid_t client = ::fork();
    ASSERT_GE(client, 0);
    if (client == 0) {
        int fd = ::open(path_.c_str(), O_RDWR);
        struct flock whole{};
        whole.l_type = F_WRLCK;
        whole.l_whence = SEEK_SET;
        char ok = ::fcntl(fd, F_SETLK, &whole) == 0 ? 'y' : 'n';
        if (::write(ready[1], &ok, 1) != 1 || ok != 'y')
            ::_exit(1);
        struct timespec half{0, 500'000'000};
        ::nanosleep(&half, nullptr);
        ::_exit(::pwrite(fd, "00000100", 8, 0) == 8 ? 0 : 1);  // in place, as the client's run would
    }
    ::close(ready[1]);
    char ok = 0;
    ASSERT_EQ(::read(ready[0], &ok, 1), 1);
    ::close(ready[0]);
    ASSERT_EQ(ok, 'y');

    auto start = std::chrono::steady_clock::now();
    auto refused = lock_counter(path_.c_str(), lock_mode::shared, 100ms);
    auto got = run_counter_command({verb::advance_to, 0x200}, path_.c_str());
    auto waited = std::chrono::steady_clock::now() - start;
    ::waitpid(client, nullptr, 0);
    ASSERT_FALSE(refused);
    EXPECT_NE(refused.error().message().find("still locked by another run"), std::string_view::npos);
    ASSERT_TRUE(got) << got.error().message();
    EXPECT_GE(waited, 400ms);
    EXPECT_EQ(content(), "00000200");
}

}  // namespace
