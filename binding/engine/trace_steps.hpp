// The steps of one or more traces as the accumulators take them: each step's
// tool name, viewed in the str that holds it, and, only when the policy has
// argument rules to count or judge, each step's arguments. Steps are read as
// TraceExplainer.explain and CoverageAnalyzer.analyze read them: without
// arguments wanted, the arguments are checked and never built.
#pragma once

#include <Python.h>

#include <deque>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "../common/ref.hpp"
#include "../common/step_reader.hpp"
#include "../common/util.hpp"
#include "ostik/value.hpp"

namespace ostik::py::engine {

class TraceSteps {
public:
    // `error_prefix` leads the ValueError of a step that cannot be read
    // ("Invalid trace format: ", "Invalid tool call format: ").
    TraceSteps(const char* error_prefix, bool with_arguments)
        : error_prefix_(error_prefix), with_arguments_(with_arguments) {}

    void reserve(std::size_t steps, std::size_t traces) {
        names_.reserve(steps);
        ends_.reserve(traces);
        if (with_arguments_) args_.reserve(steps);
    }

    // Reads one trace's steps. False with the ValueError set.
    bool read(const std::vector<OwnedRef>& steps) {
        for (const OwnedRef& step : steps) {
            if (with_arguments_ ? !read_call(step.get()) : !read_name(step.get())) return false;
        }
        ends_.push_back(names_.size());
        return true;
    }

    std::size_t traces() const { return ends_.size(); }
    std::span<const std::string_view> names() const { return names_; }
    std::span<const std::string_view> names(std::size_t trace) const {
        return std::span<const std::string_view>(names_).subspan(first(trace), ends_[trace] - first(trace));
    }
    // Empty without arguments wanted.
    std::span<const std::optional<Value>> arguments() const { return args_; }
    std::span<const std::optional<Value>> arguments(std::size_t trace) const {
        if (args_.empty()) return {};
        return std::span<const std::optional<Value>>(args_).subspan(first(trace), ends_[trace] - first(trace));
    }

private:
    std::size_t first(std::size_t trace) const { return trace ? ends_[trace - 1] : 0; }

    bool read_name(PyObject* step) {
        auto tool = read_step_tool(step);
        if (!tool) return fail(tool.error());
        if (!*tool) {
            names_.emplace_back("unknown");
            return true;
        }
        // Consecutive steps of one tool usually share its str object.
        if (held_.empty() || held_.back().get() != tool->get()) held_.push_back(std::move(*tool));
        Py_ssize_t n = 0;
        const char* text = PyUnicode_AsUTF8AndSize(held_.back().get(), &n);
        // Read already, so it cannot fail; but would not go unreported.
        if (!text) return fail(take_exception_text());
        names_.emplace_back(text, static_cast<std::size_t>(n));
        return true;
    }

    bool read_call(PyObject* step) {
        auto call = read_step(step);
        if (!call) return fail(call.error());
        tools_.push_back(std::move(call->tool));
        names_.emplace_back(tools_.back());
        args_.push_back(std::move(call->args));
        return true;
    }

    bool fail(const std::string& text) {
        set_error(PyExc_ValueError, error_prefix_ + text);
        return false;
    }

    std::string error_prefix_;
    bool with_arguments_;
    std::vector<OwnedRef> held_;
    std::deque<std::string> tools_;  // the names viewed, when arguments are wanted (a deque never moves them)
    std::vector<std::string_view> names_;
    std::vector<std::optional<Value>> args_;
    std::vector<std::size_t> ends_;
};

}  // namespace ostik::py::engine
