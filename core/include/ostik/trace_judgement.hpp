// The judgement of a whole trace by a guard: every step checked in order as a
// fresh session would check it, then the end-of-trace checks, with nothing
// written anywhere. It answers whether the trace passes without building an
// explanation report.
//
// A trace passes when no step was blocked and no end-of-trace check failed.
// Unlike the explanation report, which lists nothing for a trace without
// steps, an empty trace fails every require rule (as GuardSession::finish()
// does): an agent that called nothing did not call the required tool.
//
// The steps are kept compactly (the tool of each step and the failed checks
// with their outcomes; of a failed argument constraint, the value shown); a
// step's decision, texts included, is made when it is asked for, and equals
// the decision GuardSession::check gave that step. The
// failed checks of all steps are numbered in step order; what identifies a
// failure (its rule id and type) is at hand without making its texts.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ostik/argument_rules.hpp"
#include "ostik/explain.hpp"
#include "ostik/guard.hpp"

namespace ostik {

namespace detail {
class TraceState;
struct StepFailure;
}  // namespace detail

class TraceJudgement {
public:
    // An empty judgement, ready for the trace's first step.
    explicit TraceJudgement(std::shared_ptr<const Guard> guard);
    ~TraceJudgement();
    TraceJudgement(TraceJudgement&&) noexcept;
    TraceJudgement& operator=(TraceJudgement&&) noexcept;

    // Judges a call of `tool` with `args` as the next step and enters it,
    // blocked or not. The arguments are not kept. Only before finish().
    void add_step(std::string_view tool, const std::optional<Value>& args = std::nullopt);
    // Adds a call whose arguments could not be read (see UnjudgedArguments).
    void add_step(std::string_view tool, const UnjudgedArguments& unjudged);

    // Runs the end-of-trace checks on the steps added; call it once, last.
    void finish();

    bool passed() const { return blocked_steps_ == 0 && end_failures_.empty(); }
    std::uint64_t steps() const { return static_cast<std::uint64_t>(step_slots_.size()); }
    std::uint64_t blocked_steps() const { return blocked_steps_; }
    std::optional<std::uint64_t> first_block() const { return first_block_; }
    // The failed end-of-trace checks, as GuardSession::finish() gives them.
    const std::vector<RuleEvaluation>& end_failures() const { return end_failures_; }
    // Rule ids in order of first blocking, then the failed end-of-trace
    // checks' ids, each once.
    const std::vector<std::string>& blocking_rules() const { return blocking_rules_; }

    // The decision of step `step` (< steps()).
    GuardDecision decision(std::uint64_t step) const;
    // The tool name of step `step` (< steps()).
    const std::string& tool(std::uint64_t step) const;

    // The numbers of the failed checks of step `step` (< steps()): [first, last).
    struct FailureRange {
        std::size_t first = 0;
        std::size_t last = 0;
        bool empty() const { return first == last; }
    };
    FailureRange failures_of(std::uint64_t step) const;
    bool blocked(std::uint64_t step) const { return !failures_of(step).empty(); }
    // Failure number `index`: its rule id and rule type, and its whole record
    // as the step's decision lists it.
    const std::string& failure_rule_id(std::size_t index) const;
    const char* failure_rule_type(std::size_t index) const;
    RuleEvaluation failure_record(std::size_t index) const;

private:
    void list_blocking(std::size_t id_index);
    void add(std::string_view tool, const std::optional<Value>* args, const UnjudgedArguments* unjudged);

    std::shared_ptr<const Guard> guard_;
    std::unique_ptr<detail::TraceState> state_;
    std::vector<std::uint32_t> step_slots_;         // the tool slot of each step
    std::vector<detail::StepFailure> failures_;     // every failed check, in step order
    std::vector<std::string> values_;               // the values failed constraints show
    std::vector<RuleEvaluation> end_failures_;
    std::vector<std::string> blocking_rules_;
    std::vector<char> listed_;                      // by id index: already in blocking_rules_
    std::uint64_t blocked_steps_ = 0;
    std::optional<std::uint64_t> first_block_;
};

}  // namespace ostik
