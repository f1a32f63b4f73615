#include "convert.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "json_sink.hpp"
#include "ostik/json_writer.hpp"
#include "ref.hpp"
#include "sorted_dict.hpp"
#include "str_utf8.hpp"
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
// ostik._engine.UnreadableArguments (borrowed: the module keeps it alive).
PyTypeObject* unreadable_type = nullptr;

// ---- scratch space ----------------------------------------------------------

// Up to N items on the stack, more on the heap: most objects of a trace are
// small. The items on the stack are constructed only as they come.
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

// n trivially constructed items, on the stack unless there are many.
template <class T, std::size_t N>
class Scratch {
public:
    explicit Scratch(std::size_t n) {
        if (n > N) {
            heap_.resize(n);
            data_ = heap_.data();
        }
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    T* data() { return data_; }
    T& operator[](std::size_t i) { return data_[i]; }

private:
    T inline_[N];
    std::vector<T> heap_;
    T* data_ = inline_;
};

// Fills `order` (n items) with 0..n-1 sorted by `less` on the indices,
// equal ones in index order.
template <class Less>
void sort_indices(std::uint32_t* order, std::size_t n, Less less) {
    for (std::size_t i = 0; i < n; ++i) order[i] = static_cast<std::uint32_t>(i);
    if (n <= 16) {
        // Most objects: an insertion sort, with no buffer.
        for (std::size_t i = 1; i < n; ++i) {
            const std::uint32_t moving = order[i];
            std::size_t j = i;
            for (; j > 0 && less(moving, order[j - 1]); --j) order[j] = order[j - 1];
            order[j] = moving;
        }
    } else {
        std::stable_sort(order, order + n, less);
    }
}

using Pairs = SmallList<std::pair<OwnedRef, OwnedRef>, 12>;

// ---- members put in key order by the writing walk -------------------------

// A member written in the mapping's order, to be put in key order afterwards.
struct Written {
    std::string_view key;    // UTF-8, held alive by the pair's reference
    std::size_t start, end;  // its text in the output
};

// Puts the members written from `body` on (in the mapping's order, joined by
// commas) into key order, dropping all but the last of equal keys.
template <class List>
void reorder(List& written, std::size_t body, Sink& out) {
    const std::size_t n = written.size();
    Scratch<std::uint32_t, 16> order(n);
    sort_indices(order.data(), n, [&](std::uint32_t a, std::uint32_t b) { return key_before(written[a].key, written[b].key); });
    // The members in order go after the text, which then moves into place.
    const std::size_t end = out.offset();
    out.room(end - body);
    bool first = true;
    for (std::size_t i = 0; i < n; ++i) {
        if (i + 1 < n && written[order[i + 1]].key == written[order[i]].key) continue;
        if (!first) *out.p++ = ',';
        first = false;
        const Written& w = written[order[i]];
        std::memcpy(out.p, out.at(w.start), w.end - w.start);
        out.p += w.end - w.start;
    }
    const std::size_t moved = out.offset() - end;
    std::memmove(out.at(body), out.at(end), moved);
    out.rewind(body + moved);
}

// ---- the walk -----------------------------------------------------------------

// The three walks over an object: building its Value, only checking that it
// converts, or writing its JSON text directly. They take the same branches in
// the same order, so they fail alike, and the text is the one the Value's
// would be.
enum class Mode { build, check, write };

// What the check and write walks fill: nothing (the text goes to the output).
struct Done {};

// Objects whose checking runs no code of the caller's: it cannot change the
// container they are in.
bool is_plain_scalar(PyObject* obj) {
    return obj == Py_None || PyBool_Check(obj) || PyLong_CheckExact(obj) || PyFloat_CheckExact(obj) ||
           PyUnicode_CheckExact(obj);
}

// Each step converts into the target its caller placed (a null Value, for
// the build), so that nested values are made where they end up. A failure
// leaves its text in `error`.
//
// The write walk writes a plain dict's members in key order as it goes,
// which is possible only while nothing in the walk can run the caller's code
// (or fail): only then may the members be taken out of the mapping's order.
// Such a walk speculates from its outermost plain dict on; meeting anything
// else makes it fail, and that dict is walked again in the mapping's order,
// its members written first and put in order afterwards. Nothing has changed
// in between, since none of the caller's code ran.
template <Mode mode>
class Converter {
public:
    using Target = std::conditional_t<mode == Mode::build, Value, Done>;

    explicit Converter(Dialect dialect = Dialect::native) requires(mode != Mode::write) : dialect_(dialect) {}
    explicit Converter(std::string& out) requires(mode == Mode::write) : out_(out) {}

    bool value(PyObject* obj, int depth, Target& out);

    std::string error;
    // Where the failure is: the keys and indices from the outermost
    // container in, built (innermost first) as the walk unwinds.
    std::vector<std::string> trail;
    bool number_out_of_range = false;

private:
    [[gnu::noinline]] bool any_value(PyObject* obj, int depth, Target& out);
    bool integer(PyObject* obj, Target& out);
    bool text(PyObject* obj, Target& out);
    bool sequence(PyObject* obj, int depth, Target& out);
    bool mapping(PyObject* obj, int depth, Target& out);
    bool set(PyObject* obj, int depth, Target& out);
    bool members_in_order(Pairs& pairs, int depth, Target& out);
    bool members_in_place(Pairs& pairs, int depth, Target& out);
    bool check_dict_in_place(PyObject* obj, int depth, Pairs& rest, bool& done);
    bool sorted_dict(PyObject* obj, int depth);

    // Scalars: their Value, their text, or nothing.
    bool null(Target& out) {
        if constexpr (mode == Mode::write) out_.put("null", 4);
        if constexpr (mode == Mode::build) out = Value();
        return true;
    }
    bool boolean(bool b, Target& out) {
        if constexpr (mode == Mode::write) b ? out_.put("true", 4) : out_.put("false", 5);
        if constexpr (mode == Mode::build) out = Value(b);
        return true;
    }
    bool number(double d, Target& out) {
        if (!std::isfinite(d) && dialect_ == Dialect::native) return null(out);
        if constexpr (mode == Mode::write) {
            out_.room(json::max_number_text);
            out_.p = json::put_double(out_.p, d);
        }
        if constexpr (mode == Mode::build) out = Value(d);
        return true;
    }
    void put(char c) {
        if constexpr (mode == Mode::write) out_.put(c);
    }

    bool fail(std::string text) {
        error = std::move(text);
        return false;
    }
    bool interpreter_error() { return fail(take_exception_text()); }
    bool unexpected_type(PyObject* obj, std::string_view want) {
        if (dialect_ == Dialect::engine) want = want == "PyString" ? "str" : want == "PyBytes" ? "bytes" : want;
        return fail(unexpected_type_text(obj, want));
    }
    bool unsupported_type(PyObject* obj) { return fail("unsupported type " + type_name_or(obj, "unknown")); }
    bool out_of_range(PyObject* obj) {
        if (dialect_ == Dialect::native) return fail("JSON number out of range");
        number_out_of_range = true;
        return fail(integer_beyond_64_bits(obj));
    }
    // The failure is in the item under `key` (a str) or at `index`.
    bool failed_at_key(PyObject* key) {
        Py_ssize_t n = 0;
        const char* text = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &n) : nullptr;
        if (!text) PyErr_Clear();
        trail.push_back(text ? "." + std::string(text, static_cast<std::size_t>(n)) : ".?");
        return false;
    }
    bool failed_at_index(std::size_t index) {
        trail.push_back("[" + std::to_string(index) + "]");
        return false;
    }
    bool too_deep() { return fail("recursion limit exceeded"); }
    bool unreadable(PyObject* obj) {
        OwnedRef problem = OwnedRef::steal(PyObject_GetAttrString(obj, "problem"));
        if (!problem) return interpreter_error();
        Py_ssize_t n = 0;
        const char* text = PyUnicode_Check(problem.get()) ? PyUnicode_AsUTF8AndSize(problem.get(), &n) : nullptr;
        if (!text) return PyErr_Occurred() ? interpreter_error() : fail("the arguments could not be read");
        number_out_of_range = true;
        return fail(std::string(text, static_cast<std::size_t>(n)));
    }

    bool speculating() const { return speculating_ > 0; }
    // Something the speculating walk must not meet: its outermost dict is
    // walked again in order.
    bool not_speculative() {
        error.clear();
        return false;
    }

    Dialect dialect_ = Dialect::native;
    std::conditional_t<mode == Mode::write, Sink, Done> out_;
    bool may_speculate_ = mode == Mode::write;  // off after the first walk again
    int speculating_ = 0;
};

template <Mode mode>
bool Converter<mode>::integer(PyObject* obj, Target& out) {
    std::uint64_t u = 0;
    std::int64_t i = 0;
    bool negative = false;
    const auto* number = reinterpret_cast<PyLongObject*>(obj);
    if (PyUnstable_Long_IsCompact(number)) {
        // Within 30 bits: the common case, read directly.
        i = static_cast<std::int64_t>(PyUnstable_Long_CompactValue(number));
        negative = i < 0;
        u = static_cast<std::uint64_t>(i);
    } else {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
        if (v == -1 && PyErr_Occurred()) return interpreter_error();
        if (overflow == 0) {
            i = v;
            negative = v < 0;
            u = static_cast<std::uint64_t>(v);
        } else {
            bool fits = false;
            if (overflow > 0) {
                const unsigned long long big = PyLong_AsUnsignedLongLong(obj);
                if (!(big == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
                    u = big;
                    fits = true;
                } else {
                    PyErr_Clear();
                    if (fits_128(obj, false)) return out_of_range(obj);
                    PyErr_Clear();
                }
            }
            // Negative below the signed 64-bit range, or at least 2**128: only
            // the signed 128-bit reading is left, and its failure is what gets
            // reported.
            if (!fits) {
                if (dialect_ == Dialect::engine) {
                    PyErr_Clear();
                    return out_of_range(obj);
                }
                return fits_128(obj, true) ? out_of_range(obj) : interpreter_error();
            }
        }
    }
    if constexpr (mode == Mode::write) {
        out_.room(json::max_number_text);
        out_.p = negative ? json::put_int(out_.p, i) : json::put_uint(out_.p, u);
    }
    if constexpr (mode == Mode::build) out = negative ? Value(i) : Value(u);
    return true;
}

template <Mode mode>
bool Converter<mode>::text(PyObject* obj, Target& out) {
    if (PyUnicode_IS_ASCII(obj)) {
        if constexpr (mode == Mode::write) out_.string(ascii_text(obj));
        if constexpr (mode == Mode::build) out = Value(ascii_text(obj));
        return true;
    }
    if constexpr (mode == Mode::check) {
        return has_utf8_form(obj) || interpreter_error();
    } else if constexpr (mode == Mode::write) {
        out_.room(6 * static_cast<std::size_t>(PyUnicode_GET_LENGTH(obj)) + 2);
        char* start = out_.p;
        *start = '"';
        char* end = put_str_utf8<true>(start + 1, obj);
        if (!end) return interpreter_error();
        *end = '"';
        out_.p = end + 1;
        return true;
    } else {
        std::string utf8;
        if (!str_utf8_into(utf8, obj)) return interpreter_error();
        out = Value(std::string_view(utf8));
        return true;
    }
}

template <Mode mode>
bool Converter<mode>::value(PyObject* obj, int depth, Target& out) {
    // The built-in types themselves first: most of what comes here, and none
    // of them is any other branch's type.
    PyTypeObject* const type = Py_TYPE(obj);
    if (type == &PyUnicode_Type) return text(obj, out);
    if (type == &PyLong_Type) return integer(obj, out);
    if (type == &PyDict_Type) return mapping(obj, depth, out);
    if (type == &PyList_Type || type == &PyTuple_Type) return sequence(obj, depth, out);
    if (type == &PyFloat_Type) return number(PyFloat_AS_DOUBLE(obj), out);
    return any_value(obj, depth, out);
}

template <Mode mode>
bool Converter<mode>::any_value(PyObject* obj, int depth, Target& out) {
    if (obj == Py_None) return null(out);
    if (PyBool_Check(obj)) return boolean(obj == Py_True, out);
    // Then every branch in its order, subclasses included.
    if (PyLong_Check(obj)) return integer(obj, out);
    if (PyList_Check(obj) || PyTuple_Check(obj)) return sequence(obj, depth, out);
    if (PyDict_Check(obj)) return mapping(obj, depth, out);
    if (PyUnicode_Check(obj)) return text(obj, out);
    if (PyBytes_Check(obj)) return fail("invalid type: byte array, expected any valid JSON value");
    if (PyByteArray_Check(obj)) return unexpected_type(obj, "PyBytes");
    if (PyFloat_Check(obj)) {
        const double d = PyFloat_AsDouble(obj);
        if (d == -1.0 && PyErr_Occurred()) return interpreter_error();
        return number(d, out);
    }
    // From here on the caller's code may run (iteration, instance checks).
    if (speculating()) return not_speculative();
    if (PyFrozenSet_Check(obj) || PySet_Check(obj)) return set(obj, depth, out);
    if (is_abstract_instance(obj, "Sequence", sequence_abc)) return sequence(obj, depth, out);
    if (is_abstract_instance(obj, "Mapping", mapping_abc)) return mapping(obj, depth, out);
    if (dialect_ == Dialect::engine && unreadable_type && PyObject_TypeCheck(obj, unreadable_type)) return unreadable(obj);
    return unsupported_type(obj);
}

template <Mode mode>
bool Converter<mode>::sequence(PyObject* obj, int depth, Target& out) {
    if (depth >= max_conversion_depth) return too_deep();
    // Only a built-in list or tuple is trusted to report its true length, and
    // to hand out its items without running the caller's code.
    const bool direct = PyList_CheckExact(obj) || PyTuple_CheckExact(obj);
    if (!direct && speculating()) return not_speculative();
    Py_ssize_t n;
    if (direct) {
        n = Py_SIZE(obj);
    } else {
        n = PySequence_Size(obj);
        if (n < 0) return interpreter_error();
        const Py_ssize_t again = PySequence_Size(obj);
        if (again < 0) return interpreter_error();
        if (again != n) {
            return fail("expected sequence of length " + std::to_string(n) + ", got " + std::to_string(again));
        }
    }
    Array* items = nullptr;
    if constexpr (mode == Mode::build) {
        items = &out.emplace_array();
        if (direct) items->reserve(static_cast<std::size_t>(n));
    }
    put('[');
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (i) put(',');
        bool ok;
        if constexpr (mode == Mode::build) items->emplace_back();
        Target& slot = [&]() -> Target& {
            if constexpr (mode == Mode::build) return items->back();
            else return out;
        }();
        if (direct && speculating()) {
            // Nothing can change the list meanwhile: no reference is needed.
            ok = value(PySequence_Fast_ITEMS(obj)[i], depth + 1, slot);
        } else {
            // Converting an item may run code that shortens the list; the
            // general call then fails as it would.
            OwnedRef item = direct && i < Py_SIZE(obj) ? OwnedRef::borrow(PySequence_Fast_ITEMS(obj)[i])
                                                       : OwnedRef::steal(PySequence_GetItem(obj, i));
            if (!item) return interpreter_error();
            ok = value(item.get(), depth + 1, slot);
        }
        if (!ok) return failed_at_index(static_cast<std::size_t>(i));
    }
    put(']');
    return true;
}

template <Mode mode>
bool Converter<mode>::mapping(PyObject* obj, int depth, Target& out) {
    if (depth >= max_conversion_depth) return too_deep();
    const bool plain = PyDict_CheckExact(obj);
    if constexpr (mode == Mode::write) {
        if (plain && may_speculate_) {
            if (speculating()) return sorted_dict(obj, depth);
            const std::size_t start = out_.offset();
            if (sorted_dict(obj, depth)) return true;
            may_speculate_ = false;
            out_.rewind(start);
            trail.clear();
        } else if (speculating()) {
            return not_speculative();
        }
    }
    // The pairs are taken up front, each held by a reference of our own:
    // converting a value may run user code that changes the mapping.
    Pairs pairs;
    if (plain) {
        if constexpr (mode == Mode::check) {
            bool done = false;
            if (!check_dict_in_place(obj, depth, pairs, done)) return false;
            if (done) return true;
        } else {
            // A plain dict's views hold exactly its items: read them directly.
            Py_ssize_t pos = 0;
            PyObject *key, *item;
            while (PyDict_Next(obj, &pos, &key, &item)) {
                pairs.push_back({OwnedRef::borrow(key), OwnedRef::borrow(item)});
            }
        }
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
    if constexpr (mode == Mode::build) return members_in_place(pairs, depth, out);
    else return members_in_order(pairs, depth, out);
}

// The check walks a plain dict where it lies while its values are plain
// scalars, whose checking runs no user code; the pairs from the first other
// value on are taken into `rest`. `done` when none are left.
template <Mode mode>
bool Converter<mode>::check_dict_in_place(PyObject* obj, int depth, Pairs& rest, bool& done) {
    Py_ssize_t pos = 0;
    PyObject *key, *item;
    Py_ssize_t at = 0;
    while (true) {
        at = pos;
        if (!PyDict_Next(obj, &pos, &key, &item)) {
            done = true;
            return true;
        }
        if (!is_plain_scalar(item)) break;
        if (!PyUnicode_Check(key)) return unexpected_type(key, "PyString");
        if (!PyUnicode_IS_ASCII(key) && !has_utf8_form(key)) return interpreter_error();
        Target none;
        if (!value(item, depth + 1, none)) return failed_at_key(key);
    }
    pos = at;
    while (PyDict_Next(obj, &pos, &key, &item)) rest.push_back({OwnedRef::borrow(key), OwnedRef::borrow(item)});
    return true;
}

// The members in the mapping's order: checked, or written and then put in
// key order; for the build, when some key is not text.
template <Mode mode>
bool Converter<mode>::members_in_order(Pairs& pairs, int depth, Target& out) {
    std::vector<Member> built;
    if constexpr (mode == Mode::build) built.reserve(pairs.size());
    SmallList<Written, 12> written;
    put('{');
    std::size_t body = 0;
    if constexpr (mode == Mode::write) body = out_.offset();
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        PyObject* key = pairs[i].first.get();
        if (!PyUnicode_Check(key)) return unexpected_type(key, "PyString");
        std::string_view name;
        if constexpr (mode == Mode::check) {
            if (!PyUnicode_IS_ASCII(key) && !has_utf8_form(key)) return interpreter_error();
        } else if (!key_text(key, name)) {
            return interpreter_error();
        }
        if constexpr (mode == Mode::build) {
            Member& m = built.emplace_back();
            m.key.assign(name);
            if (!value(pairs[i].second.get(), depth + 1, m.value)) return failed_at_key(key);
        } else if constexpr (mode == Mode::write) {
            if (i) out_.put(',');
            const std::size_t start = out_.offset();
            out_.key(name, true);
            if (!value(pairs[i].second.get(), depth + 1, out)) return failed_at_key(key);
            written.push_back(Written{name, start, out_.offset()});
        } else {
            if (!value(pairs[i].second.get(), depth + 1, out)) return failed_at_key(key);
        }
    }
    if constexpr (mode == Mode::build) {
        out.emplace_object() = Object::from_members(std::move(built));
    } else if constexpr (mode == Mode::write) {
        // Members go in ascending byte order of their keys; of equal keys
        // (a user mapping may repeat one) the last wins, as in a Value.
        bool ordered = true;
        for (std::size_t i = 1; i < written.size() && ordered; ++i) ordered = key_before(written[i - 1].key, written[i].key);
        if (!ordered) reorder(written, body, out_);
        out_.put('}');
    }
    return true;
}

// The build: when every key is text (all but broken input), each member is
// built in its sorted place directly, values still converted in the
// mapping's order so that the first failure met is the one reported.
template <Mode mode>
bool Converter<mode>::members_in_place(Pairs& pairs, int depth, Target& out) {
    // Trivial, so that the keys on the stack cost nothing until used.
    struct Key {
        const char* data;
        std::size_t size;
        std::string_view text() const { return {data, size}; }
    };
    const std::size_t n = pairs.size();
    Scratch<Key, 16> keys(n);
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* key = pairs[i].first.get();
        std::string_view text;
        if (!PyUnicode_Check(key) || !key_text(key, text)) {
            PyErr_Clear();  // met again, and reported, in order
            return members_in_order(pairs, depth, out);
        }
        keys[i] = Key{text.data(), text.size()};
    }
    Scratch<std::uint32_t, 16> order(n);
    sort_indices(order.data(), n, [&](std::uint32_t a, std::uint32_t b) { return key_before(keys[a].text(), keys[b].text()); });
    Scratch<std::uint32_t, 16> place(n);
    for (std::size_t r = 0; r < n; ++r) place[order[r]] = static_cast<std::uint32_t>(r);
    std::vector<Member> members(n);
    for (std::size_t i = 0; i < n; ++i) {
        Member& member = members[place[i]];
        member.key.assign(keys[i].text());
        if (!value(pairs[i].second.get(), depth + 1, member.value)) return failed_at_key(pairs[i].first.get());
    }
    // Sorted members pass through with one comparison each.
    out.emplace_object() = Object::from_members(std::move(members));
    return true;
}

// The speculating write of a plain dict: members in key order as they are
// written. Its keys, all plain str, are distinct.
template <Mode mode>
bool Converter<mode>::sorted_dict(PyObject* obj, int depth) {
    SortedDictEntries entries;
    if (!entries.read(obj)) return not_speculative();
    const std::size_t n = entries.size();
    Done none;
    out_.put('{');
    ++speculating_;
    for (std::size_t r = 0; r < n; ++r) {
        out_.key(entries[r].text(), r == 0);
        if (!value(entries[r].value, depth + 1, none)) {
            --speculating_;
            return false;
        }
    }
    --speculating_;
    out_.put('}');
    return true;
}

template <Mode mode>
bool Converter<mode>::set(PyObject* obj, int depth, Target& out) {
    if (depth >= max_conversion_depth) return too_deep();
    OwnedRef it = OwnedRef::steal(PyObject_GetIter(obj));
    if (!it) return interpreter_error();
    Array* items = nullptr;
    if constexpr (mode == Mode::build) items = &out.emplace_array();
    put('[');
    std::size_t index = 0;
    while (OwnedRef item = OwnedRef::steal(PyIter_Next(it.get()))) {
        if (index) put(',');
        if constexpr (mode == Mode::build) {
            items->emplace_back();
            if (!value(item.get(), depth + 1, items->back())) return failed_at_index(index);
        } else if (!value(item.get(), depth + 1, out)) {
            return failed_at_index(index);
        }
        ++index;
    }
    if (PyErr_Occurred()) return interpreter_error();
    put(']');
    return true;
}

}  // namespace

std::string integer_beyond_64_bits(PyObject* obj) {
    // A text of thousands of digits says no more than its size, and the
    // interpreter refuses to make one past its digit limit anyway.
    const std::int64_t bits = PyLong_Check(obj) ? static_cast<std::int64_t>(_PyLong_NumBits(obj)) : -1;
    if (bits >= 0 && bits <= 256) {
        OwnedRef digits = OwnedRef::steal(PyObject_Str(obj));
        Py_ssize_t n = 0;
        const char* text = digits ? PyUnicode_AsUTF8AndSize(digits.get(), &n) : nullptr;
        if (text) return "the integer " + std::string(text, static_cast<std::size_t>(n)) + " does not fit 64 bits";
    }
    PyErr_Clear();
    return "an integer of " + std::to_string(bits) + " bits does not fit 64 bits";
}

std::string unexpected_type_text(PyObject* obj, std::string_view want) {
    std::string text = "unexpected type: '";
    text += type_name_or(obj, "unknown");
    text += "' object cannot be converted to '";
    text += want;
    text += '\'';
    return text;
}

void set_unreadable_arguments_type(PyTypeObject* type) { unreadable_type = type; }

bool is_abstract_mapping(PyObject* obj) { return is_abstract_instance(obj, "Mapping", mapping_abc); }

namespace {

template <Mode mode>
ConversionError located(Converter<mode>& converter) {
    ConversionError e;
    e.text = std::move(converter.error);
    e.number_out_of_range = converter.number_out_of_range;
    for (auto it = converter.trail.rbegin(); it != converter.trail.rend(); ++it) e.place += *it;
    return e;
}

}  // namespace

std::expected<Value, ConversionError> to_value(PyObject* obj, Dialect dialect) {
    Converter<Mode::build> converter(dialect);
    Value v;
    if (!converter.value(obj, 0, v)) return std::unexpected(located(converter));
    return v;
}

bool plainly_valid(PyObject* obj) {
    if (!PyDict_CheckExact(obj)) return false;
    // Nothing here runs code that could change the dict: after its size in
    // entries there are none left, and the call that would say so is saved.
    const Py_ssize_t n = PyDict_GET_SIZE(obj);
    Py_ssize_t pos = 0;
    PyObject *key, *item;
    for (Py_ssize_t i = 0; i < n && PyDict_Next(obj, &pos, &key, &item); ++i) {
        if (!PyUnicode_CheckExact(key) || !PyUnicode_IS_ASCII(key)) return false;
        PyTypeObject* const type = Py_TYPE(item);
        if (type == &PyUnicode_Type) {
            if (!PyUnicode_IS_ASCII(item)) return false;
        } else if (type == &PyLong_Type) {
            if (!PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(item))) return false;
        } else if (type != &PyFloat_Type && item != Py_None && item != Py_True && item != Py_False) {
            return false;
        }
    }
    return true;
}

std::optional<ConversionError> check_value(PyObject* obj, Dialect dialect) {
    if (plainly_valid(obj)) return std::nullopt;
    Converter<Mode::check> converter(dialect);
    Done none;
    if (converter.value(obj, 0, none)) return std::nullopt;
    return located(converter);
}

std::expected<Value, std::string> to_value(PyObject* obj) {
    Converter<Mode::build> converter;
    Value v;
    if (!converter.value(obj, 0, v)) return std::unexpected(std::move(converter.error));
    return v;
}

std::optional<std::string> check_value(PyObject* obj) {
    if (plainly_valid(obj)) return std::nullopt;
    Converter<Mode::check> converter;
    Done none;
    if (converter.value(obj, 0, none)) return std::nullopt;
    return std::move(converter.error);
}

std::optional<std::string> write_json(PyObject* obj, std::string& out) {
    Converter<Mode::write> converter(out);
    Done none;
    if (converter.value(obj, 0, none)) return std::nullopt;
    return std::move(converter.error);
}

}  // namespace ostik::py
