// Reading trace steps from Python: one step mapping into a ToolCall, and a
// whole trace into its list of steps. Shared by TraceExplainer.explain and
// CoverageAnalyzer.analyze, which put their own prefix in front of the error
// text ("Invalid tool call format: ", "Invalid trace format: ").
//
// A step is a dict (or subclass) or any other collections.abc.Mapping. Its
// keys and values are walked pairwise in the mapping's own order; only these
// keys are read, every other key is skipped with its value unread:
//
//   field       keys                   value
//   tool        "tool", "name"         str, or None
//   tool_name   "tool_name"            str, or None
//   args        "args"                 any convertible object, or None
//   params      "params", "arguments"  any convertible object, or None
//
// The ToolCall's tool is `tool` if it holds a str, else `tool_name` if it
// does, else "unknown"; its args are `args` if it holds a value, else
// `params`. Failures, in the order the pairs are met:
//   not a mapping        "unexpected type: 'T' object cannot be converted to 'Mapping'"
//   a key not a str      "dict keys must have type str"
//   a field given twice  "duplicate field `tool`" (`tool_name`, `args`, `params`), by either key name
//   tool not a str       "unexpected type: 'T' object cannot be converted to 'PyString'"
//   args not convertible the conversion's own text (convert.hpp)
//   an interpreter error (key or value view, a str's UTF-8 text): "QualName: message"
#pragma once

#include <Python.h>

#include <expected>
#include <span>
#include <string>
#include <vector>

#include "ostik/explain.hpp"
#include "ref.hpp"

namespace ostik::py {

// Reads one step (borrowed). On failure returns the error text; no Python
// exception is left pending either way. May run user code (mapping views,
// argument conversion). Allocation failures surface as std::bad_alloc.
std::expected<ostik::ToolCall, std::string> read_step(PyObject* step);

// Reads only the tool of a step, with the same checks and failures as
// read_step (the arguments are checked but never built): the str that names
// it, whose UTF-8 form is known to exist, or null for a step that names none
// (the tool "unknown").
std::expected<OwnedRef, std::string> read_step_tool(PyObject* step);

// Reads the steps in order and stops at the first one that fails, returning
// its error text; the steps read before it are dropped.
std::expected<std::vector<ostik::ToolCall>, std::string> read_steps(std::span<const OwnedRef> steps);

}  // namespace ostik::py
