// How the accumulators that list traces (AuditAccumulator, DiffAccumulator)
// take a trace's reference from Python and give it back: an int (a
// position), a str (a label) or a (str, int) tuple (a file and a line).
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>

#include "ostik/audit_accumulator.hpp"

namespace ostik::py::engine {

// A non-negative int that fits in 64 bits (bool refused), or nothing with the
// exception set.
std::optional<std::uint64_t> count_argument(PyObject* obj, const char* name, const char* what);

// A trace reference (None: nothing, the accumulator numbers the trace), or
// false with the exception set.
bool ref_argument(PyObject* obj, const char* name, std::optional<TraceRef>& out);

// The reference as Python gave it: a new reference, or null with the exception set.
PyObject* ref_object(const TraceRef& ref);

}  // namespace ostik::py::engine
