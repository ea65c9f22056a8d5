#pragma once

#include <expected>
#include <initializer_list>
#include <string_view>

#include "error.hpp"

namespace avr_ee {

// What each program's main does around its work.

// Ignores SIGPIPE and SIGXFSZ, so that a reader that went away, or a
// file-size limit, shows as a failed write, with a diagnostic and a status,
// rather than as a death by signal half-way through a run.
void ignore_write_signals() noexcept;

// Writes TEXTS to standard output, whole, and closes it, so that a failure
// the close reports (a deferred write-back) counts too. Fails with
// WRITE_FAILED or CLOSE_FAILED as what failed, on "standard output".
std::expected<void, error> print_and_close(std::initializer_list<std::string_view> texts,
                                           std::string_view write_failed, std::string_view close_failed);

}  // namespace avr_ee
