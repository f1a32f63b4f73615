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

#include <algorithm>
#include <type_traits>

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
class LanguageState;
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
    // `ts` is the step's time in seconds, when the trace has one: windowed
    // limits judge steps without one as not applicable (windows_unjudged()).
    void add_step(std::string_view tool, const std::optional<Value>& args = std::nullopt,
                  std::optional<double> ts = std::nullopt);
    // Adds a call whose arguments could not be read (see UnjudgedArguments).
    void add_step(std::string_view tool, const UnjudgedArguments& unjudged, std::optional<double> ts = std::nullopt);

    // Records the result of step `step` (< steps()) for the flows, as
    // GuardSession::record_result does: the steps after it see it.
    void add_result(std::uint64_t step, const Value& result);

    // Runs the end-of-trace checks on the steps added; call it once, last.
    void finish();

    bool passed() const { return blocked_steps_ == 0 && end_failures_.empty(); }
    std::uint64_t steps() const { return static_cast<std::uint64_t>(step_slots_.size()); }
    std::uint64_t blocked_steps() const { return blocked_steps_; }
    std::optional<std::uint64_t> first_block() const { return first_block_; }
    // Steps an ask entry applied to (a recorded step ran: an ask fails
    // nothing, it is shown), and whether a windowed limit met a step without
    // a time.
    std::uint64_t asked_steps() const { return static_cast<std::uint64_t>(asked_.size()); }
    bool windows_unjudged() const { return windows_unjudged_; }
    // By ask and limit entry (Guard::entries() order): the steps each met
    // (reached) and those it asked about or refused (violated).
    const std::vector<ArgumentRuleCount>& entry_counts() const { return entry_counts_; }
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
    // Whether an ask entry applied to step `step` (which nothing blocked).
    bool asked(std::uint64_t step) const {
        return !asked_.empty() && std::binary_search(asked_.begin(), asked_.end(), step,
                                                     [](const auto& a, const auto& b) {
                                                         if constexpr (std::is_integral_v<std::decay_t<decltype(a)>>) return a < b.first;
                                                         else return a.first < b;
                                                     });
    }
    // Failure number `index`: its rule id and rule type, and its whole record
    // as the step's decision lists it.
    const std::string& failure_rule_id(std::size_t index) const;
    const char* failure_rule_type(std::size_t index) const;
    RuleEvaluation failure_record(std::size_t index) const;

private:
    void list_blocking(std::size_t id_index);
    void add(std::string_view tool, const std::optional<Value>* args, const UnjudgedArguments* unjudged,
             std::optional<double> ts);

    std::shared_ptr<const Guard> guard_;
    std::unique_ptr<detail::TraceState> state_;
    std::unique_ptr<detail::LanguageState> language_;
    std::vector<std::pair<std::uint64_t, std::uint32_t>> asked_;  // (step, index into asks_), in step order
    std::vector<detail::StepFailure> asks_;                       // the asks: an ask entry's, or a flow's
    bool windows_unjudged_ = false;
    std::vector<std::uint32_t> step_slots_;         // the tool slot of each step
    std::vector<detail::StepFailure> failures_;     // every failed check, in step order
    std::vector<std::string> values_;               // the values failed constraints show
    std::vector<RuleEvaluation> end_failures_;
    std::vector<std::string> blocking_rules_;
    std::vector<char> listed_;                      // by id index: already in blocking_rules_
    std::uint64_t blocked_steps_ = 0;
    std::optional<std::uint64_t> first_block_;
    std::vector<ArgumentRuleCount> entry_counts_;   // by ask and limit entry
};

}  // namespace ostik
