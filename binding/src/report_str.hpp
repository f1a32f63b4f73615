// Python str objects from the large UTF-8 texts the core writes (reports).
//
// The interpreter's own decoder guesses the string's width as it goes and
// widens (copies) when it meets the first non-Latin-1 character, which every
// report with a check mark has. Here one pass over the bytes finds the length
// and the width first, so the str is allocated once at its final size and
// filled in a second pass.
#pragma once

#include <Python.h>

#include <string_view>

#include "ref.hpp"

namespace ostik::py {

// `utf8` must be valid UTF-8 (the core writes only that). Null with
// MemoryError set when the str cannot be allocated.
OwnedRef str_from_utf8(std::string_view utf8);

}  // namespace ostik::py
