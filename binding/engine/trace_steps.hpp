// The steps of one or more traces as the accumulators take them: each step's
// tool name, viewed in the str that holds it, and, only when the policy has
// argument rules to count or judge, each step's arguments and which steps'
// arguments could not be read; only when it has flows, each step's result.
// Steps are read in the engine's dialect (step_reader.hpp): without
// arguments wanted, the arguments are checked and never built.
#pragma once

#include <Python.h>

#include <algorithm>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "../common/ref.hpp"
#include "../common/step_reader.hpp"
#include "../common/util.hpp"
#include "engine.hpp"
#include "ostik/value.hpp"

namespace ostik::py::engine {

class TraceSteps {
public:
    // `error_prefix` leads the ValueError of a step that cannot be read
    // ("Invalid trace format: ", "Invalid tool call format: ").
    // `with_times`: each step's "ts" is read too (for windowed limits);
    // `with_results`: each step's "result" (for flows), as Guard.judge reads it.
    TraceSteps(const char* error_prefix, bool with_arguments, bool with_times = false, bool with_results = false)
        : error_prefix_(error_prefix),
          with_arguments_(with_arguments),
          with_times_(with_times),
          with_results_(with_results) {}

    void reserve(std::size_t steps, std::size_t traces) {
        names_.reserve(steps);
        ends_.reserve(traces);
        if (with_arguments_) args_.reserve(steps);
        if (with_times_) times_.reserve(steps);
        if (with_results_) results_.reserve(steps);
    }

    // Reads one trace's steps. False with the ValueError set (or the error
    // of a mapping whose "ts" or "result" cannot be read).
    bool read(const std::vector<OwnedRef>& steps) {
        for (const OwnedRef& step : steps) {
            if (interrupted(names_.size())) return false;
            if (with_arguments_ ? !read_call(step.get()) : !read_name(step.get())) return false;
            if (with_times_ && !read_step_time(step.get(), times_.emplace_back())) return false;
            if (with_results_ && !read_step_result(step.get(), results_.emplace_back())) return false;
        }
        ends_.push_back(names_.size());
        return true;
    }

    // Where each trace's steps end, counted from the first step of all.
    std::span<const std::size_t> ends() const { return ends_; }
    // Each step's time, of all traces or of trace `trace`; empty without times wanted.
    std::span<const std::optional<double>> times() const { return times_; }
    std::span<const std::optional<double>> times(std::size_t trace) const {
        if (times_.empty()) return {};
        return std::span<const std::optional<double>>(times_).subspan(first(trace), ends_[trace] - first(trace));
    }

    std::size_t traces() const { return ends_.size(); }
    std::span<const std::string_view> names() const { return names_; }
    std::span<const std::string_view> names(std::size_t trace) const {
        return std::span<const std::string_view>(names_).subspan(first(trace), ends_[trace] - first(trace));
    }
    // The steps, of all traces or of trace `trace`, whose arguments could not
    // be read: their indices in ascending order, counted from the first step
    // of all traces or of that trace.
    std::vector<std::uint64_t> unjudged() const { return unjudged_; }
    std::vector<std::uint64_t> unjudged(std::size_t trace) const {
        std::vector<std::uint64_t> in_trace;
        for (std::uint64_t i : unjudged_) {
            if (i >= first(trace) && i < ends_[trace]) in_trace.push_back(i - first(trace));
        }
        return in_trace;
    }

    // Why the arguments of each of unjudged(trace) could not be read, in the same order.
    std::span<const UnjudgedArguments> unjudged_reasons(std::size_t trace) const {
        const auto begin = std::lower_bound(unjudged_.begin(), unjudged_.end(), first(trace));
        const auto end = std::lower_bound(begin, unjudged_.end(), ends_[trace]);
        return std::span<const UnjudgedArguments>(unjudged_why_)
            .subspan(static_cast<std::size_t>(begin - unjudged_.begin()), static_cast<std::size_t>(end - begin));
    }

    // Each step's result (none for a step without one), of all traces or of
    // trace `trace`; empty without results wanted.
    std::span<const std::optional<Value>> results() const { return results_; }
    std::span<const std::optional<Value>> results(std::size_t trace) const {
        if (results_.empty()) return {};
        return std::span<const std::optional<Value>>(results_).subspan(first(trace), ends_[trace] - first(trace));
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
        auto tool = read_step_tool(step, Dialect::engine);
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
        auto read = read_engine_step(step);
        if (!read) return fail(read.error());
        if (read->unjudged) {
            unjudged_.push_back(names_.size());
            unjudged_why_.push_back(std::move(*read->unjudged));
        }
        tools_.push_back(std::move(read->call.tool));
        names_.emplace_back(tools_.back());
        args_.push_back(std::move(read->call.args));
        return true;
    }

    bool fail(const std::string& text) {
        set_error(PyExc_ValueError, error_prefix_ + text);
        return false;
    }

    std::string error_prefix_;
    bool with_arguments_;
    bool with_times_;
    bool with_results_;
    std::vector<OwnedRef> held_;
    std::deque<std::string> tools_;  // the names viewed, when arguments are wanted (a deque never moves them)
    std::vector<std::string_view> names_;
    std::vector<std::optional<Value>> args_;
    std::vector<std::optional<double>> times_;
    std::vector<std::optional<Value>> results_;
    std::vector<std::size_t> ends_;
    std::vector<std::uint64_t> unjudged_;
    std::vector<UnjudgedArguments> unjudged_why_;
};

}  // namespace ostik::py::engine
