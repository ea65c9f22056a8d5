#include "fixed_text.hpp"

#include <algorithm>
#include <charconv>

namespace avr_ee {

fixed_text& fixed_text::operator<<(std::string_view more) noexcept
{
    std::size_t n = std::min(more.size(), CAPACITY - size_);
    std::copy_n(more.data(), n, text_.data() + size_);
    size_ += n;
    truncated_ = truncated_ || n < more.size();
    return *this;
}

fixed_text& fixed_text::operator<<(unsigned long long number) noexcept
{
    std::array<char, 24> digits;
    auto [end, ec] = std::to_chars(digits.data(), digits.data() + digits.size(), number);
    return *this << std::string_view(digits.data(), static_cast<std::size_t>(end - digits.data()));
}

}  // namespace avr_ee
