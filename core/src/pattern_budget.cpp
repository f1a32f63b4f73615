#include "pattern_budget.hpp"

#include <re2/re2.h>

#include <cmath>

#include "ostik/text.hpp"
#include "pattern_states.hpp"

namespace ostik::detail {

void RegexDeleter::operator()(re2::RE2* re) const { delete re; }

std::expected<Regex, std::string> compile_pattern(std::string_view pattern) {
    using Failure = std::unexpected<std::string>;
    if (pattern.size() > max_pattern_bytes) {
        return Failure("pattern too large: " + std::to_string(pattern.size()) + " bytes, at most " +
                       std::to_string(max_pattern_bytes));
    }
    // RE2 checks the encoding only after the syntax, and quotes the pattern
    // in its syntax errors: bytes that are not UTF-8 would reach the message.
    if (!is_valid_utf8(pattern)) return Failure("invalid regular expression: invalid UTF-8");
    re2::RE2::Options options;  // UTF-8
    options.set_log_errors(false);
    options.set_max_mem(pattern_memory);
    // Only whether the pattern is found matters, which neither changes:
    // groups need not be tracked, and leftmost-longest automata merge the
    // states that leftmost-first ones tell apart by the order of their threads.
    options.set_never_capture(true);
    options.set_longest_match(true);
    Regex regex(new re2::RE2(re2::StringPiece(pattern.data(), pattern.size()), options));
    if (regex->error_code() == re2::RE2::ErrorPatternTooLarge) {
        return Failure("pattern too large: its program passes the memory budget of " +
                       std::to_string(pattern_memory >> 20) + " MiB");
    }
    if (!regex->ok()) return Failure("invalid regular expression: " + regex->error());
    if (const int size = regex->ProgramSize(); size > max_pattern_instructions) {
        return Failure("pattern too large: its program has " + std::to_string(size) + " instructions, at most " +
                       std::to_string(max_pattern_instructions));
    }
    if (const PatternStates states = estimate_states(pattern); states.bits > max_pattern_state_bits) {
        return Failure("pattern too large: its automaton may need 2^" +
                       std::to_string(static_cast<int>(std::ceil(states.bits))) + " states (the repetition `" +
                       std::string(states.repetition) + "` at byte " + std::to_string(states.at + 1) + "), at most 2^" +
                       std::to_string(max_pattern_state_bits));
    }
    return regex;
}

bool finds(const re2::RE2& regex, std::string_view text) {
    return re2::RE2::PartialMatch(re2::StringPiece(text.data(), text.size()), regex);
}

}  // namespace ostik::detail
