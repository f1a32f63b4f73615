// An independent reader for the JSON text the writer produces, used by the
// fuzz harnesses to hold the writer to its rules: strict JSON grammar, valid
// UTF-8, no whitespace, canonical string escapes, the number forms, and a
// read-back that gives the written Value again (floats bit for bit).
//
// It shares no code with the writer on purpose: a check built on the code it
// checks would agree with that code's mistakes.
#pragma once

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "ostik/value.hpp"

namespace ostik::fuzz {

[[noreturn]] inline void fail(const char* what, std::string_view text, std::size_t at) {
    std::fprintf(stderr, "JSON check failed: %s at byte %zu\n", what, at);
    const std::size_t from = at > 60 ? at - 60 : 0;
    std::fprintf(stderr, "  near: %.*s\n", static_cast<int>(std::min<std::size_t>(text.size() - from, 120)),
                 text.data() + from);
    std::abort();
}

// UTF-8 as RFC 3629 defines it: no overlong forms, no surrogates, nothing past
// U+10FFFF. Written from the table of well-formed byte sequences (Unicode 3.9).
inline bool utf8_well_formed(std::string_view s) {
    std::size_t i = 0;
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    while (i < s.size()) {
        const unsigned char b = byte(i);
        auto in = [&](std::size_t k, unsigned lo, unsigned hi) {
            return k < s.size() && byte(k) >= lo && byte(k) <= hi;
        };
        if (b <= 0x7F) { i += 1; continue; }
        if (b >= 0xC2 && b <= 0xDF) { if (!in(i + 1, 0x80, 0xBF)) return false; i += 2; continue; }
        if (b == 0xE0) { if (!in(i + 1, 0xA0, 0xBF) || !in(i + 2, 0x80, 0xBF)) return false; i += 3; continue; }
        if ((b >= 0xE1 && b <= 0xEC) || b == 0xEE || b == 0xEF) {
            if (!in(i + 1, 0x80, 0xBF) || !in(i + 2, 0x80, 0xBF)) return false;
            i += 3;
            continue;
        }
        if (b == 0xED) { if (!in(i + 1, 0x80, 0x9F) || !in(i + 2, 0x80, 0xBF)) return false; i += 3; continue; }
        if (b == 0xF0) {
            if (!in(i + 1, 0x90, 0xBF) || !in(i + 2, 0x80, 0xBF) || !in(i + 3, 0x80, 0xBF)) return false;
            i += 4;
            continue;
        }
        if (b >= 0xF1 && b <= 0xF3) {
            if (!in(i + 1, 0x80, 0xBF) || !in(i + 2, 0x80, 0xBF) || !in(i + 3, 0x80, 0xBF)) return false;
            i += 4;
            continue;
        }
        if (b == 0xF4) {
            if (!in(i + 1, 0x80, 0x8F) || !in(i + 2, 0x80, 0xBF) || !in(i + 3, 0x80, 0xBF)) return false;
            i += 4;
            continue;
        }
        return false;
    }
    return true;
}

// Digits and decimal exponent of a positive double, correctly rounded to
// `prec` + 1 significant digits by printf.
inline void printf_digits(double a, int prec, std::string& digits, int& e) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*e", prec, a);
    digits.clear();
    const char* p = buf;
    for (; *p != 'e'; ++p) if (*p != '.') digits += *p;
    e = std::atoi(p + 1);
}

inline bool reads_back(const std::string& digits, int e, double a) {
    const std::string text = digits.substr(0, 1) + "." + digits.substr(1) + "e" + std::to_string(e);
    return std::strtod(text.c_str(), nullptr) == a;
}

// The float text the rules call for. The digits are the fewest that read
// back: printf's correctly rounded ones, or, next to a power of two (where
// the gap below a double is half the gap above), that number plus one unit
// in the last place.
inline std::string reference_float(double d) {
    if (d == 0) return std::signbit(d) ? "-0.0" : "0.0";
    const double a = std::fabs(d);
    std::string digits;
    int e = 0;
    for (int prec = 0; prec <= 16; ++prec) {
        printf_digits(a, prec, digits, e);
        if (reads_back(digits, e, a)) break;
        std::string up = digits;
        int up_e = e;
        std::size_t k = up.size();
        while (k > 0 && up[k - 1] == '9') up[--k] = '0';
        if (k == 0) { up.insert(up.begin(), '1'); up.pop_back(); ++up_e; } else { ++up[k - 1]; }
        if (reads_back(up, up_e, a)) { digits = up; e = up_e; break; }
    }
    std::string out = std::signbit(d) ? "-" : "";
    while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
    const int n = static_cast<int>(digits.size());
    if (e >= -5 && e <= 15) {
        if (e < 0) {
            out += "0." + std::string(static_cast<std::size_t>(-e - 1), '0') + digits;
        } else if (e <= n - 2) {
            out += digits.substr(0, static_cast<std::size_t>(e + 1)) + "." + digits.substr(static_cast<std::size_t>(e + 1));
        } else {
            out += digits + std::string(static_cast<std::size_t>(e - n + 1), '0') + ".0";
        }
        return out;
    }
    out += digits[0];
    if (n > 1) out += "." + digits.substr(1);
    out += e < 0 ? "e-" : "e+";
    out += std::to_string(e < 0 ? -e : e);
    return out;
}

class Reader {
public:
    // Value objects have their keys in ascending order; report records write
    // theirs in field order, so `sorted_keys` is off for them.
    explicit Reader(std::string_view text, bool sorted_keys = true) : text_(text), sorted_keys_(sorted_keys) {}

    // Reads the whole text as one Value; aborts on anything out of form.
    Value read_document() {
        if (!utf8_well_formed(text_)) fail("not well-formed UTF-8", text_, 0);
        Value v = read_value(0);
        if (pos_ != text_.size()) fail("trailing bytes", text_, pos_);
        return v;
    }

private:
    std::string_view text_;
    bool sorted_keys_;
    std::size_t pos_ = 0;

    char peek() const { return pos_ < text_.size() ? text_[pos_] : '\0'; }
    bool at_end() const { return pos_ >= text_.size(); }

    void expect(std::string_view word) {
        if (text_.substr(pos_, word.size()) != word) fail("unexpected token", text_, pos_);
        pos_ += word.size();
    }

    Value read_value(int depth) {
        if (depth > 100000) fail("nesting beyond any input", text_, pos_);
        if (at_end()) fail("value expected", text_, pos_);
        switch (peek()) {
            case 'n': expect("null"); return Value{};
            case 't': expect("true"); return Value{true};
            case 'f': expect("false"); return Value{false};
            case '"': return Value{read_string()};
            case '[': return read_array(depth);
            case '{': return read_object(depth);
            default: return read_number();
        }
    }

    Value read_array(int depth) {
        ++pos_;
        Array a;
        if (peek() == ']') { ++pos_; return Value{std::move(a)}; }
        for (;;) {
            a.push_back(read_value(depth + 1));
            if (peek() == ',') { ++pos_; continue; }
            if (peek() == ']') { ++pos_; return Value{std::move(a)}; }
            fail("',' or ']' expected", text_, pos_);
        }
    }

    Value read_object(int depth) {
        ++pos_;
        Object o;
        if (peek() == '}') { ++pos_; return Value{std::move(o)}; }
        std::string previous;
        bool first = true;
        for (;;) {
            if (peek() != '"') fail("key expected", text_, pos_);
            const std::size_t key_at = pos_;
            std::string key = read_string();
            // Members come in strictly ascending byte order: sorted, no repeats.
            if (sorted_keys_ && !first && !(previous < key)) fail("keys not in ascending order", text_, key_at);
            if (peek() != ':') fail("':' expected", text_, pos_);
            ++pos_;
            Value v = read_value(depth + 1);
            previous = key;
            first = false;
            o.set(std::move(key), std::move(v));
            if (peek() == ',') { ++pos_; continue; }
            if (peek() == '}') { ++pos_; return Value{std::move(o)}; }
            fail("',' or '}' expected", text_, pos_);
        }
    }

    std::string read_string() {
        ++pos_;
        std::string s;
        for (;;) {
            if (at_end()) fail("unterminated string", text_, pos_);
            const unsigned char c = static_cast<unsigned char>(text_[pos_]);
            if (c == '"') { ++pos_; return s; }
            if (c < 0x20) fail("raw control character in string", text_, pos_);
            if (c != '\\') { s += static_cast<char>(c); ++pos_; continue; }
            if (pos_ + 1 >= text_.size()) fail("dangling backslash", text_, pos_);
            const char e = text_[pos_ + 1];
            pos_ += 2;
            switch (e) {
                case '"': s += '"'; break;
                case '\\': s += '\\'; break;
                case 'b': s += '\b'; break;
                case 't': s += '\t'; break;
                case 'n': s += '\n'; break;
                case 'f': s += '\f'; break;
                case 'r': s += '\r'; break;
                case 'u': {
                    // Only the other control characters take this form, in lower case.
                    if (pos_ + 4 > text_.size() || text_.substr(pos_, 2) != "00") fail("bad \\u escape", text_, pos_);
                    static constexpr char hex[] = "0123456789abcdef";
                    const char* h1 = std::strchr(hex, text_[pos_ + 2]);
                    const char* h2 = std::strchr(hex, text_[pos_ + 3]);
                    if (!h1 || !h2 || !text_[pos_ + 2] || !text_[pos_ + 3]) fail("bad \\u escape digits", text_, pos_);
                    const int v = static_cast<int>((h1 - hex) * 16 + (h2 - hex));
                    if (v >= 0x20 || v == '\b' || v == '\t' || v == '\n' || v == '\f' || v == '\r')
                        fail("\\u escape where a short form or no escape is due", text_, pos_);
                    s += static_cast<char>(v);
                    pos_ += 4;
                    break;
                }
                default: fail("unknown escape (solidus included: it is never escaped)", text_, pos_);
            }
        }
    }

    Value read_number() {
        const std::size_t start = pos_;
        bool negative = false;
        if (peek() == '-') { negative = true; ++pos_; }
        const std::size_t int_start = pos_;
        while (std::isdigit(static_cast<unsigned char>(peek()))) ++pos_;
        const std::size_t int_len = pos_ - int_start;
        if (int_len == 0) fail("number expected", text_, start);
        if (int_len > 1 && text_[int_start] == '0') fail("leading zero", text_, start);
        bool is_float = false;
        if (peek() == '.') {
            is_float = true;
            ++pos_;
            const std::size_t f = pos_;
            while (std::isdigit(static_cast<unsigned char>(peek()))) ++pos_;
            if (pos_ == f) fail("digits expected after '.'", text_, pos_);
        }
        if (peek() == 'e') {
            is_float = true;
            ++pos_;
            if (peek() != '+' && peek() != '-') fail("exponent sign expected", text_, pos_);
            ++pos_;
            const std::size_t x = pos_;
            while (std::isdigit(static_cast<unsigned char>(peek()))) ++pos_;
            if (pos_ == x || text_[x] == '0') fail("exponent digits", text_, x);
        }
        const std::string token(text_.substr(start, pos_ - start));
        if (!is_float) {
            if (!negative) {
                errno = 0;
                const unsigned long long u = std::strtoull(token.c_str(), nullptr, 10);
                if (errno) fail("unsigned integer out of range", text_, start);
                return Value{static_cast<std::uint64_t>(u)};
            }
            if (token == "-0") fail("negative zero integer", text_, start);
            errno = 0;
            const long long i = std::strtoll(token.c_str(), nullptr, 10);
            if (errno) fail("signed integer out of range", text_, start);
            return Value{static_cast<std::int64_t>(i)};
        }
        const double d = std::strtod(token.c_str(), nullptr);
        if (!std::isfinite(d)) fail("float does not read back finite", text_, start);
        if (reference_float(d) != token) {
            std::fprintf(stderr, "expected float text %s\n", reference_float(d).c_str());
            fail("float text not in its canonical form", text_, start);
        }
        return Value{d};
    }
};

// Equality that tells 0.0 from -0.0 (== on double does not).
inline bool same_value(const Value& a, const Value& b) {
    if (a.kind() != b.kind()) return false;
    if (a.is<double>()) {
        const double x = a.as<double>(), y = b.as<double>();
        return std::memcmp(&x, &y, sizeof(double)) == 0;
    }
    if (a.is<Array>()) {
        const Array& x = a.as<Array>();
        const Array& y = b.as<Array>();
        if (x.size() != y.size()) return false;
        for (std::size_t i = 0; i < x.size(); ++i)
            if (!same_value(x[i], y[i])) return false;
        return true;
    }
    if (a.is<Object>()) {
        const Object& x = a.as<Object>();
        const Object& y = b.as<Object>();
        if (x.size() != y.size()) return false;
        for (auto i = x.begin(), j = y.begin(); i != x.end(); ++i, ++j)
            if (i->key != j->key || !same_value(i->value, j->value)) return false;
        return true;
    }
    return a == b;
}

// A report: well-formed and canonical, keys in any order.
inline void check_report_text(std::string_view text) {
    Reader reader(text, false);
    (void)reader.read_document();
}

// The writer's output must be well-formed, canonical and read back as `v`.
inline void check_written(const Value& v, std::string_view text) {
    Reader reader(text);
    const Value back = reader.read_document();
    if (!same_value(v, back)) fail("read-back differs from the written Value", text, 0);
}

}  // namespace ostik::fuzz
