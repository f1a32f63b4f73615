#include "convert.hpp"

#include <cmath>
#include <cstdint>
#include <string_view>
#include <type_traits>
#include <utility>

#include "ref.hpp"
#include "util.hpp"

namespace ostik::py {

namespace {

using Result = std::expected<Value, std::string>;
using Failure = std::unexpected<std::string>;

Failure interpreter_error() { return Failure(take_exception_text()); }

Failure message(std::string text) { return Failure(std::move(text)); }

// The qualified name of the object's type as UTF-8, or `fallback` when it
// cannot be read (the lookup error is dropped: the caller reports its own).
std::string type_name_or(PyObject* obj, std::string_view fallback) {
    OwnedRef name = type_qualname(obj);
    Py_ssize_t n = 0;
    const char* p = name ? PyUnicode_AsUTF8AndSize(name.get(), &n) : nullptr;
    if (!p) {
        PyErr_Clear();
        return std::string(fallback);
    }
    return std::string(p, static_cast<std::size_t>(n));
}

Failure unexpected_type(PyObject* obj, std::string_view want) { return Failure(unexpected_type_text(obj, want)); }

Failure unsupported_type(PyObject* obj) { return Failure("unsupported type " + type_name_or(obj, "unknown")); }

Failure out_of_range() { return message("JSON number out of range"); }

// The low 16 bytes of the integer; fails (with the interpreter's own
// OverflowError) when it does not fit 128 bits of the given signedness.
bool fits_128(PyObject* obj, bool is_signed) {
    unsigned char bytes[16];
#if PY_VERSION_HEX >= 0x030D0000
    return _PyLong_AsByteArray(reinterpret_cast<PyLongObject*>(obj), bytes, sizeof bytes, 1, is_signed, 1) == 0;
#else
    return _PyLong_AsByteArray(reinterpret_cast<PyLongObject*>(obj), bytes, sizeof bytes, 1, is_signed) == 0;
#endif
}

Result convert_int(PyObject* obj) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (v == -1 && PyErr_Occurred()) return interpreter_error();
    if (overflow == 0) return Value(static_cast<std::int64_t>(v));
    if (overflow > 0) {
        const unsigned long long u = PyLong_AsUnsignedLongLong(obj);
        if (!(u == static_cast<unsigned long long>(-1) && PyErr_Occurred())) return Value(std::uint64_t{u});
        PyErr_Clear();
        if (fits_128(obj, false)) return out_of_range();
        PyErr_Clear();
    }
    // Negative below the signed 64-bit range, or at least 2**128: only the
    // signed 128-bit reading is left, and its failure is what gets reported.
    if (fits_128(obj, true)) return out_of_range();
    return interpreter_error();
}

Result convert_str(PyObject* obj) {
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(obj, &n);
    if (!p) return interpreter_error();
    return Value(std::string(p, static_cast<std::size_t>(n)));
}

// collections.abc.Sequence / Mapping, imported on first need and kept for the
// life of the process. A failed import is retried on the next conversion.
PyObject* abstract_class(const char* name, PyObject*& cache) {
    if (cache) return cache;
    OwnedRef module = OwnedRef::steal(PyImport_ImportModule("collections.abc"));
    if (!module) return nullptr;
    OwnedRef cls = OwnedRef::steal(PyObject_GetAttrString(module.get(), name));
    if (!cls) return nullptr;
    // The import may have let another thread run and fill the cache meanwhile.
    if (!cache) cache = cls.release();
    return cache;
}

// An instance check that cannot fail: an error in it (a broken __class__, a
// failing import) goes to the unraisable hook and counts as "not an instance",
// so the object ends as an unsupported type rather than as that error.
bool is_abstract_instance(PyObject* obj, const char* name, PyObject*& cache) {
    PyObject* cls = abstract_class(name, cache);
    const int r = cls ? PyObject_IsInstance(obj, cls) : -1;
    if (r < 0) {
        PyErr_WriteUnraisable(obj);
        return false;
    }
    return r == 1;
}

PyObject* sequence_abc = nullptr;
PyObject* mapping_abc = nullptr;

// What a walk yields: the Value, or nothing when the object is only checked.
// Both walks take the same branches in the same order, so they fail alike.
struct Checked {};

template <class Out>
class Converter {
public:
    using Result = std::expected<Out, std::string>;
    static constexpr bool building = std::is_same_v<Out, Value>;

    Result value(PyObject* obj, int depth);

private:
    Result sequence(PyObject* obj, int depth);
    Result mapping(PyObject* obj, int depth);
    Result set(PyObject* obj, int depth);

    static Result made(Value v) {
        if constexpr (building) return v;
        else return Checked{};
    }
    static Result from(std::expected<Value, std::string> r) {
        if (!r) return Failure(std::move(r.error()));
        return made(std::move(*r));
    }
};

Failure too_deep() { return message("recursion limit exceeded"); }

template <class Out>
auto Converter<Out>::value(PyObject* obj, int depth) -> Result {
    if (obj == Py_None) return made(Value(nullptr));
    if (PyBool_Check(obj)) return made(Value(obj == Py_True));
    if (PyLong_Check(obj)) return from(convert_int(obj));
    if (PyList_Check(obj) || PyTuple_Check(obj)) return sequence(obj, depth);
    if (PyDict_Check(obj)) return mapping(obj, depth);
    if (PyUnicode_Check(obj)) {
        if constexpr (building) {
            return convert_str(obj);
        } else {
            // The UTF-8 form is looked for all the same: a lone surrogate fails.
            Py_ssize_t n = 0;
            if (!PyUnicode_AsUTF8AndSize(obj, &n)) return interpreter_error();
            return Checked{};
        }
    }
    if (PyBytes_Check(obj)) return message("invalid type: byte array, expected any valid JSON value");
    if (PyByteArray_Check(obj)) return unexpected_type(obj, "PyBytes");
    if (PyFloat_Check(obj)) {
        const double d = PyFloat_AsDouble(obj);
        if (d == -1.0 && PyErr_Occurred()) return interpreter_error();
        if (!std::isfinite(d)) return made(Value(nullptr));
        return made(Value(d));
    }
    if (PyFrozenSet_Check(obj) || PySet_Check(obj)) return set(obj, depth);
    if (is_abstract_instance(obj, "Sequence", sequence_abc)) return sequence(obj, depth);
    if (is_abstract_instance(obj, "Mapping", mapping_abc)) return mapping(obj, depth);
    return unsupported_type(obj);
}

template <class Out>
auto Converter<Out>::sequence(PyObject* obj, int depth) -> Result {
    if (depth >= max_conversion_depth) return too_deep();
    const Py_ssize_t n = PySequence_Size(obj);
    if (n < 0) return interpreter_error();
    const Py_ssize_t again = PySequence_Size(obj);
    if (again < 0) return interpreter_error();
    if (again != n) {
        return message("expected sequence of length " + std::to_string(n) + ", got " + std::to_string(again));
    }
    Array items;
    // Only a built-in list or tuple is trusted to report its true length.
    if (building && (PyList_CheckExact(obj) || PyTuple_CheckExact(obj))) items.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        OwnedRef item = OwnedRef::steal(PySequence_GetItem(obj, i));
        if (!item) return interpreter_error();
        Result converted = value(item.get(), depth + 1);
        if (!converted) return converted;
        if constexpr (building) items.push_back(std::move(*converted));
    }
    return made(Value(std::move(items)));
}

// Objects whose checking runs no code of the caller's: it cannot change the
// container they are in.
bool is_plain_scalar(PyObject* obj) {
    return obj == Py_None || PyBool_Check(obj) || PyLong_CheckExact(obj) || PyFloat_CheckExact(obj) ||
           PyUnicode_CheckExact(obj);
}

template <class Out>
auto Converter<Out>::mapping(PyObject* obj, int depth) -> Result {
    if (depth >= max_conversion_depth) return too_deep();
    // The pairs are taken up front, each held by a reference of our own:
    // converting a value may run user code that changes the mapping.
    std::vector<std::pair<OwnedRef, OwnedRef>> pairs;
    if (PyDict_CheckExact(obj)) {
        // A plain dict's views hold exactly its items: read them directly.
        Py_ssize_t pos = 0;
        PyObject *key, *item;
        if constexpr (!building) {
            // Checking plain scalars runs no user code, so while the values
            // are such, the dict is walked in place; the pairs from the first
            // other value on are taken as below.
            Py_ssize_t at = 0;
            while (true) {
                at = pos;
                if (!PyDict_Next(obj, &pos, &key, &item)) return Checked{};
                if (!is_plain_scalar(item)) break;
                if (!PyUnicode_Check(key)) return unexpected_type(key, "PyString");
                Py_ssize_t len = 0;
                if (!PyUnicode_AsUTF8AndSize(key, &len)) return interpreter_error();
                Result checked = value(item, depth + 1);
                if (!checked) return checked;
            }
            pos = at;
        }
        pairs.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(obj)));
        while (PyDict_Next(obj, &pos, &key, &item)) pairs.emplace_back(OwnedRef::borrow(key), OwnedRef::borrow(item));
    } else {
        OwnedRef keys = OwnedRef::steal(PyMapping_Keys(obj));
        if (!keys) return interpreter_error();
        OwnedRef values = OwnedRef::steal(PyMapping_Values(obj));
        if (!values) return interpreter_error();
        const Py_ssize_t n = PyMapping_Size(obj);
        if (n < 0) return interpreter_error();
        for (Py_ssize_t i = 0; i < n; ++i) {
            OwnedRef key = OwnedRef::borrow(PyList_GetItem(keys.get(), i));
            if (!key) return interpreter_error();
            OwnedRef item = OwnedRef::borrow(PyList_GetItem(values.get(), i));
            if (!item) return interpreter_error();
            pairs.emplace_back(std::move(key), std::move(item));
        }
    }

    std::vector<Member> members;
    if constexpr (building) members.reserve(pairs.size());
    for (auto& [key, item] : pairs) {
        if (!PyUnicode_Check(key.get())) return unexpected_type(key.get(), "PyString");
        Py_ssize_t len = 0;
        const char* text = PyUnicode_AsUTF8AndSize(key.get(), &len);
        if (!text) return interpreter_error();
        Result converted = value(item.get(), depth + 1);
        if (!converted) return converted;
        if constexpr (building) {
            members.push_back(Member{std::string(text, static_cast<std::size_t>(len)), std::move(*converted)});
        }
    }
    if constexpr (building) return Value(Object::from_members(std::move(members)));
    else return Checked{};
}

template <class Out>
auto Converter<Out>::set(PyObject* obj, int depth) -> Result {
    if (depth >= max_conversion_depth) return too_deep();
    OwnedRef it = OwnedRef::steal(PyObject_GetIter(obj));
    if (!it) return interpreter_error();
    Array items;
    while (OwnedRef item = OwnedRef::steal(PyIter_Next(it.get()))) {
        Result converted = value(item.get(), depth + 1);
        if (!converted) return converted;
        if constexpr (building) items.push_back(std::move(*converted));
    }
    if (PyErr_Occurred()) return interpreter_error();
    return made(Value(std::move(items)));
}

}  // namespace

std::string unexpected_type_text(PyObject* obj, std::string_view want) {
    std::string text = "unexpected type: '";
    text += type_name_or(obj, "unknown");
    text += "' object cannot be converted to '";
    text += want;
    text += '\'';
    return text;
}

bool is_abstract_mapping(PyObject* obj) { return is_abstract_instance(obj, "Mapping", mapping_abc); }

std::expected<Value, std::string> to_value(PyObject* obj) { return Converter<Value>{}.value(obj, 0); }

std::optional<std::string> check_value(PyObject* obj) {
    auto checked = Converter<Checked>{}.value(obj, 0);
    if (checked) return std::nullopt;
    return std::move(checked.error());
}

}  // namespace ostik::py
