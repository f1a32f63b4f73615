// The explanation driver: the tool check, the rules in policy order, the
// verdict, the state advance and the end-of-trace checks of one trace. It
// hands every result to a recorder, which either builds the TraceExplanation
// records or writes the JSON report as it goes; the decisions are made here
// only, once for both.
//
// A recorder provides:
//   begin(step_count)
//   begin_step(index, call, slot)
//   tool_check(verdict, slot)                   a failed tool check
//   rule(planned_rule, outcome, slot, index)    one rule result (also end-of-trace results)
//   end_step(verdict, state)                    after the advance; the snapshot comes from the state
//   finish(totals)
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "explain_plan.hpp"
#include "ostik/explain.hpp"
#include "trace_state.hpp"

namespace ostik::detail {

struct Totals {
    std::uint64_t total_steps = 0;
    std::uint64_t allowed_steps = 0;
    std::uint64_t blocked_steps = 0;
    std::optional<std::uint64_t> first_block_index;
    std::vector<std::size_t> blocking_rules;  // id indices into ExplainPlan::ids
};

template <class Recorder>
void drive(const ExplainPlan& plan, std::span<const ToolCall> steps, Recorder& rec) {
    TraceState state(plan);
    Totals totals;
    totals.total_steps = steps.size();
    std::vector<char> listed(plan.ids.size(), 0);
    auto list_blocking = [&](std::size_t id_index) {
        if (!listed[id_index]) {
            listed[id_index] = 1;
            totals.blocking_rules.push_back(id_index);
        }
    };

    rec.begin(steps.size());
    for (std::uint64_t i = 0; i < steps.size(); ++i) {
        const ToolCall& call = steps[i];
        const std::uint32_t s = state.enter(call.tool);
        const Slot& slot = state.slot(s);
        const StepTool tool = state.step_tool(s);
        rec.begin_step(i, call, slot);

        Verdict verdict = Verdict::allowed;
        std::optional<std::size_t> blocked_by;
        if (const ToolVerdict check = plan.gate.check(call.tool); check != ToolVerdict::pass) {
            rec.tool_check(check, slot);
            verdict = Verdict::blocked;
            blocked_by = check == ToolVerdict::denied ? plan.deny_id_index : plan.allow_id_index;
        }
        // Every rule is evaluated, whatever came before: the step lists them all.
        for (std::size_t k = 0; k < plan.rules.size(); ++k) {
            const Outcome o = state.decide(k, tool, i);
            rec.rule(plan.rules[k], o, slot, i);
            if (!o.passed && verdict == Verdict::allowed) {
                verdict = Verdict::blocked;
                blocked_by = plan.rules[k].id_index;
            }
        }
        // A blocked step enters the state like an allowed one.
        state.advance(s);

        if (verdict == Verdict::blocked) {
            ++totals.blocked_steps;
            if (!totals.first_block_index) totals.first_block_index = i;
            list_blocking(*blocked_by);
        } else {
            ++totals.allowed_steps;
        }
        // End-of-trace results join the last step's list without touching its
        // verdict or the counters.
        if (i + 1 == steps.size()) {
            for (std::size_t k = 0; k < plan.rules.size(); ++k) {
                if (const auto o = state.end_check(k)) {
                    rec.rule(plan.rules[k], *o, slot, i);
                    list_blocking(plan.rules[k].id_index);
                }
            }
        }
        rec.end_step(verdict, state);
    }
    rec.finish(totals);
}

}  // namespace ostik::detail
