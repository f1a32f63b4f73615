// How many states the automaton of an unanchored search may need: a
// conservative reading of a pattern's counted repetitions.
//
// RE2 searches with a DFA whose states are the sets of places in the pattern
// that a match begun somewhere earlier has reached. A counted repetition of a
// class, `a[ab]{16}c`, can hold a match begun at any `a` of the last 16
// bytes, so the automaton has up to 2^16 states: more than fit in the memory
// caches, or in RE2's state cache, and each byte then costs a trip to main
// memory or a fall back to the instruction-by-instruction simulation. The
// estimate here counts, for each counted repetition, the bits of history its
// state may hold, and adds them up (the states of several repetitions
// multiply):
//
//   - a repetition of one literal byte (`a{100}`), or one that begins the
//     pattern or one of its alternatives (`.{499}Q`, `[0-9a-f]{8}-...`),
//     holds a run, not a set: no bits;
//   - a repetition right after a byte it cannot match (`sk-[A-Za-z0-9]{48}`,
//     the `-` of `...-[0-9a-f]{4}`) restarts at each of them: no bits;
//   - otherwise a match can begin anywhere the text before the repetition
//     can end: one bit per repeated byte, fewer when that text is a fixed
//     run of bytes that cannot overlap itself closely (the 4 bytes of
//     `AKIA[0-9A-Z]{16}` begin at most once in 4 bytes: 0.47 bits per byte);
//   - a repetition nested in a counted group counts each of the group's
//     repetitions (`a(?:[ab]{4}){4}c` is 16 bytes of history);
//   - a repetition that ends the pattern counts only its lower bound, since
//     the search stops at the first match (`[A-Z0-9]{11,30}` counts 11).
//
// The pattern must already be one RE2 accepts; anything this scan does not
// recognise counts as the worst case, never the best.
#pragma once

#include <cstddef>
#include <string_view>

namespace ostik::detail {

struct PatternStates {
    double bits = 0;             // log2 of the states the search may need
    std::size_t at = 0;          // byte offset (from 0) of the repetition that counts most
    std::string_view repetition; // its text, quantifier included
};

PatternStates estimate_states(std::string_view pattern);

}  // namespace ostik::detail
