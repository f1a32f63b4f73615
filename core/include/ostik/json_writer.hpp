// The compact JSON text form shared by every output: reports and trace lines.
// Everything appends to a caller-owned buffer, so a whole report is built in
// one growing string.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "ostik/value.hpp"

namespace ostik::json {

void write_bool(std::string& out, bool b);
void write_uint(std::string& out, std::uint64_t u);
void write_int(std::string& out, std::int64_t i);
// Shortest round-trip digits; plain form for decimal exponents -5..15, else
// exponent form. Infinities and NaN (possible only in report fields) are null.
void write_double(std::string& out, double d);
void write_string(std::string& out, std::string_view s);
void write_value(std::string& out, const Value& v);

// The same forms written at a pointer, for writers that manage their own
// room: each writes at `p` and returns the end of what it wrote.
inline constexpr std::size_t max_number_text = 32;  // room any number needs
char* put_uint(char* p, std::uint64_t u);
char* put_int(char* p, std::int64_t i);
char* put_double(char* p, double d);
// How many bytes at the start of `s` a JSON string holds as they are (before
// the first '"', '\\' or control character).
inline std::size_t unescaped_prefix(const char* s, std::size_t n);
// Copies that prefix of `s` to `out` and returns its length; `out` must have
// room for all n bytes, any of which may be overwritten.
inline std::size_t copy_unescaped(char* out, const char* s, std::size_t n);
// The escape of one byte that needs it (at most 6 bytes).
char* put_escape(char* p, unsigned char c);

// Appends `"key":` for a key known to need no escaping.
inline void write_key(std::string& out, std::string_view key) {
    out += '"';
    out += key;
    out += "\":";
}

namespace detail {

constexpr std::uint64_t ones = 0x0101010101010101ull;

// The high bit of each of the 8 bytes of `w` (in memory order, little-endian)
// that must be escaped: below 0x20, '"' or '\\'. A flag above a set one may
// be a false alarm (a borrow), the lowest one never is.
inline std::uint64_t escape_flags(std::uint64_t w) {
    const std::uint64_t quote = w ^ (ones * '"');
    const std::uint64_t backslash = w ^ (ones * '\\');
    const std::uint64_t below = (w - ones * 0x20) & ~w;
    const std::uint64_t is_quote = (quote - ones) & ~quote;
    const std::uint64_t is_backslash = (backslash - ones) & ~backslash;
    return (below | is_quote | is_backslash) & (ones * 0x80);
}

inline std::uint64_t load8(const char* p) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}

inline std::uint64_t load4(const char* p) {
    std::uint32_t w;
    std::memcpy(&w, p, 4);
    return w;
}

inline std::size_t first_flagged(std::uint64_t flags) { return static_cast<std::size_t>(std::countr_zero(flags) >> 3); }

inline void store8(char* p, std::uint64_t w) { std::memcpy(p, &w, 8); }

inline void store4(char* p, std::uint64_t w) {
    const auto half = static_cast<std::uint32_t>(w);
    std::memcpy(p, &half, 4);
}

}  // namespace detail

inline std::size_t unescaped_prefix(const char* s, std::size_t n) {
    using namespace detail;
    if constexpr (std::endian::native == std::endian::little) {
        // Whole words; the last few bytes in a word that overlaps the ones
        // already looked at (clean, so never flagged), or in two overlapping
        // halves for text under 8 bytes.
        if (n >= 8) {
            std::size_t i = 0;
            for (; n - i > 8; i += 8) {
                if (const std::uint64_t flags = escape_flags(load8(s + i))) return i + first_flagged(flags);
            }
            const std::uint64_t flags = escape_flags(load8(s + n - 8));
            return flags ? n - 8 + first_flagged(flags) : n;
        }
        if (n >= 4) {
            const std::uint64_t flags = escape_flags(load4(s) | load4(s + n - 4) << 32);
            if (!flags) return n;
            const std::size_t k = first_flagged(flags);
            return k < 4 ? k : n - 8 + k;
        }
    }
    std::size_t i = 0;
    while (i < n) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x20 || c == '"' || c == '\\') break;
        ++i;
    }
    return i;
}

inline std::size_t copy_unescaped(char* out, const char* s, std::size_t n) {
    using namespace detail;
    if constexpr (std::endian::native == std::endian::little) {
        // As unescaped_prefix, each word stored as soon as it is found clean.
        if (n >= 8) {
            std::size_t i = 0;
            for (; n - i > 8; i += 8) {
                const std::uint64_t w = load8(s + i);
                store8(out + i, w);
                if (const std::uint64_t flags = escape_flags(w)) return i + first_flagged(flags);
            }
            const std::uint64_t w = load8(s + n - 8);
            store8(out + n - 8, w);
            const std::uint64_t flags = escape_flags(w);
            return flags ? n - 8 + first_flagged(flags) : n;
        }
        if (n >= 4) {
            const std::uint64_t low = load4(s), high = load4(s + n - 4);
            store4(out, low);
            store4(out + n - 4, high);
            const std::uint64_t flags = escape_flags(low | high << 32);
            if (!flags) return n;
            const std::size_t k = first_flagged(flags);
            return k < 4 ? k : n - 8 + k;
        }
    }
    std::size_t i = 0;
    for (; i < n; ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x20 || c == '"' || c == '\\') break;
        out[i] = s[i];
    }
    return i;
}

}  // namespace ostik::json
