#include "books_command.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <map>
#include <set>
#include <tuple>

#include "books_check.hpp"
#include "clock_check.hpp"
#include "counter_file.hpp"
#include "mac_counter.hpp"
#include "station_log.hpp"

namespace avr_ee {
namespace {

std::string address_string(const mac_address& mac)
{
    return std::string(address_text(format_mac_line(mac)));
}

error usage(std::string_view what, std::string_view subject, std::string_view why)
{
    return error(what, subject.empty() ? "(none)" : subject, why);
}

// The options after a verb's operands: each of ALLOWED once, with the number
// of values it takes.
struct option_form {
    std::string_view name;
    int values;
};

std::expected<std::map<std::string_view, std::vector<std::string_view>>, error>
parse_options(std::string_view verb, std::vector<std::string_view> args, std::initializer_list<option_form> allowed,
              std::vector<std::string_view>& operands)
{
    std::map<std::string_view, std::vector<std::string_view>> options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (!args[i].starts_with("--")) {
            operands.push_back(args[i]);
            continue;
        }
        auto form = std::find_if(allowed.begin(), allowed.end(), [&](const option_form& o) { return o.name == args[i]; });
        if (form == allowed.end())
            return std::unexpected(usage("unknown option", args[i], std::string("not one of ") + std::string(verb) + "'s"));
        if (options.contains(form->name))
            return std::unexpected(usage("option given twice", args[i], "give it once"));
        if (args.size() - i - 1 < static_cast<std::size_t>(form->values))
            return std::unexpected(usage("option needs a value", args[i], form->values == 2 ? "give two" : "give one"));
        std::vector<std::string_view> values(args.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                                             args.begin() + static_cast<std::ptrdiff_t>(i) + 1 + form->values);
        options[form->name] = values;
        i += static_cast<std::size_t>(form->values);
    }
    return options;
}

std::expected<mac_address, error> address_arg(std::string_view text)
{
    auto mac = parse_book_address(text);
    if (!mac)
        return std::unexpected(usage("not an address", text, "give six hex pairs joined by ':', as 02:C4:7B:00:00:2B"));
    return *mac;
}

std::expected<std::string, error> date_arg(std::string_view text)
{
    if (!parse_book_date(text))
        return std::unexpected(usage("not a date", text, "give YYYY-MM-DD"));
    return std::string(text);
}

// A value that becomes a field: printable text on one line, never empty.
std::expected<std::string, error> text_arg(std::string_view option, std::string_view text)
{
    if (text.empty())
        return std::unexpected(usage("empty value", option, "give some text"));
    if (std::any_of(text.begin(), text.end(), [](char c) { return c == '\n' || c == '\r'; }))
        return std::unexpected(usage("value on more than one line", option, "give it on one line"));
    return std::string(text);
}

std::string hostless(const std::string& s)
{
    return s.empty() ? "-" : s;
}

// A record as show prints it, on one line.
std::string describe(const book_record& r)
{
    std::string line = r.time + " " + hostless(r.station) + " " + hostless(r.port) + " run " + hostless(r.run) + " " +
                       std::string(event_name(r.event));
    if (r.reads_back) {
        line += ", reads back as " + address_string(r.reads_back->address);
        line += r.reads_back->date ? " " + std::string(format_date(*r.reads_back->date).view()) : " (no date)";
    }
    if (r.why)
        line += ": " + *r.why;
    if (r.source)
        line += " [from " + *r.source + "]";
    return line + "\n";
}

book_record new_record(const books_context& context, const books_request& request, const mac_address& address,
                       book_event event)
{
    book_record r;
    r.time = utc_time(context.now);
    r.station = context.station;
    r.port = request.port.value_or("");
    r.run = request.run.value_or(context.run);
    r.address = address;
    r.event = event;
    r.reads_back = request.reads_back;
    r.why = request.why;
    return r;
}

// The records of the range file at PATH, read under a shared lock; none when
// there is no such file.
std::expected<range_contents, error> read_range(const std::string& path,
                                                std::optional<std::string_view> only = std::nullopt)
{
    auto range = lock_range(path, lock_mode::shared, false);
    if (!range)
        return std::unexpected(range.error());
    if (!*range) {
        // No record of the range, unless the books are not there at all (a
        // share that did not mount): that is no answer.
        std::string dir = path.substr(0, path.rfind('/'));
        struct stat st{};
        if (::stat(dir.c_str(), &st) != 0)
            return std::unexpected(error(CANNOT_READ_BOOKS, dir, std::strerror(errno)));
        return range_contents{};
    }
    return (*range)->read_records(only);
}

std::expected<std::uint32_t, error> counter_value(const char* path)
{
    auto counter = lock_counter(path, lock_mode::shared);
    if (!counter)
        return std::unexpected(counter.error());
    return counter->read();
}

std::expected<books_result, error> take(const books_request& request, const books_context& context)
{
    if (auto date = checked_date(context.now); !date)
        return std::unexpected(date.error());
    auto counter = lock_counter(context.counter_path, lock_mode::exclusive);
    if (!counter)
        return std::unexpected(counter.error());
    auto read = counter->read();
    if (!read)
        return std::unexpected(read.error());
    std::uint32_t value = *read;
    // A take cut short after its record and before the counter's write left
    // the books ahead of the counter: those addresses are issued, to the runs
    // the books name, and are never handed out again.
    std::optional<locked_range> range;
    for (;;) {
        if (value > COUNTER_LAST)
            return std::unexpected(error(USED_UP, context.counter_path, "it reads ") << text_of(format_counter(value)));
        auto locked = lock_range(range_file(context.books_dir, counter_address(value + 1)), lock_mode::exclusive, true);
        if (!locked)
            return std::unexpected(locked.error());
        auto last = (*locked)->last_taken();
        if (!last)
            return std::unexpected(last.error());
        std::uint64_t next = address_number(counter_address(value + 1));
        if (!*last || **last < next) {
            range = std::move(*locked);
            break;
        }
        value += static_cast<std::uint32_t>(**last - next + 1);
    }
    std::uint32_t taken = value + 1;
    mac_address mac = counter_address(taken);
    book_record issued = new_record(context, request, mac, book_event::issued);
    if (auto appended = range->append(format_record(issued)); !appended) {
        // The counter is as it was, and a record cut short is no issue:
        // nothing was taken.
        error refused;
        refused << appended.error().message() << " (no address taken)";
        return std::unexpected(refused);
    }
    (void)range->close();  // the record is on storage: a close's complaint changes nothing
    if (auto stored = counter->store(taken); !stored) {
        // Issued in the books, so never handed out again, whatever the
        // counter now holds: spent, if the books can still say so.
        error failure = stored.error();
        failure << " (" << address_string(mac) << " is recorded as issued, and is spent)";
        book_record spent = new_record(context, request, mac, book_event::spent);
        spent.why = "its take could not write the counter: " + std::string(stored.error().message());
        spent.reads_back.reset();
        if (auto again = lock_range(range_file(context.books_dir, mac), lock_mode::exclusive, true); again)
            (void)(*again)->append(format_record(spent));
        return std::unexpected(failure.mark_changed());
    }
    books_result result;
    result.out = address_string(mac) + "\n";
    return result;
}

std::expected<books_result, error> record(const books_request& request, const books_context& context)
{
    auto range = lock_range(range_file(context.books_dir, request.address), lock_mode::exclusive, true);
    if (!range)
        return std::unexpected(range.error());
    if (auto appended = (*range)->append(format_record(new_record(context, request, request.address, request.event)));
        !appended)
        return std::unexpected(appended.error());
    if (auto closed = (*range)->close(); !closed)
        return std::unexpected(closed.error());
    return books_result{};
}

std::expected<books_result, error> show(const books_request& request, const books_context& context)
{
    std::string address = address_string(request.address);
    auto contents = read_range(range_file(context.books_dir, request.address), address);
    if (!contents)
        return std::unexpected(contents.error());
    books_result result;
    result.torn = std::move(contents->torn);
    for (const book_record& r : contents->records)
        if (r.address == request.address)
            result.out += describe(r);
    result.clean = !result.out.empty();
    return result;
}

std::expected<books_result, error> check(const books_context& context)
{
    auto before = counter_value(context.counter_path);
    if (!before)
        return std::unexpected(before.error());
    auto names = range_files(context.books_dir);
    if (!names)
        return std::unexpected(names.error());
    books_findings findings;
    books_result result;
    for (const std::string& name : *names) {
        auto contents = read_range(std::string(context.books_dir) + "/" + name);
        if (!contents)
            return std::unexpected(contents.error());
        reconcile_range(contents->records, findings);
        result.torn.insert(result.torn.end(), contents->torn.begin(), contents->torn.end());
    }
    auto after = counter_value(context.counter_path);
    if (!after)
        return std::unexpected(after.error());

    std::string& out = result.out;
    for (const book_record& r : findings.open)
        out += "open " + address_string(r.address) + " issued " + r.time + " on " + hostless(r.station) + " " +
               hostless(r.port) + " run " + hostless(r.run) + "\n";
    auto list = [&](std::string_view what, const std::vector<std::vector<book_record>>& groups) {
        for (const auto& group : groups) {
            out += std::string(what) + " " + address_string(group.front().address) + ":";
            for (std::size_t i = 0; i < group.size(); ++i)
                out += (i ? ", " : " ") + group[i].time + " on " + hostless(group[i].station) + " run " +
                       hostless(group[i].run);
            out += "\n";
        }
    };
    list("issued twice", findings.issued_twice);
    list("programmed twice", findings.programmed_twice);
    out += "counter " + std::string(text_of(format_counter(*after))) + ", highest issued " +
           (findings.highest_issued ? address_string(counter_address(static_cast<std::uint32_t>(*findings.highest_issued)))
                                    : std::string("none")) +
           "\n";
    auto disagreement = counter_disagrees(findings, *before, *after);
    if (disagreement)
        out += *disagreement + "\n";
    for (const auto& [where, count] : findings.set_aside)
        out += "set aside on " + where.first + " " + where.second + ": " + std::to_string(count) + "\n";
    out += "issued " + std::to_string(findings.issued) + ", settled " + std::to_string(findings.settled) + ", open " +
           std::to_string(findings.open.size()) + ", programmed twice " +
           std::to_string(findings.programmed_twice.size()) + "\n";
    result.clean = all_settled(findings) && !disagreement;
    return result;
}

// A CSV field: quoted where it must be, and never read as a formula by a
// spreadsheet that opens the file (free text may start with '=').
std::string csv_field(std::string_view text)
{
    std::string field(text);
    if (!field.empty() && std::string_view("=+-@\t\r").find(field.front()) != std::string_view::npos)
        field.insert(0, "'");
    if (field.find_first_of(",\"\n\r") == std::string::npos)
        return field;
    std::string quoted = "\"";
    for (char c : field)
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

std::expected<books_result, error> export_records(const books_request& request, const books_context& context)
{
    auto names = range_files(context.books_dir);
    if (!names)
        return std::unexpected(names.error());
    books_result result;
    if (request.csv)
        result.out = "time,station,port,run,address,event,reads_back_address,reads_back_date,why,source\n";
    for (const std::string& name : *names) {
        auto contents = read_range(std::string(context.books_dir) + "/" + name);
        if (!contents)
            return std::unexpected(contents.error());
        result.torn.insert(result.torn.end(), contents->torn.begin(), contents->torn.end());
        for (const book_record& r : contents->records) {
            std::string day = r.time.substr(0, 10);
            if ((request.since && day < *request.since) || (request.until && day > *request.until))
                continue;
            if (!request.csv) {
                result.out += format_record(r);
                continue;
            }
            std::string back_address, back_date;
            if (r.reads_back) {
                back_address = address_string(r.reads_back->address);
                if (r.reads_back->date)
                    back_date = format_date(*r.reads_back->date).view();
            }
            for (std::string_view field : {std::string_view(r.time), std::string_view(r.station),
                                           std::string_view(r.port), std::string_view(r.run)})
                result.out += csv_field(field) + ",";
            result.out += address_string(r.address) + "," + std::string(event_name(r.event)) + "," + back_address +
                          "," + back_date + "," + csv_field(r.why.value_or("")) + "," +
                          csv_field(r.source.value_or("")) + "\n";
        }
    }
    return result;
}

std::expected<books_result, error> import_logs(const books_request& request, const books_context& context)
{
    books_result result;
    bool changed = false;  // once a log's records are in, a later failure has changed the books
    auto failed = [&](const error& why) { return std::unexpected(changed || why.changed() ? error(why).mark_changed() : why); };
    for (const std::string& log : request.logs) {
        auto records = read_station_log(log, request.station.value_or(context.station));
        if (!records)
            return failed(records.error());
        // By range file, in the log's order; what a file already has (an
        // import run before) is not added again.
        std::map<std::string, std::vector<const book_record*>> by_file;
        for (const book_record& r : *records)
            by_file[range_file(context.books_dir, r.address)].push_back(&r);
        std::size_t added = 0, present = 0;
        for (auto& [path, list] : by_file) {
            auto range = lock_range(path, lock_mode::exclusive, true);
            if (!range)
                return failed(range.error());
            auto text = (*range)->read_all();
            if (!text)
                return failed(text.error());
            std::set<std::tuple<std::uint64_t, book_event, std::string>> known;
            std::set<std::uint64_t> issued;
            for (const book_record& r : parse_range(*text, path).records) {
                known.insert({address_number(r.address), r.event, r.time});
                if (r.event == book_event::issued)
                    issued.insert(address_number(r.address));
            }
            std::string lines;
            for (const book_record* r : list) {
                std::uint64_t n = address_number(r->address);
                bool have = r->event == book_event::issued ? issued.contains(n) : known.contains({n, r->event, r->time});
                if (have) {
                    ++present;
                    continue;
                }
                known.insert({n, r->event, r->time});
                if (r->event == book_event::issued)
                    issued.insert(n);
                lines += format_record(*r);
                ++added;
            }
            if (lines.empty())
                continue;
            if (auto appended = (*range)->append(lines); !appended)
                return failed(appended.error());
            changed = true;
        }
        result.out += log + ": " + std::to_string(added) + " records imported, " + std::to_string(present) +
                      " already in the books\n";
    }
    return result;
}

}  // namespace

std::expected<books_request, error> parse_books_command(int argc, const char* const* args)
{
    std::vector<std::string_view> words(args, args + argc);
    std::string_view verb = words.empty() ? "" : words.front();
    std::vector<std::string_view> rest(words.begin() + (words.empty() ? 0 : 1), words.end());
    books_request request;
    std::vector<std::string_view> operands;
    auto operand_count = [&](std::size_t n, std::string_view what) -> std::expected<void, error> {
        if (operands.size() != n)
            return std::unexpected(usage("wrong number of arguments", verb, what));
        return {};
    };
    auto text_option = [&](auto& options, std::string_view name,
                           std::optional<std::string>& into) -> std::expected<void, error> {
        if (auto it = options.find(name); it != options.end()) {
            auto value = text_arg(name, it->second.front());
            if (!value)
                return std::unexpected(value.error());
            into = *value;
        }
        return {};
    };
#define AVR_EE_TRY(expr)                                 \
    do {                                                 \
        if (auto done_ = (expr); !done_)                 \
            return std::unexpected(done_.error());       \
    } while (0)

    if (verb == "--help" || verb == "--version") {
        if (!rest.empty())
            return std::unexpected(usage("wrong number of arguments", verb, "give none"));
        request.what = verb == "--help" ? books_verb::help : books_verb::version;
        return request;
    }
    if (verb == "take") {
        auto options = parse_options(verb, rest, {{"--port", 1}, {"--run", 1}}, operands);
        AVR_EE_TRY(options);
        AVR_EE_TRY(operand_count(0, "give --port PORT"));
        if (!options->contains("--port"))
            return std::unexpected(usage("no port", verb, "give --port PORT: the programmer's port"));
        AVR_EE_TRY(text_option(*options, "--port", request.port));
        AVR_EE_TRY(text_option(*options, "--run", request.run));
        request.what = books_verb::take;
        return request;
    }
    if (verb == "record") {
        auto options = parse_options(verb, rest, {{"--reads-back", 2}, {"--why", 1}, {"--port", 1}, {"--run", 1}},
                                     operands);
        AVR_EE_TRY(options);
        AVR_EE_TRY(operand_count(2, "give ADDRESS EVENT"));
        auto address = address_arg(operands[0]);
        AVR_EE_TRY(address);
        request.address = *address;
        auto event = parse_event(operands[1]);
        if (!event || *event == book_event::issued)
            return std::unexpected(usage("not an event to record", operands[1],
                                         "give programmed, labelled, spent, set-aside or refused (take issues)"));
        request.event = *event;
        if (auto it = options->find("--reads-back"); it != options->end()) {
            auto held = address_arg(it->second[0]);
            AVR_EE_TRY(held);
            request.reads_back = board_reading{*held, std::nullopt};
            if (it->second[1] != "none") {
                auto date = parse_book_date(it->second[1]);
                if (!date)
                    return std::unexpected(usage("not a date", it->second[1], "give YYYY-MM-DD, or none"));
                request.reads_back->date = *date;
            }
        }
        AVR_EE_TRY(text_option(*options, "--why", request.why));
        AVR_EE_TRY(text_option(*options, "--port", request.port));
        AVR_EE_TRY(text_option(*options, "--run", request.run));
        bool programmed = request.event == book_event::programmed;
        if ((programmed || request.event == book_event::set_aside) && !request.reads_back)
            return std::unexpected(usage("no --reads-back", operands[1], "give what the board reads back as"));
        if (programmed && (request.reads_back->address != request.address || !request.reads_back->date))
            return std::unexpected(usage("not programmed", operands[0],
                                         "the board must read back as this address, with a date"));
        if (request.event == book_event::spent && !request.why)
            return std::unexpected(usage("no --why", operands[1], "say why the address is spent"));
        request.what = books_verb::record;
        return request;
    }
    if (verb == "show") {
        auto options = parse_options(verb, rest, {}, operands);
        AVR_EE_TRY(options);
        AVR_EE_TRY(operand_count(1, "give ADDRESS"));
        auto address = address_arg(operands[0]);
        AVR_EE_TRY(address);
        request.address = *address;
        request.what = books_verb::show;
        return request;
    }
    if (verb == "check") {
        auto options = parse_options(verb, rest, {}, operands);
        AVR_EE_TRY(options);
        AVR_EE_TRY(operand_count(0, "give none"));
        request.what = books_verb::check;
        return request;
    }
    if (verb == "export") {
        auto options = parse_options(verb, rest, {{"--csv", 0}, {"--jsonl", 0}, {"--since", 1}, {"--until", 1}}, operands);
        AVR_EE_TRY(options);
        AVR_EE_TRY(operand_count(0, "give --csv or --jsonl, and the dates"));
        if (options->contains("--csv") == options->contains("--jsonl"))
            return std::unexpected(usage("no format", verb, "give --csv or --jsonl"));
        request.csv = options->contains("--csv");
        for (auto [name, into] : {std::pair{"--since", &request.since}, std::pair{"--until", &request.until}})
            if (auto it = options->find(name); it != options->end()) {
                auto date = date_arg(it->second.front());
                AVR_EE_TRY(date);
                *into = *date;
            }
        request.what = books_verb::export_records;
        return request;
    }
    if (verb == "import") {
        auto options = parse_options(verb, rest, {{"--station", 1}}, operands);
        AVR_EE_TRY(options);
        if (operands.empty())
            return std::unexpected(usage("wrong number of arguments", verb, "give LOG..."));
        AVR_EE_TRY(text_option(*options, "--station", request.station));
        request.logs.assign(operands.begin(), operands.end());
        request.what = books_verb::import_logs;
        return request;
    }
#undef AVR_EE_TRY
    return std::unexpected(usage("unknown command", verb, "give take, record, show, check, export or import"));
}

std::expected<books_result, error> run_books_command(const books_request& request, const books_context& context)
{
    switch (request.what) {
    case books_verb::take:
        return take(request, context);
    case books_verb::record:
        return record(request, context);
    case books_verb::show:
        return show(request, context);
    case books_verb::check:
        return check(context);
    case books_verb::export_records:
        return export_records(request, context);
    case books_verb::import_logs:
        return import_logs(request, context);
    case books_verb::help:
    case books_verb::version:
        break;
    }
    return books_result{};
}

}  // namespace avr_ee
