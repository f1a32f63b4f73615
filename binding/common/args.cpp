#include "args.hpp"

#include <string>

#include "ref.hpp"
#include "util.hpp"

namespace ostik::py {

namespace {

std::string quoted_list(const Signature& sig, PyObject** out) {
    // "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the interpreter's own layout.
    std::string names[64];
    int n = 0;
    for (Py_ssize_t i = 0; i < sig.required && n < 64; ++i) {
        if (!out[i]) names[n++] = std::string("'") + sig.params[i] + "'";
    }
    std::string s;
    for (int i = 0; i < n; ++i) {
        if (i > 0) s += (n == 2) ? " and " : (i == n - 1 ? ", and " : ", ");
        s += names[i];
    }
    return s;
}

bool check_missing(const Signature& sig, PyObject** out) {
    Py_ssize_t missing = 0;
    for (Py_ssize_t i = 0; i < sig.required; ++i) missing += out[i] == nullptr;
    if (missing == 0) return true;
    PyErr_Format(PyExc_TypeError, "%s() missing %zd required positional argument%s: %s", sig.name, missing,
                 missing == 1 ? "" : "s", quoted_list(sig, out).c_str());
    return false;
}

Py_ssize_t max_positional(const Signature& sig) { return sig.positional < 0 ? sig.count : sig.positional; }

bool too_many_positional(const Signature& sig, Py_ssize_t nargs) {
    const char* was = nargs == 1 ? "was" : "were";
    const Py_ssize_t most = max_positional(sig);
    if (sig.required == most) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd %s given", sig.name, most,
                     most == 1 ? "" : "s", nargs, was);
    } else {
        PyErr_Format(PyExc_TypeError, "%s() takes from %zd to %zd positional arguments but %zd %s given", sig.name,
                     sig.required, most, nargs, was);
    }
    return false;
}

// Places one keyword argument; false with TypeError set when it does not fit.
bool place_keyword(const Signature& sig, PyObject* key, PyObject* value, PyObject** out) {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", sig.name);
        return false;
    }
    for (Py_ssize_t i = 0; i < sig.count; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, sig.params[i]) == 0) {
            if (out[i]) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.name, sig.params[i]);
                return false;
            }
            out[i] = value;
            return true;
        }
    }
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name, key);
    return false;
}

}  // namespace

bool parse_any_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    for (Py_ssize_t i = 0; i < sig.count; ++i) out[i] = nullptr;
    if (nargs > max_positional(sig)) return too_many_positional(sig, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            if (!place_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) return false;
        }
    }
    return check_missing(sig, out);
}

bool parse_args(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    for (Py_ssize_t i = 0; i < sig.count; ++i) out[i] = nullptr;
    if (nargs > max_positional(sig)) return too_many_positional(sig, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!place_keyword(sig, key, value, out)) return false;
        }
    }
    return check_missing(sig, out);
}

void prefix_argument_error(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    OwnedRef exc = OwnedRef::steal(PyErr_GetRaisedException());
    OwnedRef text = OwnedRef::steal(PyObject_Str(exc.get()));
    if (!text) {
        PyErr_Clear();
        PyErr_SetRaisedException(exc.release());
        return;
    }
    PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, text.get());
}

void raise_cannot_convert(const char* name, PyObject* obj, const char* want) {
    OwnedRef tname = type_qualname(obj);
    if (!tname) return;
    PyErr_Format(PyExc_TypeError, "argument '%s': '%U' object cannot be converted to '%s'", name, tname.get(), want);
}

std::optional<std::string_view> str_argument(PyObject* obj, const char* name, const char* want) {
    if (!PyUnicode_Check(obj)) {
        raise_cannot_convert(name, obj, want);
        return std::nullopt;
    }
    Py_ssize_t len = 0;
    const char* text = PyUnicode_AsUTF8AndSize(obj, &len);
    if (!text) return std::nullopt;
    return std::string_view(text, static_cast<std::size_t>(len));
}

}  // namespace ostik::py
