// Small helpers shared by the binding files.
#pragma once

#include <Python.h>

#include <iterator>
#include <string>
#include <string_view>

#include "ref.hpp"

namespace ostik::py {

// The qualified name of the object's type, as a str (null with an error set).
inline OwnedRef type_qualname(PyObject* obj) {
    return OwnedRef::steal(PyType_GetQualName(Py_TYPE(obj)));
}

inline void set_error(PyObject* type, std::string_view message) {
    OwnedRef text = OwnedRef::steal(PyUnicode_FromStringAndSize(message.data(), (Py_ssize_t)message.size()));
    if (text) PyErr_SetObject(type, text.get());
}

// A str made from UTF-8 text the core produced.
inline OwnedRef make_str(std::string_view s) {
    return OwnedRef::steal(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

// A list of str made from UTF-8 texts the core produced (anything a
// std::string_view is made from), or null with the exception set.
template <class Texts>
OwnedRef make_str_list(const Texts& texts) {
    OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(std::size(texts))));
    if (!list) return list;
    Py_ssize_t i = 0;
    for (const auto& text : texts) {
        OwnedRef item = make_str(std::string_view(text));
        if (!item) return OwnedRef();
        PyList_SET_ITEM(list.get(), i++, item.release());
    }
    return list;
}

// A class whose doc slot carries only its text signature would read as
// documented by an empty string; this makes it undocumented (None).
// An attribute name made once and kept (interned) for the process, or null
// with the exception set. A name made afresh for every lookup would be kept
// by the interpreter's attribute cache, one str per cache entry.
inline PyObject* interned_name(const char* text, PyObject*& cache) {
    if (!cache) cache = PyUnicode_InternFromString(text);
    return cache;
}

inline bool drop_class_doc(PyObject* type) {
    auto* tp = reinterpret_cast<PyTypeObject*>(type);
    if (PyDict_SetItemString(tp->tp_dict, "__doc__", Py_None) < 0) return false;
    PyType_Modified(tp);
    return true;
}

// Clears the pending exception and returns it as "QualName: message", or
// "QualName: <exception str() failed>" when str() itself fails.
std::string take_exception_text();

}  // namespace ostik::py
