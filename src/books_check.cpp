#include "books_check.hpp"

#include <algorithm>

#include "mac_counter.hpp"

namespace avr_ee {
namespace {

std::string address_string(std::uint64_t number)
{
    return std::string(address_text(format_mac_line(number_address(number))));
}

}  // namespace

void reconcile_range(const std::vector<book_record>& records, books_findings& findings)
{
    struct history {
        std::vector<const book_record*> issues, programs;
        bool settled = false;
    };
    std::map<std::uint64_t, history> by_address;
    for (const book_record& record : records) {
        history& h = by_address[address_number(record.address)];
        if (record.event == book_event::issued)
            h.issues.push_back(&record);
        if (record.event == book_event::programmed)
            h.programs.push_back(&record);
        if (settles(record.event))
            h.settled = true;
        if (record.event == book_event::set_aside)
            ++findings.set_aside[{record.station, record.time.substr(0, 10)}];
    }
    auto copies = [](const std::vector<const book_record*>& list) {
        std::vector<book_record> out;
        for (const book_record* r : list)
            out.push_back(*r);
        return out;
    };
    std::uint64_t block = address_number(counter_address(0));
    for (auto& [number, h] : by_address) {
        if (h.programs.size() > 1)
            findings.programmed_twice.push_back(copies(h.programs));
        if (h.issues.empty())
            continue;
        ++findings.issued;
        if (h.issues.size() > 1)
            findings.issued_twice.push_back(copies(h.issues));
        if (h.settled)
            ++findings.settled;
        else
            findings.open.push_back(*h.issues.front());
        if (number >= block && number <= block + COUNTER_LAST)
            findings.highest_issued = std::max(findings.highest_issued.value_or(0), number - block);
    }
}

std::optional<std::string> counter_disagrees(const books_findings& findings, std::uint32_t counter_before,
                                             std::uint32_t counter_after)
{
    // The block's last run writes COUNTER_USED_UP and hands out its suffix 0,
    // which is below every other: the highest issued is then COUNTER_LAST.
    auto last_handed_out = [](std::uint32_t value) { return std::min(value, COUNTER_LAST); };
    std::uint64_t highest = findings.highest_issued.value_or(0);
    std::uint32_t before = last_handed_out(counter_before), after = last_handed_out(counter_after);
    if (highest >= before && highest <= after)
        return std::nullopt;
    std::uint64_t block = address_number(counter_address(0));
    if (highest > after)
        return "counter behind the books: it reads " + std::string(text_of(format_counter(counter_after))) +
               ", and the books have " + address_string(block + highest) +
               " issued: it was set back; advance it to at least " +
               std::string(text_of(format_counter(static_cast<std::uint32_t>(highest))));
    std::string first = address_string(block + highest + 1), last = address_string(block + before);
    return "counter ahead of the books: " + (first == last ? first + " has" : first + " to " + last + " have") +
           " no issued record (taken by avr_ee without the books, or skipped by avr_ee_counter advance-to)";
}

bool all_settled(const books_findings& findings) noexcept
{
    return findings.open.empty() && findings.programmed_twice.empty() && findings.issued_twice.empty();
}

}  // namespace avr_ee
