#include "yaml_scalar.hpp"

#include "float_digits.hpp"

#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <locale.h>
#include <optional>

namespace ostik::yaml {

namespace {

std::optional<bool> bool_text(std::string_view v) {
    if (v == "true" || v == "True" || v == "TRUE") return true;
    if (v == "false" || v == "False" || v == "FALSE") return false;
    return std::nullopt;
}

bool starts_with_sign(std::string_view v) { return !v.empty() && (v[0] == '+' || v[0] == '-'); }

// Leading zeros followed by digits ("0123", "-007") read as a string.
bool digits_but_not_number(std::string_view v) {
    if (starts_with_sign(v)) v.remove_prefix(1);
    if (v.size() <= 1 || v[0] != '0') return false;
    for (char c : v.substr(1)) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

// Digits only (no sign, no separators), at least one, without overflowing 128 bits.
std::optional<u128> parse_digits(std::string_view v, unsigned radix) {
    if (v.empty()) return std::nullopt;
    u128 acc = 0;
    const u128 max = ~u128(0);
    for (char c : v) {
        unsigned d;
        if (c >= '0' && c <= '9') d = static_cast<unsigned>(c - '0');
        else if (c >= 'a' && c <= 'z') d = static_cast<unsigned>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'Z') d = static_cast<unsigned>(c - 'A' + 10);
        else return std::nullopt;
        if (d >= radix) return std::nullopt;
        if (acc > (max - d) / radix) return std::nullopt;
        acc = acc * radix + d;
    }
    return acc;
}

std::optional<u128> radix_prefixed(std::string_view v, bool& matched) {
    static constexpr struct { std::string_view prefix; unsigned radix; } forms[] = {{"0x", 16}, {"0o", 8}, {"0b", 2}};
    matched = false;
    for (const auto& f : forms) {
        if (v.starts_with(f.prefix)) {
            std::string_view rest = v.substr(2);
            if (starts_with_sign(rest)) {
                matched = true;  // "0x+5" is nothing at all
                return std::nullopt;
            }
            if (auto n = parse_digits(rest, f.radix)) {
                matched = true;
                return n;
            }
        }
    }
    return std::nullopt;
}

// A non-negative integer: optional "+", then a radix form or decimal digits.
std::optional<u128> parse_unsigned(std::string_view v) {
    std::string_view unpositive = v;
    if (v.starts_with('+')) {
        unpositive = v.substr(1);
        if (starts_with_sign(unpositive)) return std::nullopt;
    }
    bool matched;
    auto n = radix_prefixed(unpositive, matched);
    if (n) return n;
    if (matched) return std::nullopt;
    if (starts_with_sign(unpositive)) return std::nullopt;
    if (digits_but_not_number(v)) return std::nullopt;
    return parse_digits(unpositive, 10);
}

// A signed integer as a sign and magnitude, the magnitude at most 2^127
// (negative) or 2^127 - 1 (positive).
std::optional<std::pair<bool, u128>> parse_signed(std::string_view v) {
    const u128 limit = u128(1) << 127;
    for (auto [prefix, radix] : {std::pair{std::string_view("-0x"), 16u}, {"-0o", 8u}, {"-0b", 2u}}) {
        if (v.starts_with(prefix)) {
            auto n = parse_digits(v.substr(3), radix);
            if (n && *n <= limit) return std::pair{true, *n};
        }
    }
    if (digits_but_not_number(v)) return std::nullopt;
    bool negative = false;
    if (starts_with_sign(v)) {
        negative = v[0] == '-';
        v.remove_prefix(1);
    }
    auto n = parse_digits(v, 10);
    if (!n || *n > (negative ? limit : limit - 1)) return std::nullopt;
    return std::pair{negative, *n};
}

bool resolve_int(std::string_view v, Scalar& out) {
    auto u = parse_unsigned(v);
    if (u && *u <= std::numeric_limits<std::uint64_t>::max()) {
        out.kind = Scalar::Kind::uint;
        out.u = static_cast<std::uint64_t>(*u);
        return true;
    }
    auto s = parse_signed(v);
    if (s) {
        const u128 i64_neg_limit = u128(1) << 63;
        if (s->first ? s->second <= i64_neg_limit : s->second < i64_neg_limit) {
            out.kind = Scalar::Kind::int_;
            out.i = s->first ? static_cast<std::int64_t>(-static_cast<__int128>(s->second))
                             : static_cast<std::int64_t>(s->second);
            return true;
        }
    }
    if (u) {
        out.kind = Scalar::Kind::big_uint;
        out.magnitude = *u;
        return true;
    }
    if (s) {
        out.kind = s->first ? Scalar::Kind::big_int : Scalar::Kind::big_uint;
        out.magnitude = s->second;
        return true;
    }
    return false;
}

// Decimal float grammar: [-] (digits [. digits] | . digits) [(e|E) [+|-] digits].
bool decimal_float_syntax(std::string_view v) {
    std::size_t i = 0;
    if (i < v.size() && v[i] == '-') ++i;
    std::size_t int_digits = 0, frac_digits = 0;
    while (i < v.size() && v[i] >= '0' && v[i] <= '9') ++i, ++int_digits;
    if (i < v.size() && v[i] == '.') {
        ++i;
        while (i < v.size() && v[i] >= '0' && v[i] <= '9') ++i, ++frac_digits;
    }
    if (int_digits + frac_digits == 0) return false;
    if (i < v.size() && (v[i] == 'e' || v[i] == 'E')) {
        ++i;
        if (i < v.size() && (v[i] == '+' || v[i] == '-')) ++i;
        std::size_t exp_digits = 0;
        while (i < v.size() && v[i] >= '0' && v[i] <= '9') ++i, ++exp_digits;
        if (exp_digits == 0) return false;
    }
    return i == v.size();
}

double c_strtod(const std::string& s) {
    static locale_t c_locale = newlocale(LC_NUMERIC_MASK, "C", nullptr);
    return strtod_l(s.c_str(), nullptr, c_locale);
}

std::optional<double> parse_float(std::string_view v) {
    std::string_view unpositive = v;
    if (v.starts_with('+')) {
        unpositive = v.substr(1);
        if (starts_with_sign(unpositive)) return std::nullopt;
    }
    if (unpositive == ".inf" || unpositive == ".Inf" || unpositive == ".INF") return HUGE_VAL;
    if (v == "-.inf" || v == "-.Inf" || v == "-.INF") return -HUGE_VAL;
    if (v == ".nan" || v == ".NaN" || v == ".NAN") return std::numeric_limits<double>::quiet_NaN();
    if (!decimal_float_syntax(unpositive)) return std::nullopt;
    double d = c_strtod(std::string(unpositive));
    if (!std::isfinite(d)) return std::nullopt;  // "1e999" stays a string
    return d;
}

void resolve_plain(std::string_view v, Scalar& out) {
    out.text = v;
    if (v.empty() || is_null_text(v)) {
        out.kind = Scalar::Kind::null;
        return;
    }
    if (auto b = bool_text(v)) {
        out.kind = Scalar::Kind::boolean;
        out.b = *b;
        return;
    }
    if (resolve_int(v, out)) return;
    if (!digits_but_not_number(v)) {
        if (auto f = parse_float(v)) {
            out.kind = Scalar::Kind::float_;
            out.f = *f;
            return;
        }
    }
    out.kind = Scalar::Kind::string;
}

}  // namespace

bool is_null_text(std::string_view v) { return v == "~" || v == "null" || v == "Null" || v == "NULL"; }

bool resolve(const Event& ev, Scalar& out, std::string& error) {
    std::string_view v = ev.value;
    out = Scalar{};
    out.text = v;
    const char* expected = nullptr;
    switch (ev.tag) {
        case Tag::none:
            if (ev.plain) {
                resolve_plain(v, out);
            } else {
                out.kind = Scalar::Kind::string;
            }
            return true;
        case Tag::boolean:
            if (auto b = bool_text(v)) {
                out.kind = Scalar::Kind::boolean;
                out.b = *b;
                return true;
            }
            expected = "a boolean";
            break;
        case Tag::integer:
            if (resolve_int(v, out)) return true;
            expected = "an integer";
            break;
        case Tag::float_:
            if (auto f = parse_float(v)) {
                out.kind = Scalar::Kind::float_;
                out.f = *f;
                return true;
            }
            expected = "a float";
            break;
        case Tag::null:
            // The empty plain scalar is a null too, tagged or not.
            if (is_null_text(v) || (v.empty() && ev.plain)) {
                out.kind = Scalar::Kind::null;
                return true;
            }
            expected = "null";
            break;
        case Tag::local:
            if (ev.plain) {
                resolve_plain(v, out);
                return true;
            }
            out.kind = Scalar::Kind::string;
            return true;
        case Tag::core_other:
        case Tag::other:
            out.kind = Scalar::Kind::string;
            return true;
    }
    error = "invalid value: string " + quote_debug(v) + ", expected " + expected;
    return false;
}

std::string u128_to_string(u128 v) {
    char buf[48];
    char* p = buf + sizeof buf;
    do {
        *--p = static_cast<char>('0' + static_cast<int>(v % 10));
        v /= 10;
    } while (v != 0);
    return std::string(p, buf + sizeof buf);
}

std::string float_text(double d) {
    if (std::isnan(d)) return "NaN";
    if (std::isinf(d)) return d < 0 ? "-inf" : "inf";
    std::string out;
    if (std::signbit(d)) out += '-';
    d = std::fabs(d);
    if (d == 0) return out + "0.0";
    append_plain_decimal(out, shortest_digits(d));
    return out;
}

std::string quote_debug(std::string_view s) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string out = "\"";
    for (char ch : s) {
        const unsigned char c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\0': out += "\\0"; break;
            default:
                if (c < 0x20 || c == 0x7f) {
                    out += "\\u{";
                    if (c >= 0x10) out += hex[c >> 4];
                    out += hex[c & 0xf];
                    out += '}';
                } else {
                    out += ch;
                }
        }
    }
    out += '"';
    return out;
}

std::string describe(const Scalar& s) {
    switch (s.kind) {
        case Scalar::Kind::null: return "unit value";
        case Scalar::Kind::boolean: return s.b ? "boolean `true`" : "boolean `false`";
        case Scalar::Kind::uint: return "integer `" + std::to_string(s.u) + "`";
        case Scalar::Kind::int_: return "integer `" + std::to_string(s.i) + "`";
        case Scalar::Kind::big_uint: return "integer `" + u128_to_string(s.magnitude) + "`";
        case Scalar::Kind::big_int: return "integer `-" + u128_to_string(s.magnitude) + "`";
        case Scalar::Kind::float_: return "floating point `" + float_text(s.f) + "`";
        case Scalar::Kind::string: return "string " + quote_debug(s.text);
    }
    return "unit value";
}

}  // namespace ostik::yaml
