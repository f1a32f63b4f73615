// What a YAML scalar means: plain-scalar resolution (null, booleans, integers
// in four radixes, floats, strings), the core tags, and the wording used when a
// scalar is not what a field wants.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "yaml_events.hpp"

namespace ostik::yaml {

using u128 = unsigned __int128;

struct Scalar {
    enum class Kind : std::uint8_t {
        null,
        boolean,
        uint,      // fits unsigned 64-bit
        int_,      // fits signed 64-bit (negative, or "-0")
        big_uint,  // past 64 bits, within 128
        big_int,   // negative, past 64 bits, within 128
        float_,    // may be infinite or NaN (from .inf / .nan)
        string,
    };
    Kind kind = Kind::string;
    bool b = false;
    std::uint64_t u = 0;
    std::int64_t i = 0;
    u128 magnitude = 0;  // big_uint / big_int
    double f = 0;
    std::string_view text;  // the scalar's text (strings point into the event)
};

// "~", "null", "Null" or "NULL": the texts of a null besides the empty one.
bool is_null_text(std::string_view v);

// Resolves a scalar event. Returns false with `error` set when a core tag
// (!!null, !!bool, !!int, !!float) does not fit the text.
bool resolve(const Event& ev, Scalar& out, std::string& error);

// "integer `5`", "boolean `true`", "floating point `1.5`", "string \"x\"", "unit value".
std::string describe(const Scalar& s);

// Decimal digits of a 128-bit magnitude.
std::string u128_to_string(u128 v);

// A string as written in messages: double quotes, with quotes, backslashes and
// control characters escaped.
std::string quote_debug(std::string_view s);

// A float in messages: shortest round-trip digits in plain decimal notation,
// ".0" added when there is no decimal point; "inf", "-inf", "NaN".
std::string float_text(double d);

}  // namespace ostik::yaml
