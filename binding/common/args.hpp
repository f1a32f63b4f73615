// The one argument parser of every method and constructor. Messages follow the
// interpreter's own wording, naming the callable as "Class.method()".
#pragma once

#include <Python.h>

#include <optional>
#include <string_view>

namespace ostik::py {

struct Signature {
    const char* name;                  // "TraceExplainer.explain"
    const char* const* params;         // parameter names, all positional-or-keyword
    Py_ssize_t count;                  // number of parameters
    Py_ssize_t required;               // the first `required` have no default
    Py_ssize_t positional = -1;        // how many may be given by position (-1: all); the rest are keyword-only
};

// parse_args() of any call (`nargs` without the vectorcall flag).
bool parse_any_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** out);

// Vectorcall form. Fills out[0..count) with borrowed references; parameters
// not given stay null. Returns false with a TypeError set on a bad call.
// Inline for the common call, every argument given by position, which
// needs no checks but the count.
inline bool parse_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                       PyObject** out) {
    nargs = PyVectorcall_NARGS(nargs);
    if (kwnames || nargs < sig.required || nargs > (sig.positional < 0 ? sig.count : sig.positional)) {
        return parse_any_args(sig, args, nargs, kwnames, out);
    }
    for (Py_ssize_t i = 0; i < sig.count; ++i) out[i] = i < nargs ? args[i] : nullptr;
    return true;
}

// tp_new form (argument tuple and keyword dict).
bool parse_args(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// Raises TypeError "argument 'NAME': " + the current exception's message when
// the pending exception is a TypeError; other exceptions pass unchanged.
void prefix_argument_error(const char* name);

// Sets TypeError "argument 'NAME': 'T' object cannot be converted to 'WANT'".
void raise_cannot_convert(const char* name, PyObject* obj, const char* want);

// The UTF-8 of the str argument NAME, which lives as long as `obj`. Nothing,
// with the error set, when `obj` is not a str (raise_cannot_convert's
// TypeError, naming `want`) or has no UTF-8 form.
std::optional<std::string_view> str_argument(PyObject* obj, const char* name, const char* want = "str");

}  // namespace ostik::py
