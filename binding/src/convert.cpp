#include "convert.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <new>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

#include "ostik/json_writer.hpp"
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

// An integer within the JSON range: non-negative ones are unsigned.
struct Integer {
    bool negative = false;
    std::uint64_t u = 0;
    std::int64_t i = 0;
};

std::expected<Integer, std::string> convert_int(PyObject* obj) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (v == -1 && PyErr_Occurred()) return interpreter_error();
    if (overflow == 0) {
        if (v < 0) return Integer{true, 0, static_cast<std::int64_t>(v)};
        return Integer{false, static_cast<std::uint64_t>(v), 0};
    }
    if (overflow > 0) {
        const unsigned long long u = PyLong_AsUnsignedLongLong(obj);
        if (!(u == static_cast<unsigned long long>(-1) && PyErr_Occurred())) return Integer{false, u, 0};
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
    return Value(std::string_view(p, static_cast<std::size_t>(n)));
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

// The three walks over an object: building its Value, only checking that it
// converts, or writing its JSON text directly. They take the same branches in
// the same order, so they fail alike, and the text is the one the Value's
// would be.
enum class Mode { build, check, write };

// What a walk yields: the Value, or nothing (the check; the text goes to the
// output).
struct Done {};

// Up to a few items in place, more on the heap: most dicts of a trace are small.
// The in-place items are constructed only as they come (a walk makes one
// list per dict, most of them small).
template <class T, std::size_t N>
class SmallList {
public:
    SmallList() = default;
    SmallList(const SmallList&) = delete;
    SmallList& operator=(const SmallList&) = delete;
    ~SmallList() {
        for (std::size_t i = 0; i < size_ && i < N; ++i) slot(i)->~T();
    }

    void push_back(T item) {
        if (size_ < N) new (slot(size_)) T(std::move(item));
        else more_.push_back(std::move(item));
        ++size_;
    }
    T& operator[](std::size_t i) { return i < N ? *slot(i) : more_[i - N]; }
    std::size_t size() const { return size_; }

private:
    T* slot(std::size_t i) { return std::launder(reinterpret_cast<T*>(storage_ + i * sizeof(T))); }

    alignas(T) unsigned char storage_[N * sizeof(T)];
    std::vector<T> more_;
    std::size_t size_ = 0;
};

using Pairs = SmallList<std::pair<OwnedRef, OwnedRef>, 12>;

// Objects whose checking runs no code of the caller's: it cannot change the
// container they are in.
bool is_plain_scalar(PyObject* obj) {
    return obj == Py_None || PyBool_Check(obj) || PyLong_CheckExact(obj) || PyFloat_CheckExact(obj) ||
           PyUnicode_CheckExact(obj);
}

// A member written in place, to be put in key order afterwards.
struct Written {
    std::string_view key;         // UTF-8, held alive by the pair's reference
    std::size_t start, end;       // its text in the output
};

// Puts the members written from `body` on (in the mapping's order, joined by
// commas) into key order, dropping all but the last of equal keys.
template <class List>
void reorder(List& written, std::size_t body, std::string& out) {
    const std::size_t n = written.size();
    std::array<std::size_t, 16> few;
    std::vector<std::size_t> many;
    std::size_t* order = few.data();
    if (n > few.size()) {
        many.resize(n);
        order = many.data();
    }
    for (std::size_t i = 0; i < n; ++i) order[i] = i;
    auto by_key = [&](std::size_t a, std::size_t b) { return written[a].key < written[b].key; };
    if (n <= few.size()) {
        // Members are few as a rule: a stable insertion sort, with no buffer.
        for (std::size_t i = 1; i < n; ++i) {
            for (std::size_t j = i; j > 0 && by_key(order[j], order[j - 1]); --j) std::swap(order[j], order[j - 1]);
        }
    } else {
        std::stable_sort(order, order + n, by_key);
    }
    // The members in order go after the text, which then moves into place.
    const std::size_t end = out.size();
    out.reserve(end + (end - body));
    bool first = true;
    for (std::size_t i = 0; i < n; ++i) {
        if (i + 1 < n && written[order[i + 1]].key == written[order[i]].key) continue;
        if (!first) out += ',';
        first = false;
        const Written& w = written[order[i]];
        out.append(out.data() + w.start, w.end - w.start);  // within the capacity reserved: no reallocation
    }
    out.erase(body, end - body);
}

template <Mode mode>
class Converter {
public:
    using Out = std::conditional_t<mode == Mode::build, Value, Done>;
    using Result = std::expected<Out, std::string>;

    Converter() = default;
    explicit Converter(std::string& out) : out_(&out) {}

    Result value(PyObject* obj, int depth);

private:
    Result sequence(PyObject* obj, int depth);
    Result mapping(PyObject* obj, int depth);
    Result set(PyObject* obj, int depth);
    Result members(Pairs& pairs, int depth);

    static Result made(Value v) {
        if constexpr (mode == Mode::build) return v;
        else return Done{};
    }
    // Scalars: their Value, their text, or nothing; no Value is made but to
    // be kept.
    Result null() {
        if constexpr (mode == Mode::write) *out_ += "null";
        if constexpr (mode == Mode::build) return Value(nullptr);
        else return Done{};
    }
    Result boolean(bool b) {
        if constexpr (mode == Mode::write) json::write_bool(*out_, b);
        if constexpr (mode == Mode::build) return Value(b);
        else return Done{};
    }
    Result number(double d) {
        if constexpr (mode == Mode::write) json::write_double(*out_, d);
        if constexpr (mode == Mode::build) return Value(d);
        else return Done{};
    }
    Result integer(PyObject* obj) {
        auto n = convert_int(obj);
        if (!n) return Failure(std::move(n.error()));
        if constexpr (mode == Mode::write) {
            if (n->negative) json::write_int(*out_, n->i);
            else json::write_uint(*out_, n->u);
        }
        if constexpr (mode == Mode::build) return n->negative ? Value(n->i) : Value(n->u);
        else return Done{};
    }
    void put(char c) {
        if constexpr (mode == Mode::write) *out_ += c;
    }

    std::string* out_ = nullptr;  // the write walk's output
};

Failure too_deep() { return message("recursion limit exceeded"); }

template <Mode mode>
auto Converter<mode>::value(PyObject* obj, int depth) -> Result {
    if (obj == Py_None) return null();
    if (PyBool_Check(obj)) return boolean(obj == Py_True);
    if (PyLong_Check(obj)) return integer(obj);
    if (PyList_Check(obj) || PyTuple_Check(obj)) return sequence(obj, depth);
    if (PyDict_Check(obj)) return mapping(obj, depth);
    if (PyUnicode_Check(obj)) {
        if constexpr (mode == Mode::build) {
            return convert_str(obj);
        } else {
            // The UTF-8 form is looked for all the same: a lone surrogate fails.
            Py_ssize_t n = 0;
            const char* p = PyUnicode_AsUTF8AndSize(obj, &n);
            if (!p) return interpreter_error();
            if constexpr (mode == Mode::write) json::write_string(*out_, std::string_view(p, static_cast<std::size_t>(n)));
            return Done{};
        }
    }
    if (PyBytes_Check(obj)) return message("invalid type: byte array, expected any valid JSON value");
    if (PyByteArray_Check(obj)) return unexpected_type(obj, "PyBytes");
    if (PyFloat_Check(obj)) {
        const double d = PyFloat_AsDouble(obj);
        if (d == -1.0 && PyErr_Occurred()) return interpreter_error();
        if (!std::isfinite(d)) return null();
        return number(d);
    }
    if (PyFrozenSet_Check(obj) || PySet_Check(obj)) return set(obj, depth);
    if (is_abstract_instance(obj, "Sequence", sequence_abc)) return sequence(obj, depth);
    if (is_abstract_instance(obj, "Mapping", mapping_abc)) return mapping(obj, depth);
    return unsupported_type(obj);
}

template <Mode mode>
auto Converter<mode>::sequence(PyObject* obj, int depth) -> Result {
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
    if (mode == Mode::build && (PyList_CheckExact(obj) || PyTuple_CheckExact(obj))) {
        items.reserve(static_cast<std::size_t>(n));
    }
    put('[');
    // A built-in list or tuple is read directly while it holds the item
    // (converting one may run user code that shortens it; the general call
    // then fails as it would).
    const bool direct = PyList_CheckExact(obj) || PyTuple_CheckExact(obj);
    for (Py_ssize_t i = 0; i < n; ++i) {
        OwnedRef item = direct && i < Py_SIZE(obj) ? OwnedRef::borrow(PySequence_Fast_ITEMS(obj)[i])
                                                   : OwnedRef::steal(PySequence_GetItem(obj, i));
        if (!item) return interpreter_error();
        if (i) put(',');
        Result converted = value(item.get(), depth + 1);
        if (!converted) return converted;
        if constexpr (mode == Mode::build) items.push_back(std::move(*converted));
    }
    put(']');
    if constexpr (mode == Mode::build) return Value(std::move(items));
    else return Done{};
}

template <Mode mode>
auto Converter<mode>::mapping(PyObject* obj, int depth) -> Result {
    if (depth >= max_conversion_depth) return too_deep();
    // The pairs are taken up front, each held by a reference of our own:
    // converting a value may run user code that changes the mapping.
    Pairs pairs;
    if (PyDict_CheckExact(obj)) {
        // A plain dict's views hold exactly its items: read them directly.
        Py_ssize_t pos = 0;
        PyObject *key, *item;
        if constexpr (mode == Mode::check) {
            // Checking plain scalars runs no user code, so while the values
            // are such, the dict is walked in place; the pairs from the first
            // other value on are taken as below.
            Py_ssize_t at = 0;
            while (true) {
                at = pos;
                if (!PyDict_Next(obj, &pos, &key, &item)) return Done{};
                if (!is_plain_scalar(item)) break;
                if (!PyUnicode_Check(key)) return unexpected_type(key, "PyString");
                Py_ssize_t len = 0;
                if (!PyUnicode_AsUTF8AndSize(key, &len)) return interpreter_error();
                Result checked = value(item, depth + 1);
                if (!checked) return checked;
            }
            pos = at;
        }
        while (PyDict_Next(obj, &pos, &key, &item)) pairs.push_back({OwnedRef::borrow(key), OwnedRef::borrow(item)});
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
            pairs.push_back({std::move(key), std::move(item)});
        }
    }
    return members(pairs, depth);
}

template <Mode mode>
auto Converter<mode>::members(Pairs& pairs, int depth) -> Result {
    std::vector<Member> built;
    if constexpr (mode == Mode::build) built.reserve(pairs.size());
    SmallList<Written, 12> written;
    put('{');
    const std::size_t body = out_ ? out_->size() : 0;
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        auto& [key, item] = pairs[i];
        if (!PyUnicode_Check(key.get())) return unexpected_type(key.get(), "PyString");
        Py_ssize_t len = 0;
        const char* text = PyUnicode_AsUTF8AndSize(key.get(), &len);
        if (!text) return interpreter_error();
        const std::string_view name(text, static_cast<std::size_t>(len));
        std::size_t start = 0;
        if constexpr (mode == Mode::write) {
            if (i) *out_ += ',';
            start = out_->size();
            json::write_string(*out_, name);
            *out_ += ':';
        }
        Result converted = value(item.get(), depth + 1);
        if (!converted) return converted;
        if constexpr (mode == Mode::build) built.push_back(Member{std::string(name), std::move(*converted)});
        if constexpr (mode == Mode::write) written.push_back(Written{name, start, out_->size()});
    }
    if constexpr (mode == Mode::build) {
        return Value(Object::from_members(std::move(built)));
    } else if constexpr (mode == Mode::write) {
        // Members go in ascending byte order of their keys; of equal keys
        // (a user mapping may repeat one) the last wins, as in a Value.
        bool ordered = true;
        for (std::size_t i = 1; i < written.size() && ordered; ++i) ordered = written[i - 1].key < written[i].key;
        if (!ordered) reorder(written, body, *out_);
        *out_ += '}';
        return Done{};
    } else {
        return Done{};
    }
}

template <Mode mode>
auto Converter<mode>::set(PyObject* obj, int depth) -> Result {
    if (depth >= max_conversion_depth) return too_deep();
    OwnedRef it = OwnedRef::steal(PyObject_GetIter(obj));
    if (!it) return interpreter_error();
    Array items;
    put('[');
    bool first = true;
    while (OwnedRef item = OwnedRef::steal(PyIter_Next(it.get()))) {
        if (!first) put(',');
        first = false;
        Result converted = value(item.get(), depth + 1);
        if (!converted) return converted;
        if constexpr (mode == Mode::build) items.push_back(std::move(*converted));
    }
    if (PyErr_Occurred()) return interpreter_error();
    put(']');
    if constexpr (mode == Mode::build) return Value(std::move(items));
    else return Done{};
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

std::expected<Value, std::string> to_value(PyObject* obj) { return Converter<Mode::build>{}.value(obj, 0); }

std::optional<std::string> check_value(PyObject* obj) {
    auto checked = Converter<Mode::check>{}.value(obj, 0);
    if (checked) return std::nullopt;
    return std::move(checked.error());
}

std::optional<std::string> write_json(PyObject* obj, std::string& out) {
    auto written = Converter<Mode::write>(out).value(obj, 0);
    if (written) return std::nullopt;
    return std::move(written.error());
}

}  // namespace ostik::py
