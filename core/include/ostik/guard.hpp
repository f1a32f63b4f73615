// The live guard: a policy's verdicts on an agent's tool calls one at a time,
// before each call runs.
//
//   Guard          built once from a policy (the explainer's plan, and the
//                  policy's argument rules made ready); never changes, so any
//                  number of sessions and threads share it
//   GuardSession   one agent run: the rule state of the calls judged so far,
//                  optionally a trace file they are appended to and the calls
//                  themselves
//   GuardDecision  the judgement of one call
//
// A session judges as TraceExplainer does, and also by the policy's argument
// rules (`tools.require_args`, `tools.arg_constraints`, see
// argument_rules.hpp), which the explainer leaves alone: the i-th decision of
// a session is step i of the explanation of the same calls, with the failed
// argument rules after the tool check. Its memory without kept calls is
// bounded by the policy and the number of distinct tool names, whatever the
// number of calls.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "ostik/argument_rules.hpp"
#include "ostik/explain.hpp"
#include "ostik/policy.hpp"
#include "ostik/trace_writer.hpp"

namespace ostik {

struct GuardDecision {
    Verdict verdict = Verdict::allowed;
    std::uint64_t step = 0;  // the call's index in the run
    std::string tool;        // the call's tool name
    // Every failed check of the step in report order: the tool check, then
    // the argument rules, then the sequence rules in policy order. The first
    // one blocked the step.
    // Empty for an allowed step.
    std::vector<RuleEvaluation> failures;

    bool allowed() const { return verdict == Verdict::allowed; }
    // The check that blocked the step (its rule id is the step's blocking
    // rule id), or null when the step is allowed.
    const RuleEvaluation* blocking() const { return failures.empty() ? nullptr : &failures.front(); }
    friend bool operator==(const GuardDecision&, const GuardDecision&) = default;
};

namespace detail {
class ArgumentPlan;
}  // namespace detail

class Guard {
public:
    // Fails when an argument constraint cannot be understood.
    static std::expected<Guard, ArgumentRuleError> create(Policy policy);
    ~Guard();
    Guard(Guard&&) noexcept;
    Guard& operator=(Guard&&) noexcept;

    const Policy& policy() const { return explainer_.policy(); }
    const TraceExplainer& explainer() const { return explainer_; }
    const detail::ArgumentPlan& arguments() const { return *arguments_; }

    // The argument rules in the order they are judged and listed.
    std::vector<ArgumentRuleInfo> argument_rules() const;

    // The explanation of `steps` as the guard judges them: the explainer's,
    // with the failed argument rules of each step after its tool check (and
    // so the verdicts, counters and blocking rules they make). Without
    // argument rules, byte for byte the explainer's.
    std::string explain_json(std::span<const ToolCall> steps) const;
    TraceExplanation explain(std::span<const ToolCall> steps) const;

private:
    Guard(TraceExplainer explainer, std::unique_ptr<const detail::ArgumentPlan> arguments);

    TraceExplainer explainer_;
    std::unique_ptr<const detail::ArgumentPlan> arguments_;
};

// Every operation takes the session's own lock, so a session may be used from
// several threads; it runs no caller code while holding it.
class GuardSession {
public:
    // `writer`, when given, receives one step line per checked call;
    // `keep_calls` keeps the calls for explain_json().
    GuardSession(std::shared_ptr<const Guard> guard, std::unique_ptr<TraceWriter> writer, bool keep_calls);
    ~GuardSession();
    GuardSession(const GuardSession&) = delete;
    GuardSession& operator=(const GuardSession&) = delete;

    // Judges the call as the next step and enters it, blocked or not. With a
    // trace file, the call's line is written first; if that fails the session
    // is left as it was and the error is returned.
    std::expected<GuardDecision, TraceWriter::AppendError> check(ToolCall call);

    // The judgement check() would give, leaving the session as it is.
    GuardDecision peek(const ToolCall& call) const;

    // The end-of-trace checks on the calls so far: a require rule whose tool
    // was never called (also when nothing was called at all), an after rule
    // whose trigger was not answered.
    std::vector<RuleEvaluation> finish() const;

    std::uint64_t steps() const;
    bool keeps_calls() const { return keep_calls_; }
    const Guard& guard() const { return *guard_; }

    // The explanation report of the calls so far, as Guard::explain_json()
    // gives it for them. Nothing when the session does not keep its calls.
    std::optional<std::string> explain_json() const;

private:
    const std::shared_ptr<const Guard> guard_;
    const std::unique_ptr<TraceWriter> writer_;
    const bool keep_calls_;

    mutable std::mutex mutex_;
    // Guarded by mutex_:
    std::unique_ptr<detail::TraceState> state_;
    std::vector<ToolCall> calls_;  // only when keeping calls
    std::string line_;             // the step line being written, reused
};

}  // namespace ostik
