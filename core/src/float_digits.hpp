// The shortest decimal digits that read back as the same double, and the
// decimal exponent of the first digit: the raw material of every float the
// system writes, laid out differently by the JSON writer and by messages.
#pragma once

#include <charconv>
#include <cmath>
#include <string>

namespace ostik {

struct FloatDigits {
    char digits[24];  // d1 d2 ... dn, no sign, no point
    int count = 0;    // n
    int exponent = 0; // E: the value is d1.d2...dn x 10^E
};

// `d` must be finite and non-zero; its sign is ignored.
inline FloatDigits shortest_digits(double d) {
    FloatDigits out;
    char sci[40];
    // Scientific form without a precision is the shortest round-trip form: "d.ddde+XX".
    auto r = std::to_chars(sci, sci + sizeof sci, std::fabs(d), std::chars_format::scientific);
    const char* p = sci;
    for (; p < r.ptr && *p != 'e'; ++p) {
        if (*p != '.') out.digits[out.count++] = *p;
    }
    std::from_chars(p + 1 + (p[1] == '+'), r.ptr, out.exponent);
    return out;
}

// The digits in plain decimal notation, without exponent: "0.00015",
// "1.5", "1500.0" (a point always, ".0" when there are no decimals).
inline void append_plain_decimal(std::string& out, const FloatDigits& f) {
    const int n = f.count;
    const int e = f.exponent;
    if (e < 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-e - 1), '0');
        out.append(f.digits, static_cast<std::size_t>(n));
    } else if (e <= n - 2) {
        out.append(f.digits, static_cast<std::size_t>(e + 1));
        out += '.';
        out.append(f.digits + e + 1, static_cast<std::size_t>(n - e - 1));
    } else {
        out.append(f.digits, static_cast<std::size_t>(n));
        out.append(static_cast<std::size_t>(e - n + 1), '0');
        out += ".0";
    }
}

}  // namespace ostik
