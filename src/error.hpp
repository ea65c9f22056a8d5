#pragma once

#include <string_view>

#include "fixed_text.hpp"

namespace avr_ee {

// A step that failed, worded as main reports it: "what failed: path: reason".
class error {
public:
    static constexpr std::size_t CAPACITY = fixed_text::CAPACITY;

    error() noexcept = default;
    error(std::string_view what_failed, std::string_view path, std::string_view reason) noexcept;

    // Appends to the reason.
    error& operator<<(std::string_view more) noexcept { return text_ << more, *this; }
    error& operator<<(unsigned long long number) noexcept { return text_ << number, *this; }
    error& operator<<(char) = delete;

    std::string_view message() const noexcept { return text_.view(); }

    // Whether the step that failed may already have changed what it worked
    // on, so that a caller must not report "nothing changed".
    bool changed() const noexcept { return changed_; }
    error& mark_changed() noexcept { return changed_ = true, *this; }

private:
    fixed_text text_;
    bool changed_ = false;
};

// Writes "PROGRAM: MESSAGE" and a line feed to standard error, for main: the
// one place a diagnostic is printed. Control characters in MESSAGE (an
// operator's argument may hold a line feed) are shown escaped, as \n or \xNN,
// so that it stays one line.
void report(std::string_view program, const error& failure) noexcept;

}  // namespace avr_ee
