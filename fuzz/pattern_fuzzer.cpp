// Fuzzes the patterns of `matches`: the input is a pattern, compiled the way
// the guard compiles one (RE2 first, then the limits, the estimate of its
// automaton's states last). Whatever RE2 accepts must come out of the scan of
// its counted repetitions with a finite, non-negative estimate that names a
// piece of the pattern's own text; a refusal must be a non-empty UTF-8
// message; a pattern that passes must search a text made from it. The same
// pattern is then written into a taint entry and an argument constraint of a
// whole-language policy, whose loading must accept it or refuse it as the
// compiler did.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "../core/src/pattern_budget.hpp"
#include "../core/src/pattern_states.hpp"
#include "json_check.hpp"
#include "ostik/guard.hpp"
#include "ostik/policy_loader.hpp"

namespace {

[[noreturn]] void fail(const char* what, std::string_view detail = {}) {
    std::fprintf(stderr, "pattern check failed: %s\n  %.*s\n", what, static_cast<int>(detail.size()), detail.data());
    std::abort();
}

// A YAML single-quoted scalar of `text` (which holds no line break).
std::string quoted(std::string_view text) {
    std::string out = "'";
    for (const char c : text) {
        out += c;
        if (c == '\'') out += '\'';
    }
    return out + "'";
}

void through_policies(std::string_view pattern, bool compiles) {
    // A line break in a single-quoted scalar folds into a space, and YAML
    // allows no control character nor U+FEFF, U+FFFE, U+FFFF: those patterns
    // stay here. The pattern is UTF-8.
    for (std::size_t i = 0; i < pattern.size();) {
        const auto b = static_cast<unsigned char>(pattern[i]);
        const std::size_t n = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
        std::uint32_t cp = n == 1 ? b : b & (0x7F >> n);
        for (std::size_t k = 1; k < n; ++k) cp = cp << 6 | (static_cast<unsigned char>(pattern[i + k]) & 0x3F);
        i += n;
        if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0) || cp == 0x2028 || cp == 0x2029 || cp == 0xFEFF ||
            cp == 0xFFFE || cp == 0xFFFF)
            return;
    }
    const std::string taint = "version: \"1\"\ntaint:\n  - label: secret\n    result: {matches: " + quoted(pattern) +
                              "}\nflows:\n  - {from: secret, to: send}\n";
    auto loaded = ostik::parse_policy(taint, nullptr, nullptr, ostik::Language::whole);
    if (loaded.has_value() != compiles) fail(compiles ? "a taint pattern that compiles is refused" : "a taint pattern that does not compile loads", pattern);
    if (!loaded && !ostik::fuzz::utf8_well_formed(loaded.error().message)) fail("taint refusal not UTF-8");

    const std::string argument = "version: \"1\"\ntools:\n  arg_constraints:\n    shell:\n      command: {matches: " +
                                 quoted(pattern) + "}\n";
    auto policy = ostik::parse_policy(argument);
    if (!policy) fail("an argument constraint does not load", policy.error().message);
    auto guard = ostik::Guard::create(std::move(*policy));
    if (guard.has_value() != compiles) fail(compiles ? "an argument pattern that compiles is refused" : "an argument pattern that does not compile makes a guard", pattern);
    if (!guard && !ostik::fuzz::utf8_well_formed(guard.error().text())) fail("argument refusal not UTF-8");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view pattern(reinterpret_cast<const char*>(data), size);
    auto compiled = ostik::detail::compile_pattern(pattern);
    if (!compiled) {
        const std::string& message = compiled.error();
        if (message.empty()) fail("empty refusal");
        if (!ostik::fuzz::utf8_well_formed(message)) fail("refusal is not UTF-8", message);
    }
    if (compiled || compiled.error().starts_with("pattern too large: its automaton")) {
        const ostik::detail::PatternStates states = ostik::detail::estimate_states(pattern);
        if (!std::isfinite(states.bits) || states.bits < 0) fail("estimate not a finite count of bits", pattern);
        if (!states.repetition.empty()) {
            if (states.at > pattern.size() || states.repetition.size() > pattern.size() - states.at ||
                pattern.substr(states.at, states.repetition.size()) != states.repetition)
                fail("the repetition named is not the pattern's text at its offset", pattern);
        }
    }
    if (compiled) {
        // The pattern's own bytes, doubled and reversed: text that gets part way into it.
        std::string text(pattern);
        text += text;
        text.append(pattern.rbegin(), pattern.rend());
        (void)ostik::detail::finds(**compiled, text);
    }
    if (ostik::fuzz::utf8_well_formed(pattern)) through_policies(pattern, compiled.has_value());
    return 0;
}
