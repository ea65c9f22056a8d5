#pragma once

#include <cstddef>
#include <initializer_list>
#include <random>
#include <string>

// Texts for the differential tests against the C library's own scanf. On a 64-bit host its
// result for a number wider than 32 bits is undefined (and differs from the
// 32-bit target's), so such numbers are only generated where long has 32 bits.
constexpr bool WIDE_NUMBERS_DEFINED = sizeof(unsigned long) == 4;

class text_generator {
public:
    std::string number()
    {
        std::string s;
        s.append(pick({"", "", "", " ", "\t", "\n ", "  "}));
        s.append(pick({"", "", "", "", "+", "-"}));
        s.append(pick({"", "", "", "0x", "0X", "0"}));
        std::size_t digits = below(9);
        if (WIDE_NUMBERS_DEFINED && below(8) == 0)
            digits = 9 + below(12);
        else
            s.append(below(4) == 0 ? below(4) : 0, '0');
        for (std::size_t i = 0; i < digits; ++i)
            s += "0123456789abcdefABCDEF"[below(22)];
        return s;
    }

    std::string separator() { return pick({":", ":", ":", ":", ":", ":", ":", ": ", " :", "-", ";"}); }
    std::string tail() { return pick({"", "", ":", ":7", " junk", "g", "x1"}); }
    std::size_t below(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_); }

private:
    std::string pick(std::initializer_list<const char*> choices)
    {
        return *(choices.begin() + below(choices.size()));
    }
    std::mt19937 rng_{20261207};
};
