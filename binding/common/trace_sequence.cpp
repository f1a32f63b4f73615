#include "trace_sequence.hpp"

#include <algorithm>

#include "args.hpp"

namespace ostik::py {

std::optional<std::vector<OwnedRef>> extract_sequence(PyObject* obj, const char* name) {
    if (PyUnicode_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "argument '%s': Can't extract `str` to `Vec`", name);
        return std::nullopt;
    }
    if (!PySequence_Check(obj)) {
        raise_cannot_convert(name, obj, "Sequence");
        return std::nullopt;
    }
    std::vector<OwnedRef> items;
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
        // Iterating a built-in list or tuple yields its items, and runs no
        // user code: they are taken directly.
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(obj);
        PyObject** all = PySequence_Fast_ITEMS(obj);
        items.reserve(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) items.push_back(OwnedRef::borrow(all[i]));
        return items;
    }
    const Py_ssize_t hint = PySequence_Size(obj);
    if (hint < 0) {
        PyErr_Clear();
    } else {
        // A user sequence may claim any length; it only sizes the first block.
        items.reserve(static_cast<std::size_t>(std::min<Py_ssize_t>(hint, 1 << 20)));
    }
    OwnedRef it = OwnedRef::steal(PyObject_GetIter(obj));
    if (!it) {
        prefix_argument_error(name);
        return std::nullopt;
    }
    while (OwnedRef item = OwnedRef::steal(PyIter_Next(it.get()))) items.push_back(std::move(item));
    if (PyErr_Occurred()) {
        prefix_argument_error(name);
        return std::nullopt;
    }
    return items;
}

}  // namespace ostik::py
