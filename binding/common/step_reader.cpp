#include "step_reader.hpp"

#include <algorithm>
#include <cmath>
#include <array>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>

#include "convert.hpp"
#include "ref.hpp"
#include "str_utf8.hpp"
#include "util.hpp"

namespace ostik::py {

namespace {

using Failure = std::unexpected<std::string>;

enum Field { tool, tool_name, args, params, field_count };

constexpr const char* field_names[field_count] = {"tool", "tool_name", "args", "params"};
// The keys of each field: the first, and the other (the same when it has one).
constexpr const char* key_names[field_count][2] = {
    {"tool", "name"}, {"tool_name", "tool_name"}, {"args", "args"}, {"params", "arguments"}};
constexpr const char* field_meanings[field_count] = {"the tool's name", "the tool's name", "the arguments",
                                                     "the arguments"};

// The field a key gives, and which of the field's two keys it is.
struct KeyField {
    Field field;
    int key;
};

std::optional<KeyField> field_of(std::string_view key) {
    switch (key.size()) {  // one comparison for most keys
        case 4:
            if (key == "tool") return KeyField{tool, 0};
            if (key == "name") return KeyField{tool, 1};
            if (key == "args") return KeyField{args, 0};
            break;
        case 6:
            if (key == "params") return KeyField{params, 0};
            break;
        case 9:
            if (key == "tool_name") return KeyField{tool_name, 0};
            if (key == "arguments") return KeyField{params, 1};
            break;
        default: break;
    }
    return std::nullopt;
}

// The pairs of a step, gathered before any value is looked at: a matched
// field with its value, or the failure that ends the walk at that point.
// Reading the values afterwards, in the same order, keeps the first failure
// first while no user code runs during the walk itself.
struct Pair {
    Field field = tool;
    OwnedRef value;
};

struct Walk {
    Dialect dialect = Dialect::native;
    std::array<Pair, field_count> pairs;
    int count = 0;
    std::optional<std::string> failure;
    std::array<int, field_count> taken;  // by field: its entry in `pairs`, or -1
    std::array<const char*, field_count> key_of{};  // the key name each field was given by

    explicit Walk(Dialect d) : dialect(d) { taken.fill(-1); }

    // False once the walk must stop.
    bool add(PyObject* key, PyObject* value) {
        if (!PyUnicode_Check(key)) {
            failure = "dict keys must have type str";
            return false;
        }
        std::string_view name;
        if (PyUnicode_IS_ASCII(key)) {
            name = ascii_text(key);  // its own UTF-8, read in place
        } else {
            Py_ssize_t n = 0;
            const char* text = PyUnicode_AsUTF8AndSize(key, &n);
            if (!text) {
                failure = take_exception_text();
                return false;
            }
            name = std::string_view(text, static_cast<std::size_t>(n));
        }
        const auto found = field_of(name);
        if (!found) return true;
        const auto field = std::optional<Field>(found->field);
        const char* key_name = key_names[*field][found->key];
        if (taken[*field] >= 0) {
            if (dialect == Dialect::native) {
                failure = std::string("duplicate field `") + field_names[*field] + '`';
                return false;
            }
            // Here a null is no value: the other key gives the field.
            Pair& earlier = pairs[taken[*field]];
            if (value == Py_None) return true;
            if (earlier.value.get() != Py_None) {
                failure = clash(*field, key_of[*field], key_name);
                return false;
            }
            earlier.value = OwnedRef::borrow(value);
            key_of[*field] = key_name;
            return true;
        }
        taken[*field] = count;
        key_of[*field] = key_name;
        pairs[count++] = Pair{*field, OwnedRef::borrow(value)};
        return true;
    }

    static std::string clash(Field field, const char* first, const char* second) {
        std::string text = std::string("duplicate field `") + field_names[field] + "`: ";
        if (std::string_view(first) == second) {
            text += std::string("key \"") + first + "\" given twice";
        } else {
            text += std::string("both \"") + first + "\" and \"" + second + "\" give " + field_meanings[field];
        }
        return text + " (only one may, unless the other is null)";
    }
};

// Walks the step's pairs into `w`: nothing, or the failure that keeps the
// mapping from being read at all.
std::optional<std::string> walk(PyObject* step, Walk& w) {
    if (PyDict_CheckExact(step)) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(step, &pos, &key, &value)) {
            if (!w.add(key, value)) break;
        }
        return std::nullopt;
    }
    // Any other mapping (dict subclasses included) through its views.
    OwnedRef keys = OwnedRef::steal(PyMapping_Keys(step));
    if (!keys) return take_exception_text();
    OwnedRef values = OwnedRef::steal(PyMapping_Values(step));
    if (!values) return take_exception_text();
    const Py_ssize_t n = std::min(PyList_GET_SIZE(keys.get()), PyList_GET_SIZE(values.get()));
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!w.add(PyList_GET_ITEM(keys.get(), i), PyList_GET_ITEM(values.get(), i))) break;
    }
    return std::nullopt;
}

// "T" for the type of `obj`, as the interpreter's own messages name it.
std::string python_type_name(PyObject* obj) {
    const char* name = Py_TYPE(obj)->tp_name;
    const char* dot = std::strrchr(name, '.');
    return dot ? dot + 1 : name;
}

// What a step reader gives, into `out`: the call, with its arguments built,
// or only checked (and left absent); `unjudged` for arguments that could not
// be read (the engine's dialect only). Without `out`, `tool_object` receives
// the str that names the tool instead (null for "unknown"), with a reference
// of its own: a mapping may make its values anew each time it is asked. The
// failure, if any, is returned.
std::optional<std::string> read(PyObject* step, bool build_args, Dialect dialect, ReadStep* out,
                                OwnedRef* tool_object = nullptr) {
    const bool engine = dialect == Dialect::engine;
    if (!PyDict_Check(step) && !is_abstract_mapping(step)) {
        if (engine) return "a step must be a mapping, not " + python_type_name(step);
        return unexpected_type_text(step, "Mapping");
    }
    Walk walked(dialect);
    if (auto failure = walk(step, walked)) return failure;

    // tool, tool_name: UTF-8 held by the walk's references until the end
    std::optional<std::string_view> texts[2];
    PyObject* objects[2] = {nullptr, nullptr};
    std::optional<Value> values[2];  // args, params
    std::optional<UnjudgedArguments> unjudged;
    for (int i = 0; i < walked.count; ++i) {
        Pair& pair = walked.pairs[i];
        if (pair.value.get() == Py_None) continue;  // the field is given, as nothing
        if (pair.field == tool || pair.field == tool_name) {
            if (!PyUnicode_Check(pair.value.get())) {
                if (engine) {
                    return std::string("\"") + walked.key_of[pair.field] + "\" must be str, not " +
                           python_type_name(pair.value.get());
                }
                return unexpected_type_text(pair.value.get(), "PyString");
            }
            std::string_view text;
            if (PyUnicode_IS_ASCII(pair.value.get())) {
                text = ascii_text(pair.value.get());
            } else {
                Py_ssize_t n = 0;
                const char* utf8 = PyUnicode_AsUTF8AndSize(pair.value.get(), &n);
                if (!utf8) return take_exception_text();
                text = std::string_view(utf8, static_cast<std::size_t>(n));
            }
            texts[pair.field == tool ? 0 : 1] = text;
            objects[pair.field == tool ? 0 : 1] = pair.value.get();
            continue;
        }
        if (!engine) {
            if (build_args) {
                auto converted = to_value(pair.value.get());
                if (!converted) return std::move(converted.error());
                values[pair.field == args ? 0 : 1] = std::move(*converted);
            } else if (auto failure = check_value(pair.value.get())) {
                return std::move(*failure);
            }
            continue;
        }
        // The engine's: a number no Value holds leaves only this call
        // unjudged, and any failure names the argument it is in.
        std::optional<ConversionError> failure;
        if (build_args) {
            auto converted = to_value(pair.value.get(), Dialect::engine);
            if (converted) values[pair.field == args ? 0 : 1] = std::move(*converted);
            else failure = std::move(converted.error());
        } else {
            failure = check_value(pair.value.get(), Dialect::engine);
        }
        if (!failure) continue;
        if (failure->number_out_of_range) {
            // Without arguments wanted, such a number is nothing to judge.
            if (build_args && !unjudged) unjudged = unjudged_arguments(*failure);
            continue;
        }
        return argument_failure_text(*failure);
    }
    if (walked.failure) return std::move(walked.failure);

    if (!out) {
        // The caller reads the name from the str itself.
        *tool_object = OwnedRef::borrow(texts[0] ? objects[0] : objects[1]);
        return std::nullopt;
    }
    ToolCall& call = out->call;
    if (texts[0]) {
        call.tool = *texts[0];
    } else if (texts[1]) {
        call.tool = *texts[1];
    } else {
        call.tool = "unknown";
    }
    if (unjudged) {
        out->unjudged = std::move(unjudged);
    } else if (values[0]) {
        call.args = std::move(values[0]);
    } else {
        call.args = std::move(values[1]);
    }
    return std::nullopt;
}

}  // namespace

UnjudgedArguments unjudged_arguments(const ConversionError& failure) {
    UnjudgedArguments u;
    const std::string_view place = failure.place;
    // ".opts.limits[2]": the argument "opts", and the place below it.
    if (place.starts_with(".")) {
        const std::size_t end = place.find_first_of(".[", 1);
        u.argument = place.substr(1, end == std::string_view::npos ? place.size() - 1 : end - 1);
        if (end != std::string_view::npos) {
            // A place hundreds of levels deep is shown by its start.
            const std::string_view shown = place.substr(1);
            u.problem = "at " + (shown.size() <= 80 ? std::string(shown) : std::string(shown.substr(0, 77)) + "...") + ", ";
        }
    }
    u.problem += failure.text;
    return u;
}

std::string argument_failure_text(const ConversionError& failure) {
    const UnjudgedArguments where = unjudged_arguments(failure);
    return where.argument.empty() ? where.problem : "argument '" + where.argument + "': " + where.problem;
}

std::expected<ToolCall, std::string> read_step(PyObject* step) {
    ReadStep read_one;
    if (auto failure = read(step, true, Dialect::native, &read_one)) return Failure(std::move(*failure));
    return std::move(read_one.call);
}

std::expected<ReadStep, std::string> read_engine_step(PyObject* step) {
    ReadStep read_one;
    if (auto failure = read(step, true, Dialect::engine, &read_one)) return Failure(std::move(*failure));
    return read_one;
}

bool read_plain_step_tool(PyObject* step, PyObject*& tool) {
    if (!PyDict_CheckExact(step)) return false;
    // No code runs here, so the dict keeps its size in entries.
    const Py_ssize_t n = PyDict_GET_SIZE(step);
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    PyObject* names[2] = {nullptr, nullptr};  // tool, tool_name
    unsigned given = 0;  // a bit for each field met
    for (Py_ssize_t i = 0; i < n && PyDict_Next(step, &pos, &key, &value); ++i) {
        if (!PyUnicode_CheckExact(key) || !PyUnicode_IS_ASCII(key)) return false;
        const auto found = field_of(ascii_text(key));
        if (!found) continue;
        const unsigned bit = 1u << found->field;
        if (given & bit) return false;
        given |= bit;
        if (value == Py_None) continue;
        if (found->field == Field::tool || found->field == Field::tool_name) {
            if (!PyUnicode_CheckExact(value) || !PyUnicode_IS_ASCII(value)) return false;
            names[found->field == Field::tool ? 0 : 1] = value;
        } else if (!plainly_valid(value)) {
            return false;
        }
    }
    tool = names[0] ? names[0] : names[1];
    return true;
}

std::expected<OwnedRef, std::string> read_step_tool(PyObject* step, Dialect dialect) {
    if (PyObject* plain = nullptr; read_plain_step_tool(step, plain)) return OwnedRef::borrow(plain);
    OwnedRef tool;
    if (auto failure = read(step, false, dialect, nullptr, &tool)) return Failure(std::move(*failure));
    return tool;
}

std::expected<std::vector<ToolCall>, std::string> read_steps(std::span<const OwnedRef> steps) {
    std::vector<ToolCall> calls;
    calls.reserve(steps.size());
    for (const OwnedRef& step : steps) {
        auto call = read_step(step.get());
        if (!call) return Failure(std::move(call.error()));
        calls.push_back(std::move(*call));
    }
    return calls;
}

// A step's "ts" (seconds, as trace lines carry it), read only by a guard with
// windowed limits: a finite number, or nothing. False with the exception set
// when the mapping cannot be read.
bool read_step_time(PyObject* step, std::optional<double>& ts) {
    if (!PyMapping_Check(step)) return true;  // the step reader has refused it already
    OwnedRef key = OwnedRef::steal(PyUnicode_FromString("ts"));
    if (!key) return false;
    PyObject* value = nullptr;
    if (PyDict_Check(step)) {
        value = PyDict_GetItemWithError(step, key.get());
        if (!value) return !PyErr_Occurred();
        Py_INCREF(value);
    } else {
        value = PyObject_GetItem(step, key.get());
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_KeyError)) return false;
            PyErr_Clear();
            return true;
        }
    }
    OwnedRef owned = OwnedRef::steal(value);
    if (!value || PyBool_Check(value) || !(PyFloat_Check(value) || PyLong_Check(value))) return true;
    const double seconds = PyFloat_AsDouble(value);
    if (seconds == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();  // an integer past a double: no time
        return true;
    }
    if (std::isfinite(seconds)) ts = seconds;
    return true;
}

}  // namespace ostik::py
