#include "call_arguments.hpp"

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "../common/convert.hpp"
#include "../common/ref.hpp"
#include "../common/str_utf8.hpp"
#include "ostik/policy_encoding.hpp"

namespace ostik::py::engine {

namespace {

// The text of a str that is not ASCII, as the conversion makes it, in
// `scratch`; false (no exception left) when it has none.
[[gnu::noinline]] bool utf8_text(PyObject* str, std::string& scratch, std::string_view& text) {
    if (!str_utf8_into(scratch, str)) {
        PyErr_Clear();
        return false;
    }
    text = scratch;
    return true;
}

// The text a str converts to, as the conversion makes it; false (no
// exception left) when it has none.
inline bool str_text(PyObject* str, std::string& scratch, std::string_view& text) {
    if (PyUnicode_IS_ASCII(str)) [[likely]] {
        text = ascii_text(str);
        return true;
    }
    return utf8_text(str, scratch, text);
}

// A dict key's text, as the conversion reads keys.
bool key_text_of(PyObject* key, std::string_view& text) {
    if (key_text(key, text)) return true;
    PyErr_Clear();
    return false;
}

namespace fp = fingerprint;

// An integer past the compact ones, as the conversion reads it.
[[gnu::noinline]] bool big_integer(PyObject* obj, std::uint64_t& hash) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (v == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    if (overflow == 0) {
        hash = v < 0 ? fp::of_negative(v) : fp::of_uint(static_cast<std::uint64_t>(v));
        return true;
    }
    if (overflow < 0) return false;
    const unsigned long long big = PyLong_AsUnsignedLongLong(obj);
    if (big == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    hash = fp::of_uint(big);
    return true;
}

// The integer as the conversion reads it: a Value's uint when not negative.
inline bool integer(PyObject* obj, std::uint64_t& hash) {
    const auto* number = reinterpret_cast<PyLongObject*>(obj);
    if (!PyUnstable_Long_IsCompact(number)) [[unlikely]] return big_integer(obj, hash);
    const auto i = static_cast<std::int64_t>(PyUnstable_Long_CompactValue(number));
    hash = i < 0 ? fp::of_negative(i) : fp::of_uint(static_cast<std::uint64_t>(i));
    return true;
}

bool walk(PyObject* obj, int depth, std::uint64_t& hash, std::string& scratch);

// What reading a value gave: its fingerprint (a scalar), nothing (a value
// the conversion must read), or a container, for walk() to go into.
enum class Read { scalar, unread, container };

// A scalar's fingerprint. Inlined where values are read, so that the members
// of a flat dict (most calls' arguments) cost no call each.
[[gnu::always_inline]] inline Read scalar(PyObject* obj, std::uint64_t& hash, std::string& scratch) {
    PyTypeObject* const type = Py_TYPE(obj);
    if (type == &PyUnicode_Type) {
        std::string_view text;
        if (!str_text(obj, scratch, text)) return Read::unread;
        hash = fp::of_text(text);
        return Read::scalar;
    }
    if (type == &PyLong_Type) return integer(obj, hash) ? Read::scalar : Read::unread;
    if (type == &PyFloat_Type) {
        hash = fp::of_double(PyFloat_AS_DOUBLE(obj));
        return Read::scalar;
    }
    if (obj == Py_None) {
        hash = fp::of_null();
        return Read::scalar;
    }
    if (obj == Py_True || obj == Py_False) {
        hash = fp::of_bool(obj == Py_True);
        return Read::scalar;
    }
    if (type == &PyDict_Type || type == &PyList_Type || type == &PyTuple_Type) return Read::container;
    return Read::unread;
}

// The members of the walked dict that some names select (see
// plain_fingerprint): the names, a tuple of interned str ascending by their
// UTF-8, and the value the dict has for each, or null (borrowed: nothing runs
// code that could change the dict while it is walked).
struct Selection {
    PyObject* names = nullptr;
    PyObject** found = nullptr;
};

// Which of the selected names `key` (a str) is, or -1 for none. A key is
// mostly one of the names' own objects (a literal, an attribute name: they are
// interned as the names are), or else another interned str, which no name is.
Py_ssize_t selected(const Selection& select, PyObject* key, std::string_view text) {
    const Py_ssize_t wanted = PyTuple_GET_SIZE(select.names);
    for (Py_ssize_t i = 0; i < wanted; ++i) {
        if (PyTuple_GET_ITEM(select.names, i) == key) return i;
    }
    if (PyUnicode_CHECK_INTERNED(key)) return -1;
    for (Py_ssize_t i = 0; i < wanted; ++i) {
        PyObject* name = PyTuple_GET_ITEM(select.names, i);
        if (PyUnicode_GET_LENGTH(name) > static_cast<Py_ssize_t>(text.size())) continue;
        std::string_view name_text;
        if (key_text_of(name, name_text) && name_text == text) return i;
    }
    return -1;
}

bool dict(PyObject* obj, int depth, std::uint64_t& hash, std::string& scratch, const Selection* select = nullptr) {
    // The members as they lie: their hashes are summed, in no order.
    const Py_ssize_t n = PyDict_GET_SIZE(obj);
    std::uint64_t sum = 0;
    Py_ssize_t pos = 0;
    PyObject *key, *item;
    // Nothing here runs code that could change the dict: after its size in
    // entries there are none left, and the call that would say so is saved.
    Py_ssize_t i = 0;
    for (; i < n && PyDict_Next(obj, &pos, &key, &item); ++i) {
        if (!PyUnicode_CheckExact(key)) return false;
        std::string_view text;
        if (!key_text_of(key, text)) return false;
        std::uint64_t value = 0;
        switch (scalar(item, value, scratch)) {
            case Read::scalar: break;
            case Read::unread: return false;
            case Read::container:
                if (!walk(item, depth + 1, value, scratch)) return false;
                break;
        }
        sum += fp::of_member(text, value);
        if (select) {
            if (const Py_ssize_t k = selected(*select, key, text); k >= 0) select->found[k] = item;
        }
    }
    if (i != n) return false;
    hash = fp::of_object(static_cast<std::size_t>(n), sum);
    return true;
}

bool walk(PyObject* obj, int depth, std::uint64_t& hash, std::string& scratch) {
    switch (scalar(obj, hash, scratch)) {
        case Read::scalar: return true;
        case Read::unread: return false;
        case Read::container: break;
    }
    // As deep as the conversion goes, which fails past it.
    if (depth >= max_conversion_depth) return false;
    if (PyDict_CheckExact(obj)) return dict(obj, depth, hash, scratch);
    const Py_ssize_t n = Py_SIZE(obj);
    fp::Words w(detail::v_array);
    w.add(static_cast<std::uint64_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        std::uint64_t item = 0;
        if (!walk(PySequence_Fast_ITEMS(obj)[i], depth + 1, item, scratch)) return false;
        w.add(item);
    }
    hash = w.done();
    return true;
}

// The Value of a scalar of a built-in type whose conversion is plain (ASCII
// text, an integer within 30 bits, a float, a boolean, None), as the
// conversion makes it; nothing for anything else.
std::optional<Value> plain_scalar(PyObject* obj) {
    PyTypeObject* const type = Py_TYPE(obj);
    if (type == &PyUnicode_Type) {
        if (!PyUnicode_IS_ASCII(obj)) return std::nullopt;
        return Value(ascii_text(obj));
    }
    if (type == &PyLong_Type) {
        const auto* number = reinterpret_cast<PyLongObject*>(obj);
        if (!PyUnstable_Long_IsCompact(number)) return std::nullopt;
        const auto i = static_cast<std::int64_t>(PyUnstable_Long_CompactValue(number));
        return i < 0 ? Value(i) : Value(static_cast<std::uint64_t>(i));
    }
    if (type == &PyFloat_Type) return Value(PyFloat_AS_DOUBLE(obj));
    if (obj == Py_None) return Value();
    if (obj == Py_True || obj == Py_False) return Value(obj == Py_True);
    return std::nullopt;
}

// A selected member's Value, as the conversion makes it, set as the member
// at `at` of `members` (see Object::set_at); false when it fails.
bool member_value(PyObject* item, std::string_view key, Object& members, std::size_t at) {
    std::optional<Value> value = plain_scalar(item);
    if (!value) {
        auto converted = to_value(item, Dialect::engine);
        if (!converted) return false;
        value = std::move(*converted);
    }
    members.set_at(at, key, std::move(*value));
    return true;
}

}  // namespace

std::optional<std::uint64_t> plain_fingerprint(PyObject* obj) {
    std::uint64_t hash = 0;
    std::string scratch;
    if (!walk(obj, 0, hash, scratch)) return std::nullopt;
    return hash;
}

std::optional<std::uint64_t> plain_fingerprint(PyObject* dict_obj, PyObject* keys, Object& selected) {
    std::uint64_t hash = 0;
    std::string scratch;
    if (!PyDict_CheckExact(dict_obj)) return std::nullopt;
    // A tool's conditions read a few names; a tuple of more is walked with
    // room of its own.
    constexpr Py_ssize_t few = 8;
    const Py_ssize_t wanted = PyTuple_GET_SIZE(keys);
    PyObject* few_found[few] = {};
    std::vector<PyObject*> more;
    if (wanted > few) more.assign(static_cast<std::size_t>(wanted), nullptr);
    const Selection select{keys, wanted > few ? more.data() : few_found};
    if (!dict(dict_obj, 0, hash, scratch, &select)) return std::nullopt;
    // In the names' order, which is the members'.
    std::size_t set = 0;
    for (Py_ssize_t i = 0; i < wanted; ++i) {
        if (!select.found[i]) continue;
        std::string_view text;
        if (!key_text_of(PyTuple_GET_ITEM(keys, i), text) || !member_value(select.found[i], text, selected, set)) {
            return std::nullopt;
        }
        ++set;
    }
    selected.truncate(set);
    return hash;
}

bool selected_members(PyObject* dict, PyObject* keys, Object& selected) {
    std::size_t set = 0;
    const Py_ssize_t n = PyTuple_GET_SIZE(keys);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* key = PyTuple_GET_ITEM(keys, i);
        OwnedRef item = OwnedRef::borrow(PyDict_GetItemWithError(dict, key));
        if (!item) {
            if (PyErr_Occurred()) {
                PyErr_Clear();
                return false;
            }
            continue;
        }
        std::string_view text;
        if (!key_text_of(key, text)) return false;
        // In ascending order of their keys, as `keys` are.
        if (!member_value(item.get(), text, selected, set)) return false;
        ++set;
    }
    selected.truncate(set);
    return true;
}

Value spare_object(Value& spare) {
    if (spare.is<Object>()) return std::move(spare);
    Value v;
    v.emplace_object();
    return v;
}

void give_back(std::optional<Value>& args, Value& spare) {
    if (!args || !args->is<Object>()) return;
    spare = std::move(*args);
    args.reset();
}

}  // namespace ostik::py::engine
