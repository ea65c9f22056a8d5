#pragma once

#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "books_record.hpp"
#include "error.hpp"

namespace avr_ee {

// The log lines the station script of release 1.3.0 wrote, read as the
// books' records, so that a line that kept its record in station logs keeps
// it in the books: each address the log shows the station using is issued
// (the counter handed it out), then programmed, labelled, spent or set aside
// as the log says; a refused board that held an address is refused. Lines
// that record nothing of an address are skipped.

// The records of TEXT, the log at PATH of the station STATION, in the log's
// order; each names its line in `source`.
std::vector<book_record> station_log_records(std::string_view text, std::string_view path, std::string_view station);

// The same, read from the file at PATH.
std::expected<std::vector<book_record>, error> read_station_log(const std::string& path, std::string_view station);

}  // namespace avr_ee
