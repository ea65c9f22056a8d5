// Runs the built avr_ee and avr_ee_counter as production scripts and
// operators do. Every run happens in a private mount namespace with fresh
// tmpfs mounts over /var and /var/qv-production, so the machine's own counter
// is never touched (tests/private-ns). Needs root and util-linux unshare; the
// tests that inject faults or count system calls also need strace.
#include <algorithm>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iomanip>
#include <regex>
#include <set>
#include <sstream>
#include <thread>
#include <unistd.h>

#include "counter_command.hpp"

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
    std::string program = "$TOOL";            // or $COUNTER, $DUMP, or $FAKE_CLOCK_TOOL
};

struct run_result {
    int status = -1;
    std::string out;                     // standard output
    std::string err;                     // standard error: the image, or a diagnostic
    std::optional<std::string> counter;  // the counter file afterwards, if it is a file
    std::string files;                   // what is under /var afterwards, a path a line
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

// avr_ee with CLOCK_REALTIME reading $AVR_EE_FAKE_TIME. An emulated program
// gets the preload through the emulator: the emulator itself, a host
// program, must not load it.
std::string fake_clock_tool(const char* program = AVR_EE_BIN)
{
    if (EMULATOR.empty())
        return "env LD_PRELOAD="s + AVR_EE_FAKE_CLOCK + " " + program;
    return EMULATOR + " -E LD_PRELOAD=" + AVR_EE_FAKE_CLOCK + " " + program;
}

// Runs SCRIPT with /bin/sh in the sandbox. In SCRIPT, $TOOL runs avr_ee,
// $FAKE_CLOCK_TOOL avr_ee on a clock set by $AVR_EE_FAKE_TIME, $COUNTER
// avr_ee_counter, $DUMP avr_ee_dump, and $D names a scratch directory outside the namespace.
run_result run_script(const std::optional<std::string>& counter, const std::string& script, const scratch& d)
{
    if (counter)
        std::ofstream(d.path / "seed", std::ios::binary) << *counter;
    std::ofstream(d.path / "run.sh")
        << "D=" << quote(d.path.string()) << "\n"
        << "TOOL=" << quote(EMULATOR + " " + AVR_EE_BIN) << "  # split into words where used\n"
        << "FAKE_CLOCK_TOOL=" << quote(fake_clock_tool()) << "\n"
        << "COUNTER=" << quote(EMULATOR + " " + AVR_EE_COUNTER_BIN) << "\n"
        << "DUMP=" << quote(EMULATOR + " " + AVR_EE_DUMP_BIN) << "\n"
        << "BOOKS=" << quote(EMULATOR + " " + AVR_EE_BOOKS_BIN) << "\n"
        << "FAKE_CLOCK_BOOKS=" << quote(fake_clock_tool(AVR_EE_BOOKS_BIN)) << "\n"
        << "mount -t tmpfs -o mode=755 avr_ee_test /var && mkdir /var/qv-production &&\n"
        << "  mount -t tmpfs -o mode=755 avr_ee_test /var/qv-production || exit 125\n"
        << "if [ -f \"$D/seed\" ]; then cp \"$D/seed\" /var/qv-production/mac || exit 125; fi\n"
        << script << "\n"
        << "if [ -f /var/qv-production/mac ]; then cp /var/qv-production/mac \"$D/after\"; fi\n"
        << "find /var | sort >\"$D/files\"\n";

    std::string command = AVR_EE_PRIVATE_NS " /bin/sh "s + quote((d.path / "run.sh").string());
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
    r.files = read_file(d.path / "files");
    return r;
}

run_result run_tool(const run_plan& plan, const scratch& d = scratch())
{
    return run_script(plan.counter,
                      plan.setup + "\n" + plan.prefix + " " + plan.program + " >\"$D/out\" 2>\"$D/err\" " + plan.tail +
                          "\necho $? >\"$D/status\"",
                      d);
}

// A run that refused: the one diagnostic line "avr_ee: TEXT", nothing else on
// either stream.
void expect_refusal(const run_result& r, const std::string& text)
{
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "avr_ee: " + text + "\n");
}

// The milliseconds that a refusal starting "avr_ee: OPENING", then a number
// and " ms", states; -1 when it is not that refusal.
long stated_ms(const run_result& r, const std::string& opening)
{
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    std::string line = "avr_ee: " + opening;
    EXPECT_TRUE(r.err.starts_with(line) && r.err.ends_with(" ms\n")) << r.err;
    return r.err.starts_with(line) ? std::atol(r.err.c_str() + line.size()) : -1;
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
        // The run locks the file it waited on, finds another at the path, and
        // must hand out from that one: the replaced file's value is read by no
        // later run.
        {"follows a counter replaced by cp + mv while it waits", "0000002a", "", "02:C4:7B:00:10:01\n", "00001001",
         "cd /var/qv-production && flock mac -c 'sleep 1; cp mac new && printf 00001000 1<>new && mv new mac; "
         "sleep 0.5' & sleep 0.3"},
        // A lease (an NFS server's delegation, Samba's oplock) is waited for.
        {"waits for a lease to be let go", "0000002a", "", "02:C4:7B:00:00:2B\n", "0000002b",
         "perl -e 'open F, \"<\", \"/var/qv-production/mac\"; $SIG{IO} = sub { select undef, undef, undef, 0.5; "
         "fcntl F, 1024, 2; exit }; fcntl F, 1024, 0 or die; sleep 9' & sleep 0.3"},
        {"standard input closed: the counter opens as descriptor 0", "0000002a", "<&-", "02:C4:7B:00:00:2B\n",
         "0000002b"},
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
    std::string text;  // the diagnostic after "avr_ee: "
    const char* tail = "";
    const char* prefix = "";
};

// The condition texts before the first colon are the ones production scripts
// know.
TEST(EndToEnd, RefusesAndLeavesEverythingAsItWas)
{
    const std::string cannot_open = "cannot open counter (macfile != ((void *)0)): /var/qv-production/mac: ";
    const std::string used_up = "counter block used up (lower <= 0xffffff): /var/qv-production/mac: it reads ";
    const std::string no_number = "cannot read counter: /var/qv-production/mac: no hexadecimal number at the start";
    const refusal_case cases[] = {
        {"missing counter", std::nullopt, "", cannot_open + "No such file or directory"},
        {"directory", std::nullopt, "mkdir /var/qv-production/mac", cannot_open + "Is a directory"},
        {"FIFO", std::nullopt, "mkfifo /var/qv-production/mac", cannot_open + "not a regular file"},
        {"block used up", "01000000", "", used_up + "01000000"},
        {"beyond the block", "ffffffff\n", "", used_up + "ffffffff"},
        {"empty", "", "", no_number},
        {"not a number", "hello\n", "", no_number},
        {"mistyped argument, used up", "01000000", "", used_up + "01000000", "00:11:22:33:44"},
        // No signal may be queued, so no timer made, for a run that must wait.
        {"the wait's timer cannot be made", "0000002a", "exec 9<>/var/qv-production/mac && flock 9",
         "cannot lock counter: /var/qv-production/mac: cannot set the wait's timer: Resource temporarily unavailable",
         "9>&-", "prlimit --sigpending=0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        run_result r = run_tool({.counter = c.counter, .setup = c.setup, .prefix = c.prefix, .tail = c.tail});
        expect_refusal(r, c.text);
        EXPECT_EQ(r.counter, c.counter) << "the counter changed, or was created";
    }
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

// Parallel runs, and an operator's advance-to among them: no address is handed
// out twice or lost, and the counter ends where the runs left it.
TEST(EndToEnd, ParallelRunsAndAnAdvanceHandOutDistinctAddresses)
{
    constexpr int LOOPS = 4, RUNS = 50, TOTAL = LOOPS * RUNS;
    constexpr std::uint32_t ADVANCED = 0x100000;
    scratch d;
    run_result r = run_script("00000000",
                              "touch \"$D/out\"\n"
                              "for j in $(seq " + std::to_string(LOOPS) + "); do\n"
                              "  ( for i in $(seq " + std::to_string(RUNS) + "); do\n"
                              "      $TOOL >>\"$D/out\" 2>/dev/null || echo \"exit $?\" >>\"$D/err\"\n"
                              "    done ) &\n"
                              "done\n"
                              "i=0; while [ $(wc -l <\"$D/out\") -lt " + std::to_string(TOTAL / 4) +
                                  " ] && [ $i -lt 600 ]; do sleep 0.05; i=$((i + 1)); done\n"
                              "$COUNTER advance-to 00100000 >\"$D/advanced\" ||\n"
                              "  echo \"advance-to: exit $?\" >>\"$D/err\"\n"
                              "wait",
                              d);
    EXPECT_EQ(r.err, "") << "some runs failed";
    EXPECT_EQ(read_file(d.path / "advanced"), "00100000 last 02:C4:7B:10:00:00 next 02:C4:7B:10:00:01 left 15728640\n");

    // The runs before the advance hand out 1 to K, the ones after it go on
    // from 100001.
    std::istringstream lines(r.out);
    std::vector<std::uint32_t> got;
    for (std::string line; std::getline(lines, line);) {
        ASSERT_TRUE(line.starts_with("02:C4:7B:") && line.size() == 17) << line;
        std::erase(line, ':');
        got.push_back(static_cast<std::uint32_t>(std::stoul(line.substr(6), nullptr, 16)));
    }
    ASSERT_EQ(got.size(), std::size_t{TOTAL});
    std::ranges::sort(got);
    auto k = static_cast<std::uint32_t>(std::ranges::count_if(got, [&](std::uint32_t s) { return s < ADVANCED; }));
    std::vector<std::uint32_t> want;
    for (std::uint32_t s = 1; s <= TOTAL; ++s)
        want.push_back(s <= k ? s : ADVANCED + s - k);
    auto [wrong, due] = std::ranges::mismatch(got, want);
    EXPECT_TRUE(wrong == got.end()) << "handed out " << std::hex << *wrong << " where " << *due << " was due, after "
                                    << std::dec << k << " runs before the advance";
    std::ostringstream counter;
    counter << std::hex << std::setfill('0') << std::setw(8) << ADVANCED + TOTAL - k;
    EXPECT_EQ(r.counter, counter.str());
}

struct counter_main_case {
    const char* name;
    const char* args;
    std::optional<std::string> before, after;  // the counter file; none: no file
    int status;
    std::string out, err;
    std::string files;  // what is under /var afterwards
    const char* setup = "";
    std::string prefix = "";
};

// avr_ee_counter as operators and their scripts see it: its statuses, and
// texts on the right stream.
TEST(EndToEnd, CounterCommandStatusesAndTexts)
{
    const std::string usage(avr_ee::COUNTER_USAGE), prog = "avr_ee_counter: ";
    const std::string dir = "/var\n/var/qv-production\n", file = dir + "/var/qv-production/mac\n";
    // Standard output's close, or a file system call on the counter's side.
    const std::string fault = "ASAN_OPTIONS=detect_leaks=0 strace -f -o /dev/null -P \"$D/out\" -P /var/qv-production "
                              "-P /var/qv-production/mac -e inject=";
    const counter_main_case cases[] = {
        {"show a missing counter", "show", std::nullopt, std::nullopt, 2, "",
         prog + "cannot open counter (macfile != ((void *)0)): /var/qv-production/mac: No such file or directory\n",
         dir},
        {"no verb", "", "0000002a", "0000002a", 2, "",
         prog + "unknown command: (none): give show, advance-to or provision\n" + usage, file},
        {"advance-to without its value", "advance-to", "0000002a", "0000002a", 2, "",
         prog + "wrong number of arguments: advance-to: give HEX\n" + usage, file},
        {"advance-to a C-style number", "advance-to 0x10", "0000002a", "0000002a", 2, "",
         prog + "not a counter value: 0x10: give one to eight hexadecimal digits\n" + usage, file},
        {"provision", "provision", std::nullopt, "00000000", 0,
         "00000000 provisioned at /var/qv-production/mac on a local file system: tmpfs avr_ee_test mounted on "
         "/var/qv-production\n",
         "", file},
        // The directory may be the mount point of a share that did not mount.
        {"provision without the directory", "provision", std::nullopt, std::nullopt, 2, "",
         prog + "cannot create counter: /var/qv-production/mac: No such file or directory\n", "/var\n",
         "umount /var/qv-production && rmdir /var/qv-production"},
        {"--version", "--version", std::nullopt, std::nullopt, 0, "avr_ee_counter " AVR_EE_VERSION "\n", "", dir},
        {"--help", "--help", std::nullopt, std::nullopt, 0, usage + std::string(avr_ee::COUNTER_HELP), "", dir},
        {"show, standard output fails at its close", "show", "0000002a", "0000002a", 1,
         "0000002a last 02:C4:7B:00:00:2A next 02:C4:7B:00:00:2B left 16777174\n",
         prog + "cannot write: standard output: Input/output error\n", file, "", fault + "close:error=EIO"},
        // One line, whatever the operator typed.
        {"a line feed in HEX", "advance-to \"$(printf '1\\n2')\"", "0000002a", "0000002a", 2, "",
         prog + "not a counter value: 1\\n2: give one to eight hexadecimal digits\n" + usage, file},
        // The stations' group must be able to write it, whatever the umask.
        {"provision under umask 077", "provision >/dev/null && stat -c %a /var/qv-production/mac >\"$D/out\"",
         std::nullopt, "00000000", 0, "660\n", "", file, "umask 077"},
        // The counter was made: status 1, not 2.
        {"provision, the directory's flush fails", "provision", std::nullopt, "00000000", 1, "",
         prog + "cannot flush directory: /var/qv-production: Input/output error; the counter was made, holding "
                "00000000: do not provision it again\n",
         file, "", fault + "fsync:error=EIO"},
        // Before the link: no counter, and no temporary file left behind.
        {"provision, the counter's flush fails", "provision", std::nullopt, std::nullopt, 2, "",
         prog + "cannot flush counter: /var/qv-production/mac: Input/output error\n", dir, "",
         "ASAN_OPTIONS=detect_leaks=0 strace -f -o /dev/null -e inject=fdatasync:error=EIO"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        run_result r = run_tool(
            {.counter = c.before, .setup = c.setup, .prefix = c.prefix, .tail = c.args, .program = "$COUNTER"});
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.counter, c.after);
        EXPECT_EQ(r.files, c.files);
    }
}

// avr_ee_dump on what avr_ee wrote on a moved clock, whole or as a larger
// part's read-back, and on what it did not write.
TEST(EndToEnd, DumpDecodesWhatAvrEeWrote)
{
    // $D/ee: avr_ee's image on the UTC day of SECONDS, then printf's BYTES at OFFSET.
    auto made = [](std::string seconds, std::string bytes = "", int offset = 0) {
        return "TZ=UTC ASAN_OPTIONS=verify_asan_link_order=0 AVR_EE_FAKE_TIME=" + seconds + " $FAKE_CLOCK_TOOL " +
               "02:C4:7B:00:00:2B 2>\"$D/ee\" >/dev/null && printf '" + bytes + "' | dd of=\"$D/ee\" bs=1 seek=" +
               std::to_string(offset) + " conv=notrunc status=none";
    };
    const std::string day = "1796637600", line = "02:C4:7B:00:00:2B 2026-12-07\n|", at = "|avr_ee_dump: ",
                      no = at + "not an avr_ee image: $D/ee: ", text = ": read the EEPROM with :r for raw bytes\n";
    const char* ee = "\"$D/ee\"";
    const std::tuple<std::string, std::string, int, std::string> cases[] = {  // setup, arguments, status, out|err
        {made(day), "<\"$D/ee\"", 0, line},
        {made(day), "- <\"$D/ee\"", 0, line},
        {made(day) + " && head -c 768 /dev/zero >>\"$D/ee\"", ee, 0, line},
        {made("4102394400"), ee, 0, "02:C4:7B:00:00:2B 2099-12-31\n|"},
        {made("1835431200"), ee, 0, "02:C4:7B:00:00:2B 2028-02-29\n|"},
        {"head -c 1024 /dev/zero | tr '\\0' '\\377' >\"$D/ee\"", ee, 2,
         no + "blank EEPROM, all 256 bytes 0xFF: never programmed\n"},
        {made(day) + " && truncate -s 200 \"$D/ee\"", ee, 2, no + "200 bytes, fewer than the image's 256\n"},
        {made(day, "\\0", 0x42), ee, 2, no + "byte 0x42 is 0x00, where the image holds 0xFF\n"},
        {made(day, "\\15", 0x91), ee, 2, no + "month 13 at 0x91, outside 1 to 12\n"},
        {made(day, "\\2\\35\\7\\353", 0x91), ee, 2, no + "day 29 at 0x92: 2027-02 has 28 days\n"},
        {"printf ':00000001FF\\n' >\"$D/ee\"", ee, 2, no + "Intel HEX text (avrdude's :i, an .eep file)" + text},
        {"printf 'S00600004844521B\\n' >\"$D/ee\"", "<\"$D/ee\"", 2,
         at + "not an avr_ee image: standard input: Motorola S-record text (avrdude's :s)" + text},
        {"", ee, 2, at + "cannot read: $D/ee: No such file or directory\n"},
        {"mkdir \"$D/ee\"", ee, 2, at + "cannot read: $D/ee: Is a directory\n"},
        {made(day, "\\377\\377\\377\\377", 0x91), ee, 3, "02:C4:7B:00:00:2B\n" + at + "interrupted write: $D/ee: " +
         "02:C4:7B:00:00:2B and no date after it; the station finishes it: run it for this board\n"},
        {made(day), "\"$D/ee\" >/dev/full", 1, at + "cannot write: standard output: No space left on device\n"},
        {"", "--version", 0, "avr_ee_dump " AVR_EE_VERSION "\n|"},
        {"", "a b", 2, at + "too many arguments: b: give one FILE at most\nusage: avr_ee_dump [FILE]\n       "
                         "avr_ee_dump --help | --version\n"},
    };
    for (auto [setup, tail, status, want] : cases) {
        SCOPED_TRACE(setup + " / " + tail);
        scratch d;
        run_result r = run_tool({.setup = setup, .tail = tail, .program = "$DUMP"}, d);
        for (std::size_t i; (i = want.find("$D")) != std::string::npos;)
            want.replace(i, 2, d.path.string());
        EXPECT_EQ(r.status, status);
        EXPECT_EQ(r.out + "|" + r.err, want);
    }
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
    const char* diagnostic;  // after the image; none: it went where the image did
    const char* setup = "";
    const char* prefix = "";
    const char* out = "";
    const char* counter_after = "00000001";
};

// An address taken from the counter is skipped, never reissued, and the
// diagnostic names it for the line's log.
TEST(EndToEnd, FailedOutputIsNotSuccess)
{
    pipe_on_fd7 broken;
    ::close(std::exchange(broken.read_end, -1));
    const output_case cases[] = {
        // The line names the spent address for the log all the same.
        {"image into a full device", "2>/dev/full", nullptr, "", "", "02:C4:7B:00:00:01\n"},
        {"line into a full device", ">/dev/full",
         "avr_ee: cannot write MAC line: standard output: No space left on device (02:C4:7B:00:00:01 is spent)\n"},
        {"line into a pipe nobody reads", ">&7",
         "avr_ee: cannot write MAC line: standard output: Broken pipe (02:C4:7B:00:00:01 is spent)\n"},
        {"image past the file-size limit", "2>>\"$D/big\"", nullptr, "head -c 512 /dev/zero >\"$D/big\"; ulimit -f 1",
         "", "02:C4:7B:00:00:01\n"},
        {"standard output closed, an address given", "0:1:2:3:4:5 >&-",
         "avr_ee: cannot write MAC line: standard output: Bad file descriptor\n", "", "", "", "00000000"},
        // Where a file system reports a failed write-back.
        {"closing standard output fails", "",
         "avr_ee: cannot close: standard output: Input/output error (02:C4:7B:00:00:01 is spent)\n", "",
         "ASAN_OPTIONS=detect_leaks=0 strace -o /dev/null -P \"$D/out\" -e inject=close:error=EIO",
         "02:C4:7B:00:00:01\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        run_result r = run_tool({.counter = "00000000", .setup = c.setup, .prefix = c.prefix, .tail = c.tail});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.counter, c.counter_after);
        if (c.diagnostic) {
            ASSERT_GE(r.err.size(), 256u);
            EXPECT_EQ(r.err.substr(256), c.diagnostic);
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
    // The writes it makes tell whether it slept until there was room or
    // spun: one that failed, one that went through, perhaps one more after a
    // wake-up that found no room after all.
    scratch d;
    run_result r = run_tool(
        {.prefix = "ASAN_OPTIONS=detect_leaks=0 strace -o \"$D/trace\" -e trace=write", .tail = "0:1:2:3:4:5 >&7"}, d);
    out.close_write_end();
    reader.join();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(drained.size(), filled + 18);
    EXPECT_TRUE(drained.ends_with("x00:01:02:03:04:05\n"));
    std::istringstream trace(read_file(d.path / "trace"));
    int writes = 0;
    for (std::string line; std::getline(trace, line);)
        writes += line.starts_with("write(1,");
    EXPECT_LE(writes, 3) << "it spun";
}

struct stopped_wait_case {
    const char* name;
    const char* holder;  // shell, while the run is stopped, from 0.3 s into its wait
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
                                  // Stopped once it waits, however loaded the machine.
                                  "until ls -l /proc/$run/fd | grep -q qv-production/mac; do sleep 0.05; done\n"
                                  "sleep 0.3; kill -STOP $run; "s + c.holder + "; kill -CONT $run\n"
                                  "wait $run; echo $? >\"$D/status\"\n"
                                  "echo $(( ($(date +%s%N) - start) / 1000000 )) >\"$D/elapsed\"",
                                  d);
        long elapsed = std::stol(read_file(d.path / "elapsed"));
        if (!c.refused) {
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.counter, "0000002b");
            continue;
        }
        long said = stated_ms(r, "cannot lock counter: /var/qv-production/mac: still locked by another run after ");
        EXPECT_GE(said, 10000);
        EXPECT_LE(said, elapsed);
        // Stopped for 8 of its 10 s: a wait that did not count them would
        // take 18 s.
        EXPECT_LT(elapsed, 16000) << "the time the run was stopped was not counted";
        EXPECT_EQ(r.counter, "0000002a");
    }
}

// A counter replaced faster than a run can lock it, as by a script gone wrong:
// the run gives up within the wait's bound rather than chase it for ever.
// Each lock is slowed so that the file is replaced while it is taken.
TEST(EndToEnd, GivesUpOnACounterReplacedAgainAndAgain)
{
    ASSERT_EQ(std::system("strace -V >/dev/null 2>&1"), 0) << "strace is not installed";
    scratch d;
    run_result r = run_script(
        "0000002a",
        "cd /var/qv-production\n"
        "( while :; do cp mac new && mv new mac; sleep 0.05; done ) & replacing=$!\n"
        "start=$(date +%s%N)\n"
        "ASAN_OPTIONS=detect_leaks=0 timeout 30 strace -o /dev/null -e trace=flock -e inject=flock:delay_enter=500000 "
        "$TOOL >\"$D/out\" 2>\"$D/err\"; echo $? >\"$D/status\"\n"
        "echo $(( ($(date +%s%N) - start) / 1000000 )) >\"$D/elapsed\"\n"
        "kill $replacing; wait",
        d);
    long elapsed = std::stol(read_file(d.path / "elapsed"));
    long said = stated_ms(r, "cannot lock counter: /var/qv-production/mac: the file was replaced again and again for ");
    EXPECT_GE(said, 10000);
    EXPECT_LE(said, elapsed);
    // The bound is checked after each try, and a try here takes 0.5 s.
    EXPECT_LT(elapsed, 13000);
    EXPECT_EQ(r.counter, "0000002a");
}

struct clock_case {
    const char* name;
    long long now;             // seconds since the epoch
    const char* refused_date;  // the date the refusal states; none: let through
};

// A station's clock that was never set reads 1970. The check lets through the
// release date's first second anywhere, which is 2026-12-08 at UTC+14, and
// no earlier one.
TEST(EndToEnd, RefusesAClockThatWasNeverSet)
{
    ASSERT_TRUE(fs::exists("/usr/share/zoneinfo/Etc/GMT-14")) << "tzdata is not installed";
    const clock_case cases[] = {
        {"1970", 5, "1970-01-01"},
        {"2026-12-07T09:59:59Z", 1796637599, "2026-12-07"},
        {"2026-12-07T10:00:00Z", 1796637600, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // ASan objects to a library loaded ahead of it; this one does no harm.
        run_result r = run_tool({.counter = "0000002a",
                                 .prefix = "TZ=Etc/GMT-14 ASAN_OPTIONS=verify_asan_link_order=0 AVR_EE_FAKE_TIME=" +
                                           std::to_string(c.now),
                                 .program = "$FAKE_CLOCK_TOOL"});
        if (c.refused_date) {
            expect_refusal(r, "clock not set: system clock: it reads "s + c.refused_date +
                                  ", before this release's date 2026-12-08; set the date and time");
            EXPECT_EQ(r.counter, "0000002a");
            continue;
        }
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "02:C4:7B:00:00:2B\n");
        ASSERT_EQ(r.err.size(), 256u);
        EXPECT_EQ(image_date(r.err), (std::array<int, 3>{2026, 12, 8}));
    }
}

// A file-size limit below the eight digits would tear the counter: both
// programs refuse before writing, and neither dies by SIGXFSZ. The
// diagnostic goes through a pipe, which the limit does not cut.
TEST(EndToEnd, RefusesAFileSizeLimitBelowTheDigits)
{
    for (std::string program : {"avr_ee", "avr_ee_counter"}) {
        std::string command = program == "avr_ee" ? "$TOOL" : "$COUNTER advance-to 00100000";
        run_result r = run_script(
            "0000ffff", "{ prlimit --fsize=7 " + command + " 2>&1 >/dev/null; echo $? >\"$D/status\"; } | cat >\"$D/err\"",
            scratch());
        EXPECT_EQ(r.status, 2) << program;
        EXPECT_EQ(r.err, program + ": cannot write counter: /var/qv-production/mac: the file-size limit (ulimit -f) is "
                                   "7 bytes, too small for 8 digits\n");
        EXPECT_EQ(r.counter, "0000ffff");
    }
}

struct fault_case {
    const char* syscall;  // as the host kernel sees it, an emulator's too
    int nth;              // which of its calls on the counter fails
    const char* error;
    const char* text;
    const char* after;    // the counter afterwards: moved on once the new value may be in it
    const char* tail = "";
};

// strace -P limits both the tracing and the count of when= to the calls on the
// counter, which an emulator makes on the program's behalf just as the
// program would.
TEST(EndToEnd, CounterSystemCallFailuresRefuse)
{
    ASSERT_EQ(std::system("strace -V >/dev/null 2>&1"), 0) << "strace is not installed";
    // LeakSanitizer, in a sanitizer build, cannot work under a tracer.
    const std::string strace = "ASAN_OPTIONS=detect_leaks=0 strace -o /dev/null -P /var/qv-production/mac";
    const fault_case cases[] = {
        {"openat", 1, "EACCES",
         "cannot open counter (macfile != ((void *)0)): /var/qv-production/mac: Permission denied", "00000041"},
        // Which locks to take: a file system that does not say is refused.
        {"fstatfs", 1, "EIO", "cannot lock counter: /var/qv-production/mac: Input/output error", "00000041"},
        {"flock", 1, "ENOLCK", "cannot lock counter: /var/qv-production/mac: No locks available", "00000041"},
        {"fcntl", 1, "ENOLCK", "cannot lock counter: /var/qv-production/mac: No locks available", "00000041"},
        // Whether the locked file is still the one at the path.
        {"statx", 2, "EIO", "cannot lock counter: /var/qv-production/mac: Input/output error", "00000041"},
        {"read", 1, "EIO", "cannot read counter: /var/qv-production/mac: Input/output error", "00000041"},
        {"pwrite64", 1, "ENOSPC", "cannot write counter: /var/qv-production/mac: No space left on device", "00000041"},
        {"fdatasync", 1, "EIO", "cannot flush counter: /var/qv-production/mac: Input/output error", "00000042"},
        {"close", 1, "EIO", "cannot close counter: /var/qv-production/mac: Input/output error", "00000042"},
        {"close", 1, "EIO", "cannot close counter: /var/qv-production/mac: Input/output error", "00000042", "<&-"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.syscall + " "s + std::to_string(c.nth) + " " + c.tail);
        std::string inject = " -e inject="s + c.syscall + ":error=" + c.error + ":when=" + std::to_string(c.nth);
        run_result r = run_tool({.counter = "00000041", .prefix = strace + inject, .tail = c.tail});
        expect_refusal(r, c.text);
        EXPECT_EQ(r.counter, c.after);
    }
}

struct books_case {
    const char* name;
    std::string script;  // after the counter is seeded and the books' directory made
    int status;          // of the script's last command
    const char* out;     // its standard output, a regular expression
    std::string err;     // its standard error, the same
    const char* after;   // the counter afterwards
};

// The books against the faults of a line: a share that cannot take a record,
// a take killed between its record and the counter's write, a counter set
// back, a torn record, parallel takes. Never an address in the counter that
// the books do not hold as issued, and never one issued twice.
TEST(EndToEnd, BooksHoldEveryAddressTheCounterIssued)
{
    ASSERT_EQ(std::system("strace -V >/dev/null 2>&1"), 0) << "strace is not installed";
    const std::string books = "/var/qv-production/books/02C47B000000.jsonl";
    const books_case cases[] = {
        {"no books", "rmdir /var/qv-production/books; $BOOKS take --port p", 2, "",
         "avr_ee_books: cannot open books: /var/qv-production/books: No such file or directory\n", "00000041"},
        {"full share",
         "mount -t tmpfs -o size=4k full /var/qv-production/books && head -c 4096 /dev/zero >/var/qv-production/books/x;"
         " $BOOKS take --port p",
         2, "", "avr_ee_books: cannot write books: .*02C47B000000.jsonl: No space left on device \\(no address taken\\)\n",
         "00000041"},
        {"read-only share",
         "mount --bind /var/qv-production/books /var/qv-production/books && mount -o remount,bind,ro "
         "/var/qv-production/books; $BOOKS take --port p",
         2, "", "avr_ee_books: cannot open books: .*02C47B000000.jsonl: Read-only file system\n", "00000041"},
        {"killed between the record and the counter",
         "strace -o /dev/null -P /var/qv-production/books/02C47B000000.jsonl -e inject=fdatasync:signal=KILL "
         "$BOOKS take --port p --run killed; { $BOOKS take --port p && $BOOKS check; }",
         1, "02:C4:7B:00:00:43\nopen 02:C4:7B:00:00:42 issued \\S+ on \\S+ p run killed\n"
            "open 02:C4:7B:00:00:43 .*\ncounter 00000043, highest issued 02:C4:7B:00:00:43\n"
            "issued 2, settled 0, open 2, programmed twice 0\n",
         "", "00000043"},
        {"the counter's write fails",
         "ASAN_OPTIONS=detect_leaks=0 strace -o /dev/null -P /var/qv-production/mac -e inject=fdatasync:error=EIO "
         "$BOOKS take --port p; { $BOOKS show 02:C4:7B:00:00:42 | cut -d' ' -f6-; }",
         0, "issued\nspent: its take could not write the counter: cannot flush counter: /var/qv-production/mac: "
            "Input/output error\n",
         "", "00000042"},
        {"the address cannot be printed", "$BOOKS take --port p >/dev/full; $BOOKS check | tail -n 1", 0,
         "issued 1, settled 1, open 0, programmed twice 0\n", "", "00000042"},
        {"a counter set back",
         "for i in 1 2 3; do $BOOKS take --port p; done >/dev/null; printf 00000041 >/var/qv-production/mac; $BOOKS "
         "take --port p",
         0, "02:C4:7B:00:00:45\n", "", "00000045"},
        {"a torn record",
         "a=$($BOOKS take --port p) && printf '{\"time\":\"2026-12-09T18:0' >>" + books +
             " && $BOOKS record $a programmed --reads-back $a 2026-12-09 && $BOOKS take --port p >/dev/null &&"
             " { $BOOKS show $a | cut -d' ' -f6-; wc -l <" + books + "; }",
         0, "issued\nprogrammed, reads back as 02:C4:7B:00:00:42 2026-12-09\n4\n",
         "avr_ee_books: warning: torn record skipped: " + books + ": line 2\n", "00000043"},
        {"parallel takes",
         "for l in 1 2 3 4; do (for i in $(seq 20); do $BOOKS take --port p$l; done >$D/loop.$l) & done; wait;"
         " { sort -u $D/loop.* | wc -l; grep -c '\"issued\"' " + books + "; $BOOKS check | grep -c ^open; }",
         0, "80\n80\n80\n", "", "00000091"},
        {"a station's log imported twice, of an address taken",
         "printf '%s\\n' '2026-12-07T10:00:01+01:00 02:C4:7B:00:00:42 writing the board on p' "
         "'2026-12-07T10:00:05+01:00 02:C4:7B:00:00:42 programmed (2026-12-07)' >$D/s.log; $BOOKS take --port p"
         " >/dev/null; { $BOOKS import $D/s.log; $BOOKS import $D/s.log; $BOOKS check | tail -n 1; }",
         0, ".*/s.log: 1 records imported, 1 already in the books\n.*/s.log: 0 records imported, 2 already in the "
            "books\nissued 1, settled 1, open 0, programmed twice 0\n",
         "", "00000042"},
        {"a take killed before the counter, then an import",
         "printf '%s\\n' '2026-12-07T10:00:01+01:00 02:C4:7B:00:00:05 spent, no board' >$D/s.log; strace -o "
         "/dev/null -P " + books + " -e inject=fdatasync:signal=KILL $BOOKS take --port p; $BOOKS import $D/s.log"
         " >/dev/null; $BOOKS take --port p",
         0, "02:C4:7B:00:00:43\n", "", "00000043"},
        {"clock not set",
         "AVR_EE_FAKE_TIME=5 ASAN_OPTIONS=verify_asan_link_order=0 TZ=UTC $FAKE_CLOCK_BOOKS take --port p", 2, "",
         "avr_ee_books: clock not set: system clock: it reads 1970-01-01, before this release's date 2026-12-08; set the "
         "date and time\n",
         "00000041"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        run_result r = run_script("00000041",
                                  "install -d -m 2775 /var/qv-production/books\n" + c.script +
                                      " >\"$D/out\" 2>\"$D/err\"\necho $? >\"$D/status\"",
                                  scratch());
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_TRUE(std::regex_match(r.out, std::regex(c.out))) << r.out;
        EXPECT_TRUE(std::regex_match(r.err, std::regex(c.err))) << r.err;
        EXPECT_EQ(r.counter, c.after);
    }
}

}  // namespace
