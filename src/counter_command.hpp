#pragma once

#include <cstdint>
#include <expected>
#include <string_view>

#include "error.hpp"
#include "fixed_text.hpp"

namespace avr_ee {

// The operator's command on the production counter: avr_ee_counter VERB.
enum class verb { show, advance_to, provision };

struct counter_command {
    verb what;
    std::uint32_t value;  // advance-to's and provision's HEX
};

// What the command line asks for: a command on the counter, or main's own
// --help or --version.
struct counter_request {
    enum class kind { command, help, version } what;
    counter_command command;  // for a command
};

inline constexpr std::string_view COUNTER_USAGE =
    "usage: avr_ee_counter show\n"
    "       avr_ee_counter advance-to HEX\n"
    "       avr_ee_counter provision [HEX]\n"
    "       avr_ee_counter --help | --version\n";

// What --help prints after the usage.
inline constexpr std::string_view COUNTER_HELP =
    "Reads, advances and provisions avr_ee's production counter, /var/qv-production/mac:\n"
    "on a station, or on the file server's own path (a Samba server's only with kernel\n"
    "oplocks = yes). show and advance-to take the same locks as avr_ee's runs, and refuse\n"
    "a mount that keeps locks on the station (nobrl, local_lock=all or local_lock=flock);\n"
    "provision takes no lock: it links a complete file to the name, where none is.\n"
    "\n"
    "  show             print the value, the last and next address, and how many are left\n"
    "  advance-to HEX   set the counter to HEX, which must be above its value, up to 01000000\n"
    "  provision [HEX]  create the counter holding HEX (default 00000000), where none is\n"
    "\n"
    "Exit status: 0 done; 1 the counter was changed (or may have been) and a later step\n"
    "failed, or the output failed (after show, --help or --version, nothing changed);\n"
    "2 refused or a usage error, with nothing changed.\n"
    "See avr_ee_counter(1).\n";

// The request in ARGS (the arguments after the program's name). Fails, with
// what is wrong, on a usage error: an unknown verb, a missing or extra
// argument, or a HEX that is not one to eight hex digits from 00000000 to
// 01000000.
std::expected<counter_request, error> parse_counter_command(int argc, const char* const* args);

// The counter's state on one line, as show prints it: its value, the last
// address handed out and the next one ("none" when there is no such address),
// and how many addresses are left in the block:
// "00001000 last 02:C4:7B:00:10:00 next 02:C4:7B:00:10:01 left 16773120".
fixed_text describe_counter(std::uint32_t value);

// Carries out COMMAND on the counter file at PATH and returns the line to
// print:
// - show: the counter's state, read under a shared lock; never creates the
//   file;
// - advance-to: sets the counter to the command's value, which must be above
//   the value it holds, under the exclusive locks, and returns the new state;
// - provision: creates the counter holding the command's value, and names the
//   file system it went to.
// Fails with everything as it was, except where a failed write or flush says
// the file may hold the new value.
std::expected<fixed_text, error> run_counter_command(const counter_command& command, const char* path);

}  // namespace avr_ee
