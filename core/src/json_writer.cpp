#include "ostik/json_writer.hpp"

#include "float_digits.hpp"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>

namespace ostik::json {

void write_bool(std::string& out, bool b) { out += b ? "true" : "false"; }

char* put_uint(char* p, std::uint64_t u) { return std::to_chars(p, p + 20, u).ptr; }

char* put_int(char* p, std::int64_t i) { return std::to_chars(p, p + 20, i).ptr; }

char* put_double(char* p, double d) {
    if (!std::isfinite(d)) {
        std::memcpy(p, "null", 4);
        return p + 4;
    }
    if (std::signbit(d)) *p++ = '-';
    if (d == 0) {
        std::memcpy(p, "0.0", 3);
        return p + 3;
    }
    const double a = std::fabs(d);
    if (a < 9007199254740992.0 && a == static_cast<double>(static_cast<std::uint64_t>(a))) {
        // A whole number below 2^53, so in the plain range: its integer
        // digits (its shortest digits and their trailing zeros) and ".0".
        p = put_uint(p, static_cast<std::uint64_t>(a));
        std::memcpy(p, ".0", 2);
        return p + 2;
    }
    const FloatDigits f = shortest_digits(a);
    const int n = f.count;
    const int exp = f.exponent;
    if (exp >= -5 && exp <= 15) return put_plain_decimal(p, f);
    *p++ = f.digits[0];
    if (n > 1) {
        *p++ = '.';
        std::memcpy(p, f.digits + 1, static_cast<std::size_t>(n - 1));
        p += n - 1;
    }
    *p++ = 'e';
    *p++ = exp < 0 ? '-' : '+';
    return put_uint(p, static_cast<std::uint64_t>(exp < 0 ? -exp : exp));
}

void write_uint(std::string& out, std::uint64_t u) {
    char buf[max_number_text];
    out.append(buf, put_uint(buf, u));
}

void write_int(std::string& out, std::int64_t i) {
    char buf[max_number_text];
    out.append(buf, put_int(buf, i));
}

void write_double(std::string& out, double d) {
    char buf[max_number_text];
    out.append(buf, put_double(buf, d));
}

char* put_escape(char* p, unsigned char c) {
    static constexpr char hex[] = "0123456789abcdef";
    *p++ = '\\';
    switch (c) {
        case '"': *p++ = '"'; break;
        case '\\': *p++ = '\\'; break;
        case '\b': *p++ = 'b'; break;
        case '\t': *p++ = 't'; break;
        case '\n': *p++ = 'n'; break;
        case '\f': *p++ = 'f'; break;
        case '\r': *p++ = 'r'; break;
        default:
            std::memcpy(p, "u00", 3);
            p[3] = hex[c >> 4];
            p[4] = hex[c & 0xf];
            p += 5;
    }
    return p;
}

void write_string(std::string& out, std::string_view s) {
    out += '"';
    const char* p = s.data();
    std::size_t left = s.size();
    for (;;) {
        // Most text needs no escaping: whole runs of it are copied at once.
        const std::size_t run = unescaped_prefix(p, left);
        out.append(p, run);
        if (run == left) break;
        char esc[6];
        out.append(esc, put_escape(esc, static_cast<unsigned char>(p[run])));
        p += run + 1;
        left -= run + 1;
    }
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
