// The compact JSON text form shared by every output: reports and trace lines.
// Everything appends to a caller-owned buffer, so a whole report is built in
// one growing string.
#pragma once

#include <cstdint>
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

// Appends `"key":` for a key known to need no escaping.
inline void write_key(std::string& out, std::string_view key) {
    out += '"';
    out += key;
    out += "\":";
}

}  // namespace ostik::json
