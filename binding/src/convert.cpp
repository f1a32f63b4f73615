#include "convert.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <string_view>
#include <utility>

#include "ref.hpp"
#include "util.hpp"

namespace ostik::py {

namespace {

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

// The pairs of a mapping, each held by a reference of our own: converting a
// value may run user code that changes the mapping. Most argument objects
// are small, and their pairs stay on the stack.
class HeldPairs {
public:
    HeldPairs() = default;
    HeldPairs(const HeldPairs&) = delete;
    HeldPairs& operator=(const HeldPairs&) = delete;
    ~HeldPairs() {
        for (std::size_t i = 0; i < size_; ++i) {
            Py_DECREF(at(i).first);
            Py_DECREF(at(i).second);
        }
    }

    void reserve(std::size_t n) {
        if (n > inline_pairs) heap_.reserve(n);
    }
    // Takes new references to both.
    void add(PyObject* key, PyObject* value) {
        if (size_ < inline_pairs && heap_.empty()) {
            inline_[size_] = {key, value};
        } else {
            if (heap_.empty()) heap_.assign(inline_, inline_ + size_);
            heap_.emplace_back(key, value);
        }
        Py_INCREF(key);
        Py_INCREF(value);
        ++size_;
    }
    std::size_t size() const { return size_; }
    const std::pair<PyObject*, PyObject*>& at(std::size_t i) const { return heap_.empty() ? inline_[i] : heap_[i]; }

private:
    static constexpr std::size_t inline_pairs = 8;
    std::pair<PyObject*, PyObject*> inline_[inline_pairs];
    std::vector<std::pair<PyObject*, PyObject*>> heap_;
    std::size_t size_ = 0;
};

// A few items of scratch space, on the stack unless there are many.
template <class T, std::size_t N>
class Scratch {
public:
    explicit Scratch(std::size_t n) {
        if (n > N) heap_.resize(n);
    }
    T& operator[](std::size_t i) { return heap_.empty() ? inline_[i] : heap_[i]; }
    T* begin() { return heap_.empty() ? inline_ : heap_.data(); }

private:
    T inline_[N];
    std::vector<T> heap_;
};

// The walk. Each step converts into a Value the caller has placed (null on
// entry), so nested values are built where they end up instead of being
// moved up level by level. A failure leaves its text in `error` and the
// partly built Value to be dropped by the caller.
class Converter {
public:
    bool value(PyObject* obj, int depth, Value& out);
    std::string error;

private:
    bool integer(PyObject* obj, Value& out);
    bool sequence(PyObject* obj, int depth, Value& out);
    bool mapping(PyObject* obj, int depth, Value& out);
    bool set(PyObject* obj, int depth, Value& out);

    bool fail(std::string text) {
        error = std::move(text);
        return false;
    }
    bool interpreter_error() { return fail(take_exception_text()); }
    bool unexpected_type(PyObject* obj, std::string_view want) { return fail(unexpected_type_text(obj, want)); }
    bool unsupported_type(PyObject* obj) { return fail("unsupported type " + type_name_or(obj, "unknown")); }
    bool out_of_range() { return fail("JSON number out of range"); }
    bool too_deep() { return fail("recursion limit exceeded"); }
};

bool Converter::integer(PyObject* obj, Value& out) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (v == -1 && PyErr_Occurred()) return interpreter_error();
    if (overflow == 0) {
        // Non-negative integers are always of the unsigned kind.
        if (v >= 0) out.data.emplace<std::uint64_t>(static_cast<std::uint64_t>(v));
        else out.data.emplace<std::int64_t>(v);
        return true;
    }
    if (overflow > 0) {
        const unsigned long long u = PyLong_AsUnsignedLongLong(obj);
        if (!(u == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
            out.data.emplace<std::uint64_t>(u);
            return true;
        }
        PyErr_Clear();
        if (fits_128(obj, false)) return out_of_range();
        PyErr_Clear();
    }
    // Negative below the signed 64-bit range, or at least 2**128: only the
    // signed 128-bit reading is left, and its failure is what gets reported.
    if (fits_128(obj, true)) return out_of_range();
    return interpreter_error();
}

bool Converter::value(PyObject* obj, int depth, Value& out) {
    if (obj == Py_None) return true;
    if (PyBool_Check(obj)) {
        out.data.emplace<bool>(obj == Py_True);
        return true;
    }
    if (PyLong_Check(obj)) return integer(obj, out);
    if (PyList_Check(obj) || PyTuple_Check(obj)) return sequence(obj, depth, out);
    if (PyDict_Check(obj)) return mapping(obj, depth, out);
    if (PyUnicode_Check(obj)) {
        Py_ssize_t n = 0;
        const char* p = PyUnicode_AsUTF8AndSize(obj, &n);
        if (!p) return interpreter_error();
        out.data.emplace<std::string>(p, static_cast<std::size_t>(n));
        return true;
    }
    if (PyBytes_Check(obj)) return fail("invalid type: byte array, expected any valid JSON value");
    if (PyByteArray_Check(obj)) return unexpected_type(obj, "PyBytes");
    if (PyFloat_Check(obj)) {
        const double d = PyFloat_AsDouble(obj);
        if (d == -1.0 && PyErr_Occurred()) return interpreter_error();
        if (std::isfinite(d)) out.data.emplace<double>(d);
        return true;
    }
    if (PyFrozenSet_Check(obj) || PySet_Check(obj)) return set(obj, depth, out);
    if (is_abstract_instance(obj, "Sequence", sequence_abc)) return sequence(obj, depth, out);
    if (is_abstract_instance(obj, "Mapping", mapping_abc)) return mapping(obj, depth, out);
    return unsupported_type(obj);
}

bool Converter::sequence(PyObject* obj, int depth, Value& out) {
    if (depth >= max_conversion_depth) return too_deep();
    const Py_ssize_t n = PySequence_Size(obj);
    if (n < 0) return interpreter_error();
    const Py_ssize_t again = PySequence_Size(obj);
    if (again < 0) return interpreter_error();
    if (again != n) {
        return fail("expected sequence of length " + std::to_string(n) + ", got " + std::to_string(again));
    }
    Array& items = out.data.emplace<Array>();
    // Only a built-in list or tuple is trusted to report its true length.
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) items.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        OwnedRef item = OwnedRef::steal(PySequence_GetItem(obj, i));
        if (!item) return interpreter_error();
        // The new element is the only part of `items` the walk below touches.
        if (!value(item.get(), depth + 1, items.emplace_back())) return false;
    }
    return true;
}

bool Converter::mapping(PyObject* obj, int depth, Value& out) {
    if (depth >= max_conversion_depth) return too_deep();
    HeldPairs pairs;
    if (PyDict_CheckExact(obj)) {
        // A plain dict's views hold exactly its items: read them directly.
        pairs.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(obj)));
        Py_ssize_t pos = 0;
        PyObject *key, *item;
        while (PyDict_Next(obj, &pos, &key, &item)) pairs.add(key, item);
    } else {
        OwnedRef keys = OwnedRef::steal(PyMapping_Keys(obj));
        if (!keys) return interpreter_error();
        OwnedRef values = OwnedRef::steal(PyMapping_Values(obj));
        if (!values) return interpreter_error();
        const Py_ssize_t n = PyMapping_Size(obj);
        if (n < 0) return interpreter_error();
        pairs.reserve(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* key = PyList_GetItem(keys.get(), i);
            if (!key) return interpreter_error();
            PyObject* item = PyList_GetItem(values.get(), i);
            if (!item) return interpreter_error();
            pairs.add(key, item);
        }
    }

    // Values are converted in the mapping's order, so that the first failure
    // met is the one reported. When every key is a str with a UTF-8 form (all
    // but broken input), each member is built in its sorted place directly and
    // nothing is moved afterwards; otherwise the failing key is met in turn.
    const std::size_t n = pairs.size();
    Scratch<std::string_view, 16> keys(n);
    bool all_text = true;
    for (std::size_t i = 0; i < n && all_text; ++i) {
        PyObject* key = pairs.at(i).first;
        Py_ssize_t len = 0;
        const char* text = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &len) : nullptr;
        if (!text) {
            PyErr_Clear();  // met again, and reported, by the walk below
            all_text = false;
        } else {
            keys[i] = std::string_view(text, static_cast<std::size_t>(len));
        }
    }

    std::vector<Member> members;
    if (all_text) {
        // The pairs in key order, equal keys in the mapping's order (only a
        // user mapping can repeat a key; the last one wins).
        Scratch<std::uint32_t, 16> order(n);
        std::iota(order.begin(), order.begin() + n, std::uint32_t{0});
        auto by_key = [&](std::uint32_t a, std::uint32_t b) { return keys[a] < keys[b]; };
        if (n <= 16) {
            // Most argument objects: no sort buffer.
            for (std::size_t i = 1; i < n; ++i) {
                const std::uint32_t moving = order[i];
                std::size_t j = i;
                for (; j > 0 && by_key(moving, order[j - 1]); --j) order[j] = order[j - 1];
                order[j] = moving;
            }
        } else {
            std::stable_sort(order.begin(), order.begin() + n, by_key);
        }
        Scratch<std::uint32_t, 16> place(n);
        for (std::size_t r = 0; r < n; ++r) place[order[r]] = static_cast<std::uint32_t>(r);
        members.resize(n);
        for (std::size_t i = 0; i < n; ++i) {
            Member& member = members[place[i]];
            member.key.assign(keys[i]);
            if (!value(pairs.at(i).second, depth + 1, member.value)) return false;
        }
    } else {
        members.reserve(n);
        for (std::size_t i = 0; i < n; ++i) {
            const auto [key, item] = pairs.at(i);
            if (!PyUnicode_Check(key)) return unexpected_type(key, "PyString");
            Py_ssize_t len = 0;
            const char* text = PyUnicode_AsUTF8AndSize(key, &len);
            if (!text) return interpreter_error();
            Member& member = members.emplace_back();
            member.key.assign(text, static_cast<std::size_t>(len));
            if (!value(item, depth + 1, member.value)) return false;
        }
    }
    // Sorted members pass through with one comparison each.
    out.data.emplace<Object>(Object::from_members(std::move(members)));
    return true;
}

bool Converter::set(PyObject* obj, int depth, Value& out) {
    if (depth >= max_conversion_depth) return too_deep();
    OwnedRef it = OwnedRef::steal(PyObject_GetIter(obj));
    if (!it) return interpreter_error();
    Array& items = out.data.emplace<Array>();
    while (OwnedRef item = OwnedRef::steal(PyIter_Next(it.get()))) {
        if (!value(item.get(), depth + 1, items.emplace_back())) return false;
    }
    if (PyErr_Occurred()) return interpreter_error();
    return true;
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

std::expected<Value, std::string> to_value(PyObject* obj) {
    Converter converter;
    Value v;
    if (!converter.value(obj, 0, v)) return std::unexpected(std::move(converter.error));
    return v;
}

}  // namespace ostik::py
