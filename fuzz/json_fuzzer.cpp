// Fuzzes the JSON writer: a Value of any shape built from the input bytes is
// written, then read back by an independent checker that holds the text to
// the writing rules (see json_check.hpp). Report fields may hold infinities
// and NaN; those must come out as null.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "json_check.hpp"
#include "ostik/json_writer.hpp"
#include "ostik/value.hpp"

namespace {

using ostik::Array;
using ostik::Object;
using ostik::Value;

// Deep enough to exercise the recursion far past the loader's nesting limit,
// small enough that a run never exhausts the stack.
constexpr int max_depth = 300;

void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Text as Python str gives it: any code point but the surrogates, weighted
// toward the characters the writer treats specially.
std::string make_string(FuzzedDataProvider& in) {
    std::string s;
    const std::size_t n = in.ConsumeIntegralInRange<std::size_t>(0, 24);
    for (std::size_t i = 0; i < n && in.remaining_bytes() > 0; ++i) {
        switch (in.ConsumeIntegralInRange<int>(0, 5)) {
            case 0: append_utf8(s, in.ConsumeIntegralInRange<char32_t>(0, 0x1F)); break;
            case 1: {
                static constexpr char special[] = {'"', '\\', '/', 0x7F, 'a', 'Z', ' ', 'u', '0'};
                s += special[in.ConsumeIntegralInRange<std::size_t>(0, sizeof special - 1)];
                break;
            }
            case 2: append_utf8(s, in.ConsumeIntegralInRange<char32_t>(0x20, 0x7F)); break;
            case 3: append_utf8(s, in.ConsumeIntegralInRange<char32_t>(0x80, 0x7FF)); break;
            case 4: {
                char32_t cp = in.ConsumeIntegralInRange<char32_t>(0x800, 0xFFFF);
                if (cp >= 0xD800 && cp <= 0xDFFF) cp = 0xFFFD;
                append_utf8(s, cp);
                break;
            }
            default: append_utf8(s, in.ConsumeIntegralInRange<char32_t>(0x10000, 0x10FFFF)); break;
        }
    }
    return s;
}

double make_double(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
        case 0: {
            // Any bit pattern: subnormals, extremes, both zeros.
            std::uint64_t bits = in.ConsumeIntegral<std::uint64_t>();
            double d;
            std::memcpy(&d, &bits, sizeof d);
            return std::isfinite(d) ? d : 0.0;
        }
        case 1: {
            // Near the edges of the plain form: mantissa times a power of ten.
            const double m = static_cast<double>(in.ConsumeIntegralInRange<std::int64_t>(-99999999, 99999999));
            const int e = in.ConsumeIntegralInRange<int>(-30, 30);
            const double d = m * std::pow(10.0, e);
            return std::isfinite(d) ? d : 1.0;
        }
        case 2: return static_cast<double>(in.ConsumeIntegral<std::int64_t>());
        default: {
            const double d = in.ConsumeFloatingPoint<double>();
            return std::isfinite(d) ? d : -0.0;
        }
    }
}

Value make_value(FuzzedDataProvider& in, int depth, std::size_t& budget) {
    if (budget == 0 || in.remaining_bytes() == 0) return Value{};
    --budget;
    const int kind = in.ConsumeIntegralInRange<int>(0, depth >= max_depth ? 5 : 7);
    switch (kind) {
        case 0: return Value{};
        case 1: return Value{in.ConsumeBool()};
        case 2: return Value{in.ConsumeIntegral<std::uint64_t>()};
        case 3: return Value{in.ConsumeIntegralInRange<std::int64_t>(std::numeric_limits<std::int64_t>::min(), -1)};
        case 4: return Value{make_double(in)};
        case 5: return Value{make_string(in)};
        case 6: {
            Array a;
            const std::size_t n = in.ConsumeIntegralInRange<std::size_t>(0, 8);
            for (std::size_t i = 0; i < n; ++i) a.push_back(make_value(in, depth + 1, budget));
            return Value{std::move(a)};
        }
        default: {
            // Members in input order, repeats allowed: built both ways an
            // object can be built (one insert at a time, or sorted at once),
            // which must agree, the last of equal keys winning.
            std::vector<ostik::Member> members;
            const std::size_t n = in.ConsumeIntegralInRange<std::size_t>(0, 8);
            for (std::size_t i = 0; i < n; ++i) {
                std::string key = in.ConsumeBool() || members.empty() ? make_string(in) : members.back().key;
                members.push_back(ostik::Member{std::move(key), make_value(in, depth + 1, budget)});
            }
            Object o;
            for (const ostik::Member& m : members) o.set(m.key, m.value);
            Value sorted{Object::from_members(std::move(members))};
            Value inserted{std::move(o)};
            if (!ostik::fuzz::same_value(sorted, inserted)) {
                std::string a, b;
                ostik::json::write_value(a, sorted);
                ostik::json::write_value(b, inserted);
                ostik::fuzz::fail("Object::from_members and Object::set disagree", a + " vs " + b, 0);
            }
            return sorted;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);

    // A report's double field: non-finite values are written as null.
    {
        std::uint64_t bits = in.ConsumeIntegral<std::uint64_t>();
        double d;
        std::memcpy(&d, &bits, sizeof d);
        std::string out;
        ostik::json::write_double(out, d);
        if (!std::isfinite(d)) {
            if (out != "null") ostik::fuzz::fail("non-finite report double not written as null", out, 0);
        } else {
            ostik::fuzz::check_written(Value{d}, out);
        }
    }

    std::size_t budget = 4096;
    const Value v = make_value(in, 0, budget);
    std::string out = "prefix";  // the writer appends: what was there stays
    ostik::json::write_value(out, v);
    if (out.compare(0, 6, "prefix") != 0) ostik::fuzz::fail("writer touched earlier bytes", out, 0);
    ostik::fuzz::check_written(v, std::string_view(out).substr(6));
    return 0;
}
