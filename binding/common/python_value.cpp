#include "python_value.hpp"

#include "util.hpp"

namespace ostik::py {

OwnedRef from_value(const ostik::Value& v) {
    using namespace ostik;
    if (v.is_null()) return OwnedRef::borrow(Py_None);
    if (v.is<bool>()) return OwnedRef::borrow(v.as<bool>() ? Py_True : Py_False);
    if (v.is<std::uint64_t>()) return OwnedRef::steal(PyLong_FromUnsignedLongLong(v.as<std::uint64_t>()));
    if (v.is<std::int64_t>()) return OwnedRef::steal(PyLong_FromLongLong(v.as<std::int64_t>()));
    if (v.is<double>()) return OwnedRef::steal(PyFloat_FromDouble(v.as<double>()));
    if (v.is<std::string>()) return make_str(v.as<std::string>());
    if (v.is<Array>()) {
        const Array& a = v.as<Array>();
        OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(a.size())));
        if (!list) return list;
        for (std::size_t i = 0; i < a.size(); ++i) {
            OwnedRef item = from_value(a[i]);
            if (!item) return {};
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
        }
        return list;
    }
    OwnedRef dict = OwnedRef::steal(PyDict_New());
    if (!dict) return dict;
    for (const Member& m : v.as<Object>()) {
        OwnedRef k = make_str(m.key);
        OwnedRef item = from_value(m.value);
        if (!k || !item || PyDict_SetItem(dict.get(), k.get(), item.get()) < 0) return {};
    }
    return dict;
}

}  // namespace ostik::py
