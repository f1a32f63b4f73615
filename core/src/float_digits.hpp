// The shortest decimal digits that read back as the same double, and the
// decimal exponent of the first digit: the raw material of every float the
// system writes, laid out differently by the JSON writer and by messages.
#pragma once

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
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
    const double a = std::fabs(d);
    // A whole number below 2^53 is its own shortest form (its neighbours are
    // at most 1 away), so its integer digits, trailing zeros dropped, are the
    // digits: no shortest-round-trip search is needed.
    if (a < 9007199254740992.0 && a == static_cast<double>(static_cast<std::uint64_t>(a))) {
        auto r = std::to_chars(out.digits, out.digits + sizeof out.digits, static_cast<std::uint64_t>(a));
        int n = static_cast<int>(r.ptr - out.digits);
        out.exponent = n - 1;
        while (n > 1 && out.digits[n - 1] == '0') --n;
        out.count = n;
        return out;
    }
    char sci[32];
    // Scientific form without a precision is the shortest round-trip form:
    // "d.ddde-XX" (or "de+XX" for one digit), with two or three exponent
    // digits.
    const char* end = std::to_chars(sci, sci + sizeof sci, a, std::chars_format::scientific).ptr;
    const char* e = end - 4;
    if (*e != 'e') --e;
    out.digits[0] = sci[0];
    const int rest = sci[1] == '.' ? static_cast<int>(e - (sci + 2)) : 0;
    std::memcpy(out.digits + 1, sci + 2, static_cast<std::size_t>(rest));
    out.count = 1 + rest;
    int exponent = 0;
    for (const char* q = e + 2; q < end; ++q) exponent = exponent * 10 + (*q - '0');
    out.exponent = e[1] == '-' ? -exponent : exponent;
    return out;
}

// The digits in plain decimal notation, without exponent, at `p`: "0.00015",
// "1.5", "1500.0" (a point always, ".0" when there are no decimals). Returns
// the end; at most 2 + 4 + n bytes for exponents from -5, and n + E + 2 above.
inline char* put_plain_decimal(char* p, const FloatDigits& f) {
    const int n = f.count;
    const int e = f.exponent;
    if (e < 0) {
        *p++ = '0';
        *p++ = '.';
        for (int i = 0; i < -e - 1; ++i) *p++ = '0';
        std::memcpy(p, f.digits, static_cast<std::size_t>(n));
        return p + n;
    }
    if (e <= n - 2) {
        std::memcpy(p, f.digits, static_cast<std::size_t>(e + 1));
        p += e + 1;
        *p++ = '.';
        std::memcpy(p, f.digits + e + 1, static_cast<std::size_t>(n - e - 1));
        return p + (n - e - 1);
    }
    std::memcpy(p, f.digits, static_cast<std::size_t>(n));
    p += n;
    for (int i = 0; i < e - n + 1; ++i) *p++ = '0';
    *p++ = '.';
    *p++ = '0';
    return p;
}

inline void append_plain_decimal(std::string& out, const FloatDigits& f) {
    // Room for any exponent a double has: 17 digits, 308 zeros, the point.
    char buf[340];
    out.append(buf, put_plain_decimal(buf, f));
}

}  // namespace ostik
