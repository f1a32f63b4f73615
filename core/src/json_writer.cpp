#include "ostik/json_writer.hpp"

#include "float_digits.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

namespace ostik::json {

void write_bool(std::string& out, bool b) { out += b ? "true" : "false"; }

void write_uint(std::string& out, std::uint64_t u) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, u);
    out.append(buf, r.ptr);
}

void write_int(std::string& out, std::int64_t i) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, i);
    out.append(buf, r.ptr);
}

void write_double(std::string& out, double d) {
    if (!std::isfinite(d)) {
        out += "null";
        return;
    }
    if (d == 0) {
        out += std::signbit(d) ? "-0.0" : "0.0";
        return;
    }
    if (std::signbit(d)) out += '-';
    const FloatDigits f = shortest_digits(d);
    const char* digits = f.digits;
    const int n = f.count;
    const int exp = f.exponent;

    if (exp >= -5 && exp <= 15) {
        append_plain_decimal(out, f);
        return;
    }
    out += digits[0];
    if (n > 1) {
        out += '.';
        out.append(digits + 1, n - 1);
    }
    out += exp < 0 ? "e-" : "e+";
    write_uint(out, static_cast<std::uint64_t>(exp < 0 ? -exp : exp));
}

namespace {

// Whether any of the 8 bytes of `w` must be escaped: below 0x20, '"' or '\\'.
// (A byte flagged after a true one may be a false alarm; the caller then
// looks byte by byte.)
inline bool needs_escape(std::uint64_t w) {
    constexpr std::uint64_t ones = 0x0101010101010101ull;
    constexpr std::uint64_t highs = 0x8080808080808080ull;
    const std::uint64_t quote = w ^ (ones * '"');
    const std::uint64_t backslash = w ^ (ones * '\\');
    const std::uint64_t below = (w - ones * 0x20) & ~w;
    const std::uint64_t is_quote = (quote - ones) & ~quote;
    const std::uint64_t is_backslash = (backslash - ones) & ~backslash;
    return ((below | is_quote | is_backslash) & highs) != 0;
}

}  // namespace

void write_string(std::string& out, std::string_view s) {
    static constexpr char hex[] = "0123456789abcdef";
    out += '"';
    const char* run = s.data();
    const char* end = s.data() + s.size();
    // Most text needs no escaping: whole words of it are passed over.
    const char* p = run;
    for (; end - p >= 8; p += 8) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        if (needs_escape(w)) break;
    }
    for (; p < end; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c >= 0x20 && c != '"' && c != '\\') continue;
        out.append(run, p);
        run = p + 1;
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\t': out += "\\t"; break;
            case '\n': out += "\\n"; break;
            case '\f': out += "\\f"; break;
            case '\r': out += "\\r"; break;
            default: {
                const char esc[6] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 0xf]};
                out.append(esc, 6);
            }
        }
    }
    out.append(run, end);
    out += '"';
}

void write_value(std::string& out, const Value& v) {
    switch (v.kind()) {
        case Value::Kind::null: out += "null"; return;
        case Value::Kind::boolean: write_bool(out, v.as<bool>()); return;
        case Value::Kind::uint: write_uint(out, v.as<std::uint64_t>()); return;
        case Value::Kind::int_: write_int(out, v.as<std::int64_t>()); return;
        case Value::Kind::float_: write_double(out, v.as<double>()); return;
        case Value::Kind::string: write_string(out, v.as<std::string>()); return;
        case Value::Kind::array: {
            out += '[';
            bool first = true;
            for (const Value& item : v.as<Array>()) {
                if (!first) out += ',';
                first = false;
                write_value(out, item);
            }
            out += ']';
            return;
        }
        case Value::Kind::object: {
            out += '{';
            bool first = true;
            for (const Member& m : v.as<Object>()) {
                if (!first) out += ',';
                first = false;
                write_string(out, m.key);
                out += ':';
                write_value(out, m.value);
            }
            out += '}';
            return;
        }
    }
}

}  // namespace ostik::json
