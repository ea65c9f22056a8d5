// Runs the built avr_ee as production scripts do. Every run happens in a
// private mount namespace with fresh tmpfs mounts over /var and
// /var/qv-production, so the machine's own counter is never touched. Needs
// root and util-linux unshare; the fault table also needs strace.
#include <algorithm>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <set>
#include <sstream>
#include <thread>
#include <unistd.h>

using namespace std::string_literals;
namespace fs = std::filesystem;

namespace {

const std::string EMULATOR = AVR_EE_EMULATOR;

std::string quote(std::string_view word)
{
    std::string q = "'";
    for (char c : word)
        q += c == '\'' ? "'\\''"s : std::string(1, c);
    return q + "'";
}

std::string read_file(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

struct run_plan {
    std::optional<std::string> counter = {};  // the counter file's content; none: no file
    std::string setup = {};                   // shell, before the run, inside the namespace
    std::string prefix = {};                  // words before the tool: variables, a tracer
    std::string tail = {};                    // arguments and redirections after the tool
};

struct run_result {
    int status = -1;
    std::string out;                     // standard output
    std::string err;                     // standard error: the image, or a diagnostic
    std::optional<std::string> counter;  // the counter file afterwards, if it is a file
};

class scratch {
public:
    scratch()
    {
        std::string tmpl = "/tmp/avr_ee_e2e.XXXXXX";
        if (::mkdtemp(tmpl.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        path = tmpl;
    }
    ~scratch() { fs::remove_all(path); }
    fs::path path;
};

// Runs SCRIPT with /bin/sh in the sandbox. In SCRIPT, $TOOL runs avr_ee,
// $COUNTER avr_ee_counter, and $D names a scratch directory outside the
// namespace.
run_result run_script(const std::optional<std::string>& counter, const std::string& script, const scratch& d)
{
    if (counter)
        std::ofstream(d.path / "seed", std::ios::binary) << *counter;
    std::ofstream(d.path / "run.sh")
        << "D=" << quote(d.path.string()) << "\n"
        << "TOOL=" << quote(EMULATOR + " " + AVR_EE_BIN) << "  # split into words where used\n"
        << "COUNTER=" << quote(EMULATOR + " " + AVR_EE_COUNTER_BIN) << "\n"
        << "mount -t tmpfs -o mode=755 avr_ee_test /var && mkdir /var/qv-production &&\n"
        << "  mount -t tmpfs -o mode=755 avr_ee_test /var/qv-production || exit 125\n"
        << "if [ -f \"$D/seed\" ]; then cp \"$D/seed\" /var/qv-production/mac || exit 125; fi\n"
        << script << "\n"
        << "if [ -f /var/qv-production/mac ]; then cp /var/qv-production/mac \"$D/after\"; fi\n";

    std::string command = "unshare --mount /bin/sh " + quote((d.path / "run.sh").string());
    int rc = std::system((command + " 2>" + quote((d.path / "sandbox.err").string())).c_str());
    if (rc != 0)
        throw std::runtime_error("the sandbox did not run: " + command + " gave " + std::to_string(rc) + ": " +
                                 read_file(d.path / "sandbox.err"));
    run_result r;
    r.out = read_file(d.path / "out");
    r.err = read_file(d.path / "err");
    if (fs::exists(d.path / "status"))
        r.status = std::stoi(read_file(d.path / "status"));
    if (fs::exists(d.path / "after"))
        r.counter = read_file(d.path / "after");
    return r;
}

run_result run_tool(const run_plan& plan, const scratch& d = scratch())
{
    return run_script(plan.counter,
                      plan.setup + "\n" + plan.prefix + " $TOOL >\"$D/out\" 2>\"$D/err\" " + plan.tail +
                          "\necho $? >\"$D/status\"",
                      d);
}

// A run that refused: one diagnostic line, nothing else on either stream.
void expect_refusal(const run_result& r, const std::string& text)
{
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(r.err.starts_with("avr_ee: ")) << r.err;
    EXPECT_NE(r.err.find(text), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_TRUE(r.err.ends_with("\n")) << r.err;
}

std::array<int, 3> date_of(std::time_t t, bool local)
{
    std::tm tm{};
    local ? ::localtime_r(&t, &tm) : ::gmtime_r(&t, &tm);
    return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday};
}

std::array<int, 3> image_date(const std::string& image)
{
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(image.at(i)); };
    return {byte(0x93) << 8 | byte(0x94), byte(0x91), byte(0x92)};
}

// The image for the address in LINE, dated within [BEFORE, AFTER] as DATE_AT tells.
template <typename DateAt>
void expect_image(const std::string& image, const std::string& line, std::time_t before, std::time_t after,
                  DateAt date_at)
{
    ASSERT_EQ(image.size(), 256u);
    for (std::size_t i = 0; i < 6; ++i)
        EXPECT_EQ(static_cast<unsigned char>(image[i]), std::stoul(line.substr(3 * i, 2), nullptr, 16)) << i;
    for (std::size_t i = 6; i < 256; ++i) {
        if (i >= 0x91 && i <= 0x94)
            continue;
        EXPECT_EQ(static_cast<unsigned char>(image[i]), 0xFF) << "offset " << i;
    }
    auto got = image_date(image);
    EXPECT_TRUE(got == date_at(before) || got == date_at(after)) << got[0] << '-' << got[1] << '-' << got[2];
}

struct good_case {
    const char* name;
    std::optional<std::string> before;
    const char* args;
    const char* line;
    std::optional<std::string> after;
    const char* setup = "";
};

TEST(EndToEnd, SettlesTheAddress)
{
    const good_case cases[] = {
        {"counter", "0000002a", "", "02:C4:7B:00:00:2B\n", "0000002b"},
        {"counter keeps its line end", "0000ffff\n", "", "02:C4:7B:01:00:00\n", "00010000\n"},
        {"last of the block", "00ffffff", "", "02:C4:7B:00:00:00\n", "01000000"},
        {"hand-made counter", "  1A", "", "02:C4:7B:00:00:1B\n", "0000001b"},
        {"argument, no counter", std::nullopt, "0:1:2:3:4:5", "00:01:02:03:04:05\n", std::nullopt},
        {"argument, counter untouched", "00000007", "1ff:100:a:B:0x0c:0d junk", "FF:00:0A:0B:0C:0D\n", "00000007"},
        {"lowercase argument", std::nullopt, "aa:bb:cc:dd:ee:ff", "AA:BB:CC:DD:EE:FF\n", std::nullopt},
        {"wide number", std::nullopt, "100000000:1:2:3:4:5", "FF:01:02:03:04:05\n", std::nullopt},
        {"mistyped argument", "00000000", "00-11-22-33-44-55", "02:C4:7B:00:00:01\n", "00000001"},
        {"empty argument", "00000000", "''", "02:C4:7B:00:00:01\n", "00000001"},
        {"blank before a colon", "00000000", "'00 :11:22:33:44:55'", "02:C4:7B:00:00:01\n", "00000001"},
        {"waits for an operator's edit under flock(1)", "0000002a", "", "02:C4:7B:00:10:01\n", "00001001",
         "flock /var/qv-production/mac -c 'sleep 1; printf 00001000 1<>/var/qv-production/mac' & sleep 0.3"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::time_t before = std::time(nullptr);
        run_result r = run_tool({.counter = c.before, .setup = c.setup, .tail = c.args});
        std::time_t after = std::time(nullptr);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, c.line);
        EXPECT_EQ(r.counter, c.after);
        expect_image(r.err, c.line, before, after, [](std::time_t t) { return date_of(t, true); });
    }
}

struct refusal_case {
    const char* name;
    std::optional<std::string> counter;
    const char* setup;
    const char* text;
};

TEST(EndToEnd, RefusesAndLeavesEverythingAsItWas)
{
    const refusal_case cases[] = {
        {"missing counter", std::nullopt, "", "macfile != ((void *)0)"},
        {"directory", std::nullopt, "mkdir /var/qv-production/mac", "macfile != ((void *)0)"},
        {"FIFO", std::nullopt, "mkfifo /var/qv-production/mac", "macfile != ((void *)0)"},
        {"block used up", "01000000", "", "lower <= 0xffffff"},
        {"beyond the block", "ffffffff\n", "", "lower <= 0xffffff"},
        {"empty", "", "", "no hexadecimal number"},
        {"not a number", "hello\n", "", "no hexadecimal number"},
        {"mistyped argument, used up", "01000000", "", "lower <= 0xffffff"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        run_result r = run_tool({.counter = c.counter, .setup = c.setup});
        expect_refusal(r, c.text);
        EXPECT_EQ(r.counter, c.counter) << "the counter changed, or was created";
    }
    run_result r = run_tool({.counter = "01000000", .tail = "00:11:22:33:44"});
    expect_refusal(r, "lower <= 0xffffff");
}

// Etc/GMT-14 is UTC+14 and Etc/GMT+12 is UTC-12: at any instant at least one
// of them is on another day than UTC.
TEST(EndToEnd, DatesTheImageInLocalTime)
{
    ASSERT_TRUE(fs::exists("/usr/share/zoneinfo/Etc/GMT-14")) << "tzdata is not installed";
    std::set<std::array<int, 3>> dates;
    std::array<int, 3> utc{};
    for (auto [zone, offset] : {std::pair{"Etc/GMT-14", 14 * 3600}, std::pair{"Etc/GMT+12", -12 * 3600}}) {
        SCOPED_TRACE(zone);
        std::time_t before = std::time(nullptr);
        run_result r = run_tool({.prefix = "TZ="s + zone, .tail = "0:1:2:3:4:5"});
        std::time_t after = std::time(nullptr);
        ASSERT_EQ(r.status, 0) << r.err;
        expect_image(r.err, r.out, before, after, [&](std::time_t t) { return date_of(t + offset, false); });
        dates.insert(image_date(r.err));
        utc = date_of(after, false);
    }
    dates.insert(utc);
    EXPECT_GE(dates.size(), 2u) << "both images carry the UTC date";
}

TEST(EndToEnd, ParallelRunsHandOutDistinctAddresses)
{
    constexpr int LOOPS = 4, RUNS = 50;
    scratch d;
    run_result r = run_script("00000000",
                              "for j in $(seq " + std::to_string(LOOPS) + "); do\n"
                              "  ( for i in $(seq " + std::to_string(RUNS) + "); do\n"
                              "      $TOOL >>\"$D/out\" 2>/dev/null || echo \"exit $?\" >>\"$D/err\"\n"
                              "    done ) &\n"
                              "done\n"
                              "wait",
                              d);
    EXPECT_EQ(r.err, "") << "some runs failed";
    std::istringstream lines(r.out);
    std::set<std::string> distinct;
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
        EXPECT_TRUE(line.starts_with("02:C4:7B:")) << line;
        distinct.insert(line);
    }
    EXPECT_EQ(count, LOOPS * RUNS);
    EXPECT_EQ(distinct.size(), std::size_t{LOOPS * RUNS});
    EXPECT_EQ(r.counter, "000000c8");
}

// A pipe whose write end is descriptor 7 in the runs the test starts.
class pipe_on_fd7 {
public:
    static constexpr int FD = 7;
    pipe_on_fd7()
    {
        int fds[2];
        if (::fcntl(FD, F_GETFD) != -1 || ::pipe2(fds, O_CLOEXEC) != 0 || ::dup2(fds[1], FD) != FD)
            throw std::runtime_error("cannot set up a pipe on descriptor 7");
        ::close(fds[1]);
        read_end = fds[0];
    }
    ~pipe_on_fd7()
    {
        close_write_end();
        if (read_end >= 0)
            ::close(read_end);
    }
    void close_write_end()
    {
        if (std::exchange(write_open_, false))
            ::close(FD);
    }
    int read_end = -1;

private:
    bool write_open_ = true;
};

struct output_case {
    const char* name;
    const char* tail;
    bool image_out;
    const char* setup = "";
    const char* counter_after = "00000001";
};

// An address taken from the counter is skipped, never reissued, and the
// diagnostic names it for the line's log.
TEST(EndToEnd, FailedOutputIsNotSuccess)
{
    pipe_on_fd7 broken;
    ::close(std::exchange(broken.read_end, -1));
    const output_case cases[] = {
        {"image into a full device", "2>/dev/full", false},
        {"line into a full device", ">/dev/full", true},
        {"line into a pipe nobody reads", ">&7", true},
        {"image past the file-size limit", "2>>\"$D/big\"", false, "head -c 512 /dev/zero >\"$D/big\"; ulimit -f 1"},
        {"standard output closed, an address given", "0:1:2:3:4:5 >&-", true, "", "00000000"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        run_result r = run_tool({.counter = "00000000", .setup = c.setup, .tail = c.tail});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.counter, c.counter_after);
        if (c.image_out) {
            ASSERT_GE(r.err.size(), 256u);
            std::string diagnostic = r.err.substr(256);
            EXPECT_TRUE(diagnostic.starts_with("avr_ee: cannot ")) << diagnostic;
            EXPECT_EQ(diagnostic.ends_with(" (02:C4:7B:00:00:01 is spent)\n"), c.counter_after == "00000001"s)
                << diagnostic;
        }
    }
}

// A run that could not deliver an address takes none: a stream that is
// closed or open for reading only, or standard error on a terminal, which
// would alter the image's bytes.
TEST(EndToEnd, TakesNoAddressForOutputsThatCannotCarryIt)
{
    const std::pair<const char*, const char*> cases[] = {
        {"standard output closed", ">&-"},
        {"standard error closed", "2>&-"},
        {"standard output read-only", "1<\"$D/ro\""},
        {"standard error read-only", "2<\"$D/ro\""},
    };
    for (auto [name, tail] : cases) {
        SCOPED_TRACE(name);
        run_result r = run_tool({.counter = "0000002a", .setup = "touch \"$D/ro\"", .tail = tail});
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.counter, "0000002a");
    }
    SCOPED_TRACE("standard error on a terminal");
    scratch d;
    run_result r = run_script("0000002a", "script -qec \"$TOOL\" /dev/null >\"$D/out\"; echo $? >\"$D/status\"", d);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "avr_ee: cannot write image: standard error: a terminal, which alters raw bytes; send it to a "
                     "file (no address taken)\r\n");
    EXPECT_EQ(r.counter, "0000002a");
}

// A caller's non-blocking pipe that is full when the line is due: the run
// waits until the reader makes room, and succeeds.
TEST(EndToEnd, WaitsOutAFullNonBlockingPipe)
{
    pipe_on_fd7 out;
    ASSERT_EQ(::fcntl(out.FD, F_SETFL, O_NONBLOCK), 0);
    std::string filler(4096, 'x');
    std::size_t filled = 0;
    for (ssize_t n; (n = ::write(out.FD, filler.data(), filler.size())) > 0;)
        filled += static_cast<std::size_t>(n);
    ASSERT_EQ(errno, EAGAIN);

    std::string drained;
    std::thread reader([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        char buf[4096];
        for (ssize_t n; (n = ::read(out.read_end, buf, sizeof buf)) > 0;)
            drained.append(buf, static_cast<std::size_t>(n));
    });
    run_result r = run_tool({.tail = "0:1:2:3:4:5 >&7"});
    out.close_write_end();
    reader.join();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(drained.size(), filled + 18);
    EXPECT_TRUE(drained.ends_with("x00:01:02:03:04:05\n"));
}

struct stopped_wait_case {
    const char* name;
    const char* holder;  // shell, while the run is stopped, from 0.5 s on
    bool refused;
};

// The wait for the lock is bounded on a clock that runs while the run is
// stopped, and a run stopped past its deadline takes a lock that was let go
// meanwhile rather than refuse.
TEST(EndToEnd, LockWaitIsBoundedByTheClock)
{
    const stopped_wait_case cases[] = {
        {"held throughout", "sleep 8", true},
        {"let go while the run was stopped", "sleep 2.5; exec 9>&-; sleep 8", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        scratch d;
        run_result r = run_script("0000002a",
                                  "exec 9<>/var/qv-production/mac && flock 9 || exit 125\n"
                                  "start=$(date +%s%N)\n"
                                  "$TOOL 9>&- >\"$D/out\" 2>\"$D/err\" & run=$!\n"
                                  "sleep 0.5; kill -STOP $run; "s + c.holder + "; kill -CONT $run\n"
                                  "wait $run; echo $? >\"$D/status\"\n"
                                  "echo $(( ($(date +%s%N) - start) / 1000000 )) >\"$D/elapsed\"",
                                  d);
        long elapsed = std::stol(read_file(d.path / "elapsed"));
        if (!c.refused) {
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.counter, "0000002b");
            continue;
        }
        expect_refusal(r, "cannot lock counter: /var/qv-production/mac: still locked by another run after ");
        long said = std::stol(r.err.substr(r.err.find(" after ") + 7));
        EXPECT_GE(said, 10000);
        EXPECT_LE(said, elapsed);
        // Stopped for 8 of its 10 s: a wait that did not count them would
        // take 18 s.
        EXPECT_LT(elapsed, 16000) << "the time the run was stopped was not counted";
        EXPECT_EQ(r.counter, "0000002a");
    }
}

TEST(EndToEnd, RefusesAClockThatWasNeverSet)
{
    if (!EMULATOR.empty())
        GTEST_SKIP() << "faketime cannot set the clock of a program run by " << EMULATOR;
    ASSERT_EQ(std::system("command -v faketime >/dev/null"), 0) << "faketime is not installed";
    // ASan objects to libfaketime being loaded ahead of it; it does no harm.
    run_result r = run_tool({.counter = "0000002a",
                             .prefix = "ASAN_OPTIONS=verify_asan_link_order=0 faketime '1970-01-01 00:00:05'"});
    expect_refusal(r, "clock not set: system clock: it reads 1970-01-01, before this release's date");
    EXPECT_EQ(r.counter, "0000002a");
}

// Which call of its name in TRACE the counter's SYSCALL is: strace's when=.
int counter_call_number(const std::string& trace, const std::string& syscall)
{
    std::istringstream lines(trace);
    std::string fd;  // the counter's descriptor, once open
    int calls = 0;
    for (std::string line; std::getline(lines, line);) {
        bool named = line.starts_with(syscall + "(");
        calls += named;
        if (fd.empty()) {
            if (line.starts_with("openat(AT_FDCWD, \"/var/qv-production/mac\"")) {
                if (named)
                    return calls;
                fd = line.substr(line.rfind(" = ") + 3);
            }
        } else if (line.starts_with(syscall + "(" + fd + ",") || line.starts_with(syscall + "(" + fd + ")")) {
            return calls;
        }
    }
    return 0;
}

struct fault_case {
    const char* syscall;
    const char* error;
    const char* text;
    const char* after;  // the counter afterwards: moved on once the new value may be in it
};

TEST(EndToEnd, CounterSystemCallFailuresRefuse)
{
    if (!EMULATOR.empty())
        GTEST_SKIP() << "strace cannot inject faults into the system calls of a program run by " << EMULATOR;
    ASSERT_EQ(std::system("strace -V >/dev/null 2>&1"), 0) << "strace is not installed";

    const std::string calls = "openat,flock,read,pwrite64,fdatasync,close";
    // LeakSanitizer, in a sanitizer build, cannot work under a tracer.
    const std::string strace = "ASAN_OPTIONS=detect_leaks=0 strace";
    scratch d;
    run_result traced = run_tool({.counter = "00000041", .prefix = strace + " -o \"$D/trace\" -e trace=" + calls}, d);
    ASSERT_EQ(traced.status, 0) << traced.err;
    std::string trace = read_file(d.path / "trace");

    const fault_case cases[] = {
        {"openat", "EACCES", "macfile != ((void *)0)): /var/qv-production/mac: Permission denied", "00000041"},
        {"flock", "ENOLCK", "cannot lock counter: /var/qv-production/mac: No locks available", "00000041"},
        {"read", "EIO", "cannot read counter: /var/qv-production/mac: Input/output error", "00000041"},
        {"pwrite64", "ENOSPC", "cannot write counter: /var/qv-production/mac: No space left on device", "00000041"},
        {"fdatasync", "EIO", "cannot flush counter: /var/qv-production/mac: Input/output error", "00000042"},
        {"close", "EIO", "cannot close counter: /var/qv-production/mac: Input/output error", "00000042"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.syscall);
        int when = counter_call_number(trace, c.syscall);
        ASSERT_GT(when, 0) << "no " << c.syscall << " on the counter in\n" << trace;
        std::string inject = " -e inject="s + c.syscall + ":error=" + c.error + ":when=" + std::to_string(when);
        run_result r = run_tool({.counter = "00000041", .prefix = strace + " -o /dev/null -e trace=" + calls + inject});
        expect_refusal(r, c.text);
        EXPECT_EQ(r.counter, c.after);
    }
}

}  // namespace
