#include "step_reader.hpp"

#include <algorithm>
#include <array>
#include <optional>
#include <string_view>
#include <utility>

#include "convert.hpp"
#include "util.hpp"

namespace ostik::py {

namespace {

using Failure = std::unexpected<std::string>;

enum Field { tool, tool_name, args, params, field_count };

constexpr const char* field_names[field_count] = {"tool", "tool_name", "args", "params"};

std::optional<Field> field_of(std::string_view key) {
    if (key == "tool" || key == "name") return tool;
    if (key == "tool_name") return tool_name;
    if (key == "args") return args;
    if (key == "params" || key == "arguments") return params;
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
    std::array<Pair, field_count> pairs;
    int count = 0;
    std::optional<std::string> failure;
    std::array<bool, field_count> taken{};

    // False once the walk must stop.
    bool add(PyObject* key, PyObject* value) {
        if (!PyUnicode_Check(key)) {
            failure = "dict keys must have type str";
            return false;
        }
        Py_ssize_t n = 0;
        const char* text = PyUnicode_AsUTF8AndSize(key, &n);
        if (!text) {
            failure = take_exception_text();
            return false;
        }
        const auto field = field_of(std::string_view(text, static_cast<std::size_t>(n)));
        if (!field) return true;
        if (taken[*field]) {
            failure = std::string("duplicate field `") + field_names[*field] + '`';
            return false;
        }
        taken[*field] = true;
        pairs[count++] = Pair{*field, OwnedRef::borrow(value)};
        return true;
    }
};

std::expected<Walk, std::string> walk(PyObject* step) {
    Walk w;
    if (PyDict_CheckExact(step)) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(step, &pos, &key, &value)) {
            if (!w.add(key, value)) break;
        }
        return w;
    }
    // Any other mapping (dict subclasses included) through its views.
    OwnedRef keys = OwnedRef::steal(PyMapping_Keys(step));
    if (!keys) return Failure(take_exception_text());
    OwnedRef values = OwnedRef::steal(PyMapping_Values(step));
    if (!values) return Failure(take_exception_text());
    const Py_ssize_t n = std::min(PyList_GET_SIZE(keys.get()), PyList_GET_SIZE(values.get()));
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!w.add(PyList_GET_ITEM(keys.get(), i), PyList_GET_ITEM(values.get(), i))) break;
    }
    return w;
}

// The step, with its arguments built, or only checked (and left absent).
// `tool_object`, when given, receives the str that names the tool (null for
// "unknown"), held by the step.
std::expected<ToolCall, std::string> read(PyObject* step, bool build_args, PyObject** tool_object = nullptr) {
    if (!PyDict_Check(step) && !is_abstract_mapping(step)) return Failure(unexpected_type_text(step, "Mapping"));
    auto walked = walk(step);
    if (!walked) return Failure(std::move(walked.error()));

    // tool, tool_name: UTF-8 held by the walk's references until the end
    std::optional<std::string_view> texts[2];
    PyObject* objects[2] = {nullptr, nullptr};
    std::optional<Value> values[2];  // args, params
    for (int i = 0; i < walked->count; ++i) {
        Pair& pair = walked->pairs[i];
        if (pair.value.get() == Py_None) continue;  // the field is given, as nothing
        if (pair.field == tool || pair.field == tool_name) {
            if (!PyUnicode_Check(pair.value.get())) return Failure(unexpected_type_text(pair.value.get(), "PyString"));
            Py_ssize_t n = 0;
            const char* text = PyUnicode_AsUTF8AndSize(pair.value.get(), &n);
            if (!text) return Failure(take_exception_text());
            texts[pair.field == tool ? 0 : 1] = std::string_view(text, static_cast<std::size_t>(n));
            objects[pair.field == tool ? 0 : 1] = pair.value.get();
        } else if (build_args) {
            auto converted = to_value(pair.value.get());
            if (!converted) return Failure(std::move(converted.error()));
            values[pair.field == args ? 0 : 1] = std::move(*converted);
        } else if (auto failure = check_value(pair.value.get())) {
            return Failure(std::move(*failure));
        }
    }
    if (walked->failure) return Failure(std::move(*walked->failure));

    ToolCall call;
    if (tool_object) {
        // The caller reads the name from the str itself.
        *tool_object = texts[0] ? objects[0] : objects[1];
    } else if (texts[0]) {
        call.tool = *texts[0];
    } else if (texts[1]) {
        call.tool = *texts[1];
    } else {
        call.tool = "unknown";
    }
    if (values[0]) call.args = std::move(values[0]);
    else call.args = std::move(values[1]);
    return call;
}

}  // namespace

std::expected<ToolCall, std::string> read_step(PyObject* step) { return read(step, true); }

std::expected<OwnedRef, std::string> read_step_tool(PyObject* step) {
    PyObject* tool = nullptr;
    auto call = read(step, false, &tool);
    if (!call) return Failure(std::move(call.error()));
    return OwnedRef::borrow(tool);
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

}  // namespace ostik::py
