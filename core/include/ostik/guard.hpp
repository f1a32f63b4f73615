// The live guard: a policy's verdicts on an agent's tool calls one at a time,
// before each call runs.
//
//   Guard          built once from a policy (the explainer's plan); never
//                  changes, so any number of sessions and threads share it
//   GuardSession   one agent run: the rule state of the calls judged so far,
//                  optionally a trace file they are appended to and the calls
//                  themselves
//   GuardDecision  the judgement of one call
//
// A session judges exactly as TraceExplainer does: the i-th decision of a
// session is step i of the explanation of the same calls. Its memory without
// kept calls is bounded by the policy and the number of distinct tool names,
// whatever the number of calls.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ostik/explain.hpp"
#include "ostik/policy.hpp"
#include "ostik/trace_writer.hpp"

namespace ostik {

struct GuardDecision {
    Verdict verdict = Verdict::allowed;
    std::uint64_t step = 0;  // the call's index in the run
    std::string tool;        // the call's tool name
    // Every failed check of the step in report order: the tool check, then
    // the sequence rules in policy order. The first one blocked the step.
    // Empty for an allowed step.
    std::vector<RuleEvaluation> failures;

    bool allowed() const { return verdict == Verdict::allowed; }
    // The check that blocked the step (its rule id is the step's blocking
    // rule id), or null when the step is allowed.
    const RuleEvaluation* blocking() const { return failures.empty() ? nullptr : &failures.front(); }
    friend bool operator==(const GuardDecision&, const GuardDecision&) = default;
};

class Guard {
public:
    explicit Guard(Policy policy);

    const Policy& policy() const { return explainer_.policy(); }
    const TraceExplainer& explainer() const { return explainer_; }

private:
    TraceExplainer explainer_;
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

    // The explanation report of the calls so far, as TraceExplainer's
    // explain_json() gives it for them. Nothing when the session does not
    // keep its calls.
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
