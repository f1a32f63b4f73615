// Text helpers: UTF-8 checks and the full Unicode lower-case mapping.
#pragma once

#include <string>
#include <string_view>

namespace ostik {

bool is_valid_utf8(std::string_view s);

// Full Unicode lower-case mapping of the whole string (root locale, with the
// final-sigma rule), appended to `out`. ASCII text takes a fast path.
void append_lower(std::string& out, std::string_view s);

inline std::string to_lower(std::string_view s) {
    std::string out;
    append_lower(out, s);
    return out;
}

}  // namespace ostik
