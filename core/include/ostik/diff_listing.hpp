// The text `ostik diff` lists a changed trace with: its place and the change
// of its outcome, each change of its steps at the first step it happened with
// both decisions' reasons and the later steps that changed alike, then the
// end-of-trace checks that fail under one policy only.
//
// Written here, where the changed traces are, so that a file's listing costs
// one pass over its traces and no intermediate objects: a run may change most
// of a million traces. Names, reasons and places may hold anything; they are
// shown through `append_shown`, which writes every code point the caller's
// test does not take as visible as a \u escape (\U and eight digits past
// U+FFFF), so that no name can move the cursor or start a line of its own.
#pragma once

#include <string>
#include <string_view>

#include "ostik/diff_accumulator.hpp"

namespace ostik {

// Whether a code point is shown as itself (printable ASCII always is).
using ShownAsItself = bool (*)(char32_t);

// Appends `text` (UTF-8, where encoded surrogates stand for themselves) with
// each code point that is not shown as itself escaped; a byte that begins no
// code point is escaped as the code point of its value.
void append_shown(std::string& out, std::string_view text, ShownAsItself shown);

struct DiffListingStyle {
    // The name of the file the traces were read from, as shown for a trace
    // whose reference is not a (file, line) pair.
    std::string_view file;
    bool colour = false;  // ANSI colours for the outcome and the later steps
    ShownAsItself shown = nullptr;
};

// Appends the lines of one changed trace, each but the last followed by a line break.
void append_changed_trace(std::string& out, const DiffBasis& basis, const ChangedTrace& trace,
                          const DiffListingStyle& style);

}  // namespace ostik
