#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "books_file.hpp"
#include "books_record.hpp"

namespace avr_ee {

// What the books say of the line as a whole: each address issued and what
// became of it, against the counter. Fed a range file at a time, since an
// address's records are all in one.

struct books_findings {
    std::vector<book_record> open;  // the issue of each address with no outcome
    // Addresses with two or more programmed records, each with those records:
    // two boards may hold one address.
    std::vector<std::vector<book_record>> programmed_twice;
    // Addresses issued twice: handed out to two runs.
    std::vector<std::vector<book_record>> issued_twice;
    std::map<std::pair<std::string, std::string>, std::size_t> set_aside;  // by station and UTC day
    std::optional<std::uint64_t> highest_issued;  // in the counter's block
    std::size_t issued = 0, settled = 0;
};

// Adds the records of one range file to FINDINGS.
void reconcile_range(const std::vector<book_record>& records, books_findings& findings);

// The counter against the books' highest issued address. COUNTER_BEFORE and
// COUNTER_AFTER are the counter's values read before and after the books
// were: a take in between moves both. Empty when they agree; else why not.
std::optional<std::string> counter_disagrees(const books_findings& findings, std::uint32_t counter_before,
                                             std::uint32_t counter_after);

// Whether FINDINGS leave the line's books in order: every issue settled,
// nothing issued or programmed twice.
bool all_settled(const books_findings& findings) noexcept;

}  // namespace avr_ee
