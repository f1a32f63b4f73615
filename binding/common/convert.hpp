// The one conversion of a Python object into a Value, used for tool arguments
// and recorded trace objects.
#pragma once

#include <Python.h>

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "ostik/value.hpp"

namespace ostik::py {

// Containers nested deeper than this fail with "recursion limit exceeded"
// instead of exhausting the C stack (a list that contains itself ends here too).
inline constexpr int max_conversion_depth = 512;

// Who reads: the four classes of ostik._native as they are specified, or
// ostik's own readers (the guard, the accumulators), which say more. They
// differ in numbers no Value holds as they are, and in the names of types:
//   native  NaN and the infinities become null, an integer outside 64 bits
//           fails ("JSON number out of range", or the interpreter's
//           OverflowError text past 128 bits); a key that is not a str fails
//           with "... cannot be converted to 'PyString'"
//   engine  non-finite floats stay the floats they are (judged as numbers
//           that are not finite, written as null); an integer outside 64 bits
//           fails, flagged, with "the integer N does not fit 64 bits"; types
//           are named in Python's words ('str')
enum class Dialect : std::uint8_t { native, engine };

// A failed conversion: its text, and where in the object it failed.
struct ConversionError {
    std::string text;
    std::string place;  // ".opts.limits[2]": the keys and indices to the failing item, empty at the top
    bool number_out_of_range = false;
};

std::expected<ostik::Value, ConversionError> to_value(PyObject* obj, Dialect dialect);

// ostik._engine.UnreadableArguments, once that module has made it: in the
// engine's dialect an instance fails as a number no Value holds does (flagged
// number_out_of_range, so that its call is left unjudged), with its problem
// as the text. The native dialect knows no such type.
void set_unreadable_arguments_type(PyTypeObject* type);
std::optional<ConversionError> check_value(PyObject* obj, Dialect dialect);

// "the integer 18446744073709551616 does not fit 64 bits" (`obj` an int).
std::string integer_beyond_64_bits(PyObject* obj);

// Converts `obj` (borrowed). On failure returns the conversion error text
// (callers put their own prefix in front of it); no Python exception is left
// pending either way. User code may run through the interpreter's protocols
// (length, item access, iteration, __index__ ...), and with it other threads.
// Allocation failures surface as std::bad_alloc, to be caught at the C API
// boundary like any other allocation of the caller.
std::expected<ostik::Value, std::string> to_value(PyObject* obj);

// Whether to_value(obj) would succeed, without building anything: the error
// text it would give, or nothing. For callers that only need the check.
std::optional<std::string> check_value(PyObject* obj);

// Whether `obj` is a plain dict of ASCII keys and scalars that every check
// passes in either dialect (ASCII text, small integers, floats, booleans,
// None): the arguments of most steps, known good without a converter and
// without running any code. False says nothing.
bool plainly_valid(PyObject* obj);

// Appends the JSON text of to_value(obj) to `out` without building the Value:
// the same text, or the same error (with `out` then holding a fragment that
// the caller drops).
std::optional<std::string> write_json(PyObject* obj, std::string& out);

// Whether `obj` is an instance of collections.abc.Mapping. A failing lookup
// or instance check goes to the unraisable hook and counts as "no".
bool is_abstract_mapping(PyObject* obj);

// "unexpected type: 'T' object cannot be converted to 'WANT'".
std::string unexpected_type_text(PyObject* obj, std::string_view want);

}  // namespace ostik::py
