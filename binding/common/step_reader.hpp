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
//
// That is TraceExplainer's and CoverageAnalyzer's reading. ostik's own
// readers (Guard.judge, the accumulators) read in the engine's dialect, which
// differs where the above says less than it could:
//   - a null under one key of a field is no value: {"tool": None, "name": "rm"}
//     calls "rm"; two values clash with "duplicate field `tool`: both "tool"
//     and "name" give the tool's name (only one may, unless the other is null)"
//   - not a mapping        "a step must be a mapping, not T"
//   - tool not a str       "\"tool\" must be str, not T" (the key as given)
//   - arguments convert with their numbers as given (convert.hpp): NaN and
//     the infinities stay floats, and an integer outside 64 bits leaves the
//     call unjudged (ReadStep::unjudged) instead of failing; any other
//     failure names the argument ("argument opts.when: unsupported type
//     datetime")
#pragma once

#include <Python.h>

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "convert.hpp"
#include "ostik/argument_rules.hpp"
#include "ostik/explain.hpp"
#include "ref.hpp"

namespace ostik::py {

// Reads one step (borrowed). On failure returns the error text; no Python
// exception is left pending either way. May run user code (mapping views,
// argument conversion). Allocation failures surface as std::bad_alloc.
std::expected<ostik::ToolCall, std::string> read_step(PyObject* step);

struct ReadStep {
    ostik::ToolCall call;
    // Arguments that could not be read (call.args is then absent).
    std::optional<ostik::UnjudgedArguments> unjudged;
};

// Reads one step in the engine's dialect, its arguments built.
std::expected<ReadStep, std::string> read_engine_step(PyObject* step);

// A step's "ts" (seconds, as trace lines carry it), read only where windowed
// limits judge it: a finite number, or nothing. False with the exception set
// when the mapping cannot be read.
bool read_step_time(PyObject* step, std::optional<double>& ts);

// The unjudged arguments of a conversion that failed on a number: the
// argument its place starts with, and the problem ("at opts.limits[2], the
// integer ... does not fit 64 bits").
ostik::UnjudgedArguments unjudged_arguments(const ConversionError& failure);

// A failed conversion of arguments as the engine's messages give it:
// "argument 'when': unsupported type datetime", "argument 'opts': at
// opts.limits[2], ..." (the text alone when the arguments are not a mapping).
std::string argument_failure_text(const ConversionError& failure);

// Reads only the tool of a step, with the same checks and failures as
// read_step (the arguments are checked but never built): the str that names
// it, whose UTF-8 form is known to exist, or null for a step that names none
// (the tool "unknown").
std::expected<OwnedRef, std::string> read_step_tool(PyObject* step, Dialect dialect = Dialect::native);

// read_step_tool for the common step, without building anything: a plain
// dict whose keys are ASCII str objects, with no field given twice, whose
// tool names are ASCII str objects or None and whose arguments pass
// plainly_valid (convert.hpp). For such a step it returns true and sets
// `tool` to what read_step_tool would give (borrowed from the step), in
// either dialect; for any other it returns false and the full reading
// decides, failures included. Runs no code and raises nothing.
bool read_plain_step_tool(PyObject* step, PyObject*& tool);

// Reads the steps in order and stops at the first one that fails, returning
// its error text; the steps read before it are dropped.
std::expected<std::vector<ostik::ToolCall>, std::string> read_steps(std::span<const OwnedRef> steps);

}  // namespace ostik::py
