// The compiler of `matches` patterns against RE2 itself:
//  1. A pattern within the limits compiles exactly when RE2 accepts it.
//  2. Every refusal is a non-empty UTF-8 message, whatever the pattern's
//     bytes (RE2 quotes the pattern in its syntax errors, before it looks at
//     the encoding).
//  3. The estimate of a pattern RE2 accepts is a finite, non-negative count
//     of bits that names a piece of the pattern's own text.
// Patterns: the committed seeds of the pattern harness, its findings, and
// random strings of regular-expression pieces and stray bytes.
#include <re2/re2.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "ostik/text.hpp"
#include "pattern_budget.hpp"
#include "pattern_states.hpp"

using namespace ostik;

namespace {

int failures = 0;

void check(bool ok, const char* what, std::string_view pattern) {
    if (!ok && ++failures <= 10) {
        std::fprintf(stderr, "FAIL: %s: ", what);
        for (const char c : pattern) std::fprintf(stderr, "\\x%02x", static_cast<unsigned char>(c));
        std::fprintf(stderr, "\n");
    }
}

bool re2_accepts(std::string_view pattern) {
    re2::RE2::Options options;
    options.set_log_errors(false);
    options.set_max_mem(detail::pattern_memory);
    const re2::RE2 re(re2::StringPiece(pattern.data(), pattern.size()), options);
    return re.ok();
}

void check_pattern(std::string_view pattern) {
    auto compiled = detail::compile_pattern(pattern);
    if (!compiled) {
        check(!compiled.error().empty(), "empty refusal", pattern);
        check(is_valid_utf8(compiled.error()), "refusal not UTF-8", pattern);
        if (!compiled.error().starts_with("pattern too large")) {
            check(!re2_accepts(pattern), "refused a pattern RE2 accepts", pattern);
        }
    } else {
        check(re2_accepts(pattern), "compiled a pattern RE2 refuses", pattern);
    }
    if (re2_accepts(pattern) && pattern.size() <= detail::max_pattern_bytes) {
        const detail::PatternStates states = detail::estimate_states(pattern);
        check(std::isfinite(states.bits) && states.bits >= 0, "estimate not finite", pattern);
        check(states.repetition.empty() ||
                  (states.at <= pattern.size() && states.repetition.size() <= pattern.size() - states.at &&
                   pattern.substr(states.at, states.repetition.size()) == states.repetition),
              "estimate names text not at its offset", pattern);
    }
}

}  // namespace

int main() {
    const std::vector<std::string> known = {
        "\\b[A-Z]{2}[0-9]{2}(?: ?[A-Z0-9]{4}){3,7}\\b",
        "a[ab]{16}c",
        "AKIA[0-9A-Z]{16}",
        "(?i)^(src|tests)/[^\\n]*\\.py$",
        "\\Qa.b\\E{3}[[:alpha:]\\x41-\\x{5A}\\pL]+?",
        // A syntax error quoting bytes that are not UTF-8 (found by the pattern harness).
        std::string("P>?[n<(0-9a-f]{8}-[0-9a-f]{4})&9\xff\xff\xff" "9mQ"),
        std::string("(\xc3"),
        std::string("a\xff"),
        std::string("[\xe2\x82]"),
    };
    for (const std::string& pattern : known) check_pattern(pattern);

    static const char* const pieces[] = {"(", ")", "(?:", "(?i)", "[", "]", "[^", "|", "*", "+", "?", "{2}", "{3,7}",
                                         "{0,}", "\\b", "\\d", "\\pL", "\\Q", "\\E", "\\x41", ".", "^", "$", "a",
                                         "Z", "0", " ", "-", "é", "\xff", "\xc3", "\x80", "\\"};
    std::mt19937_64 rng(20261209);
    for (int round = 0; round < 20000; ++round) {
        std::string pattern;
        for (auto n = rng() % 12; n > 0; --n) pattern += pieces[rng() % std::size(pieces)];
        check_pattern(pattern);
    }
    if (failures) {
        std::fprintf(stderr, "%d failures\n", failures);
        return 1;
    }
    std::printf("pattern_equivalence: ok\n");
    return 0;
}
