// The budget of the regular expressions of `matches` and `not_matches`.
//
// RE2 never backtracks, so no pattern makes a check exponential; but the time
// a check takes per byte of the argument still depends on the pattern: on
// how many states its automaton has, and whether they fit in the memory RE2
// may use for them (past that, RE2 falls back to simulating the program
// instruction by instruction, for every byte). A pattern is therefore held
// to four limits, checked when the guard is made:
//
//   max_pattern_bytes         the pattern's own text
//   max_pattern_instructions  the program RE2 compiles it to (a counted
//                             repetition such as `.{500}` or a Unicode class
//                             makes a short text compile to a long program)
//   pattern_memory            what RE2 may use for the program and its
//                             automaton, per pattern
//   max_pattern_state_bits    log2 of the states its automaton may need for
//                             an unanchored search, as pattern_states.hpp
//                             estimates them from its counted repetitions
//                             (`a[ab]{16}c`: 2^16). Past some thousands the
//                             states no longer fit the memory caches nor
//                             RE2's state cache, and a check slows from a few
//                             ms per MiB to hundreds.
//
// bench/bench_patterns.py measures the shapes these limits are set against.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <string_view>

namespace re2 {
class RE2;
}

namespace ostik::detail {

inline constexpr std::size_t max_pattern_bytes = 1024;
inline constexpr int max_pattern_instructions = 4000;
inline constexpr std::int64_t pattern_memory = std::int64_t{32} << 20;
inline constexpr int max_pattern_state_bits = 12;

struct RegexDeleter {
    void operator()(re2::RE2* re) const;
};
using Regex = std::unique_ptr<re2::RE2, RegexDeleter>;

// The compiled pattern, or the message that refuses it: RE2's own ("invalid
// regular expression: ...") or a limit ("pattern too large: 2000 bytes, at
// most 1024").
std::expected<Regex, std::string> compile_pattern(std::string_view pattern);

// Whether `text` holds a match of `regex` anywhere.
bool finds(const re2::RE2& regex, std::string_view text);

}  // namespace ostik::detail
