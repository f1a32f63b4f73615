// Text helpers: UTF-8 checks and the full Unicode lower-case mapping.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace ostik {

bool is_valid_utf8(std::string_view s);

// The code points of `s` (valid UTF-8): its bytes that start one.
inline std::size_t code_points(std::string_view s) {
    std::size_t n = 0;
    for (const char c : s) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return n;
}

// Full Unicode lower-case mapping of the whole string (root locale, with the
// final-sigma rule), appended to `out`. ASCII text takes a fast path.
void append_lower(std::string& out, std::string_view s);

inline std::string to_lower(std::string_view s) {
    std::string out;
    append_lower(out, s);
    return out;
}

}  // namespace ostik
