// Trace explanation: replaying one trace against a policy, step by step.
//
//   ToolCall          one step of a trace (tool name, optional arguments)
//   RuleEvaluation    the judgement of one rule or check at one step
//   ExplainedStep,
//   TraceExplanation  the explanation of a whole trace
//   ExplainerState    the per-trace rule state, with the rule evaluator
//   TraceExplainer    the driver; also writes the JSON report while driving
//
// Everything that does not change from step to step (rule ids, alias member
// lists resolved for every name a rule uses, escaped texts for the report) is
// computed once when a TraceExplainer is built.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "ostik/policy.hpp"
#include "ostik/value.hpp"

namespace ostik {

struct ToolCall {
    std::string tool;
    std::optional<Value> args;  // any Value kind, exactly as given; absent when none was given
};

struct RuleEvaluation {
    std::string rule_id;
    std::string rule_type;
    bool passed = true;
    std::string explanation;
    std::optional<Value> context;  // an object when present

    friend bool operator==(const RuleEvaluation&, const RuleEvaluation&) = default;
};

// `ask`: a guard's verdict only, on a call that waits for a person's approval.
enum class Verdict { allowed, blocked, warning, ask };

const char* verdict_name(Verdict v);

struct ExplainedStep {
    std::uint64_t index = 0;
    std::string tool;
    std::optional<Value> args;
    Verdict verdict = Verdict::allowed;
    std::vector<RuleEvaluation> rules_evaluated;
    // "calls:" + tool name -> that tool's call count so far, in decimal digits.
    std::unordered_map<std::string, std::string> state_snapshot;
};

struct TraceExplanation {
    std::string policy_name;
    std::string policy_version;
    std::uint64_t total_steps = 0;
    std::uint64_t allowed_steps = 0;
    std::uint64_t blocked_steps = 0;
    std::optional<std::uint64_t> first_block_index;
    std::vector<ExplainedStep> steps;
    std::vector<std::string> blocking_rules;
};

// Where a report is written to: its text arrives in order, in pieces that
// each hold whole UTF-8 characters. A sink that cannot take a piece throws.
class ReportSink {
public:
    virtual void take(std::string_view piece) = 0;
    // The report's last piece (possibly its only one, or empty).
    virtual void take_last(std::string_view piece) { take(piece); }
    // The writer's guess at the whole report's size in bytes, given once,
    // just before the first of several pieces, for a sink that sizes storage.
    virtual void expect(std::uint64_t) {}

protected:
    ~ReportSink() = default;
};

// What the writer of a report must know before its first byte: the totals of
// the head, every step's verdict (the verdict precedes the rules that decide
// it) and the highest byte of the whole text above ASCII, which tells the
// widest character in it (0: all ASCII; from 0xC4: beyond Latin-1; from
// 0xF0: beyond the BMP).
struct ReportOutline {
    std::uint64_t total_steps = 0;
    std::uint64_t allowed_steps = 0;
    std::uint64_t blocked_steps = 0;
    std::optional<std::uint64_t> first_block_index;
    std::vector<bool> blocked;  // by step
    unsigned char top_byte = 0;
    // The bytes of every step's state snapshot together: the part of the
    // report that grows with the number of distinct tools, which the first
    // steps do not show.
    std::uint64_t snapshot_bytes = 0;
};

namespace detail {
class ExplainPlan;
class TraceState;
}  // namespace detail

class TraceExplainer {
public:
    explicit TraceExplainer(Policy policy);
    ~TraceExplainer();
    TraceExplainer(TraceExplainer&&) noexcept;
    TraceExplainer& operator=(TraceExplainer&&) noexcept;

    const Policy& policy() const { return *policy_; }

    // Never fails: every list of steps, the empty one included, is explained.
    TraceExplanation explain(std::span<const ToolCall> steps) const;

    // The JSON report of the same explanation, byte for byte what
    // write_report(explain(steps)) gives, written while driving so that no
    // RuleEvaluation is materialised.
    std::string explain_json(std::span<const ToolCall> steps) const;

    // The same report in two passes, for reports too large to hold twice:
    // outline_json() decides every step and writes nothing; write_json() then
    // drives again and hands the text to the sink in pieces of about
    // `piece_bytes`, passing them through `buffer` (its contents are replaced).
    // The text is the same as explain_json(steps) gives. An exception thrown
    // by the sink ends the writing and reaches the caller.
    ReportOutline outline_json(std::span<const ToolCall> steps) const;
    void write_json(std::span<const ToolCall> steps, const ReportOutline& outline, std::string& buffer,
                    ReportSink& sink, std::size_t piece_bytes = default_piece_bytes) const;
    static constexpr std::size_t default_piece_bytes = std::size_t{256} << 10;

    const detail::ExplainPlan& plan() const { return *plan_; }

private:
    // Held on the heap so that the plan's references into the policy stay
    // valid when the explainer moves.
    std::unique_ptr<const Policy> policy_;
    std::unique_ptr<const detail::ExplainPlan> plan_;
};

// The per-trace rule state. Evaluation only reads it; advance() enters one
// step (after all rules of that step were evaluated). It refers to the
// explainer it was made from, which must outlive it.
class ExplainerState {
public:
    explicit ExplainerState(const TraceExplainer& explainer);
    ~ExplainerState();
    ExplainerState(ExplainerState&&) noexcept;
    ExplainerState& operator=(ExplainerState&&) noexcept;

    // The members of the alias `name` in their stored order, or `name` alone
    // when no alias has that name. One level only.
    NameList resolve_alias(std::string_view name) const;

    // Whether a step's tool name is one of resolve_alias(name), compared exactly.
    bool matches(std::string_view tool, std::string_view name) const;

    // Judges the policy's rule at `rule_index` (its position in `sequences`)
    // for a step calling `tool` at `step_index`, against the state as it stood
    // after the previous step.
    RuleEvaluation evaluate_rule(std::size_t rule_index, std::string_view tool, std::uint64_t step_index) const;

    // Enters the next step: counts the call and moves the per-rule entries.
    // The step index is the number of steps entered before.
    void advance(std::string_view tool);

private:
    std::unique_ptr<detail::TraceState> state_;
};

}  // namespace ostik
