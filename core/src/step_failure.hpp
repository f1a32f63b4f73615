// One failed check of a step, kept compactly: which check failed and the
// outcome it failed with, without its texts. The texts and context are made
// from it when someone reads them, by the same functions the explanation
// report uses, so a failure reads alike however it was kept.
#pragma once

#include <cstdint>
#include <limits>

#include "explain_plan.hpp"
#include "ostik/explain.hpp"
#include "ostik/tool_gate.hpp"
#include "rule_text.hpp"
#include "trace_state.hpp"

namespace ostik::detail {

struct StepFailure {
    // The tool check, rather than a rule index.
    static constexpr std::uint32_t tool_check = std::numeric_limits<std::uint32_t>::max();

    std::uint64_t step = 0;
    std::uint32_t check = tool_check;  // the rule index, or tool_check
    ToolVerdict gate = ToolVerdict::pass;
    Outcome outcome;

    std::size_t id_index(const ExplainPlan& plan) const {
        if (check != tool_check) return plan.rules[check].id_index;
        return gate == ToolVerdict::denied ? plan.deny_id_index : plan.allow_id_index;
    }
};

// The record of a failure of a step calling `tool`.
inline RuleEvaluation failure_record(const ExplainPlan& plan, const StepFailure& f, const NameText& tool) {
    if (f.check == StepFailure::tool_check) return tool_check_evaluation(f.gate, tool);
    return to_evaluation(plan.rules[f.check], f.outcome, tool, f.step);
}

// A judge_step sink that keeps the failed checks of step `step` only.
struct StepFailureSink {
    std::vector<StepFailure>& failures;
    std::uint64_t step;

    void tool_check(ToolVerdict v) { failures.push_back({step, StepFailure::tool_check, v, Outcome{}}); }
    void rule(std::size_t k, const Outcome& o) {
        if (!o.passed) failures.push_back({step, static_cast<std::uint32_t>(k), ToolVerdict::pass, o});
    }
};

}  // namespace ostik::detail
