#include "trace_refs.hpp"

#include <string>
#include <utility>

#include "../common/ref.hpp"
#include "../common/args.hpp"
#include "../common/util.hpp"

namespace ostik::py::engine {

std::optional<std::uint64_t> count_argument(PyObject* obj, const char* name, const char* what) {
    if (!PyLong_Check(obj) || PyBool_Check(obj)) {
        raise_cannot_convert(name, obj, "int");
        return std::nullopt;
    }
    const unsigned long long n = PyLong_AsUnsignedLongLong(obj);
    if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        PyErr_Format(PyExc_ValueError, "argument '%s': %s must be between 0 and 2**64-1", name, what);
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(n);
}

namespace {

constexpr const char* ref_kinds = "None, an int, a str or a (str, int) tuple";

bool ref_text(PyObject* obj, std::string& out) {
    Py_ssize_t n = 0;
    const char* text = PyUnicode_AsUTF8AndSize(obj, &n);
    if (!text) return false;
    out.assign(text, static_cast<std::size_t>(n));
    return true;
}

}  // namespace

bool ref_argument(PyObject* obj, const char* name, std::optional<TraceRef>& out) {
    out.reset();
    if (obj == nullptr || obj == Py_None) return true;
    TraceRef ref;
    if (PyLong_Check(obj) && !PyBool_Check(obj)) {
        auto n = count_argument(obj, name, "a reference's number");
        if (!n) return false;
        ref.number = *n;
    } else if (PyUnicode_Check(obj)) {
        ref.shape = TraceRef::Shape::text;
        if (!ref_text(obj, ref.text)) return false;
    } else if (PyTuple_Check(obj) && PyTuple_GET_SIZE(obj) == 2 && PyUnicode_Check(PyTuple_GET_ITEM(obj, 0)) &&
               PyLong_Check(PyTuple_GET_ITEM(obj, 1)) && !PyBool_Check(PyTuple_GET_ITEM(obj, 1))) {
        ref.shape = TraceRef::Shape::text_number;
        if (!ref_text(PyTuple_GET_ITEM(obj, 0), ref.text)) return false;
        auto n = count_argument(PyTuple_GET_ITEM(obj, 1), name, "a reference's number");
        if (!n) return false;
        ref.number = *n;
    } else {
        OwnedRef tname = type_qualname(obj);
        if (tname) PyErr_Format(PyExc_TypeError, "argument '%s': expected %s, not '%U'", name, ref_kinds, tname.get());
        return false;
    }
    out = std::move(ref);
    return true;
}

PyObject* ref_object(const TraceRef& ref) {
    switch (ref.shape) {
        case TraceRef::Shape::number: return PyLong_FromUnsignedLongLong(ref.number);
        case TraceRef::Shape::text: return make_str(ref.text).release();
        case TraceRef::Shape::text_number: break;
    }
    OwnedRef text = make_str(ref.text);
    if (!text) return nullptr;
    return Py_BuildValue("(OK)", text.get(), static_cast<unsigned long long>(ref.number));
}

}  // namespace ostik::py::engine
