#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace avr_ee {

// Text built in a fixed buffer, like everything the tool handles: the
// shipped binary needs neither the heap nor the C++ exception runtime, whose
// start-up alone would cost a run more than its own work does.
class fixed_text {
public:
    static constexpr std::size_t CAPACITY = 240;

    // Appends; a text too long for CAPACITY is cut short, and says so.
    fixed_text& operator<<(std::string_view more) noexcept;
    fixed_text& operator<<(unsigned long long number) noexcept;
    fixed_text& operator<<(char) = delete;  // a character is not a number: append a string

    std::string_view view() const noexcept { return {text_.data(), size_}; }

    // Whether something appended did not fit.
    bool truncated() const noexcept { return truncated_; }

private:
    std::array<char, CAPACITY> text_{};
    std::size_t size_ = 0;
    bool truncated_ = false;
};

}  // namespace avr_ee
