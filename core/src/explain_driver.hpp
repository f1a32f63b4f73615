// The explanation driver: every step of one trace judged (step_judgement.hpp),
// the state advance, the totals and the end-of-trace checks. It hands every
// result to a recorder, which either builds the TraceExplanation records or
// writes the JSON report as it goes; the decisions are made here only, once
// for both. Driven for a guard, it also judges the argument rules; for the
// explainer, never.
//
// A recorder provides:
//   begin(step_count)
//   begin_step(index, call, slot)
//   tool_check(verdict, slot)                   a failed tool check
//   argument(argument_rule, failure)            a failed argument rule (guard only)
//   rule(planned_rule, outcome, slot, index)    one rule result (also end-of-trace results)
//   end_step(verdict, state)                    after the advance; the snapshot comes from the state
//   finish(totals)
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "argument_plan.hpp"
#include "explain_plan.hpp"
#include "ostik/explain.hpp"
#include "step_judgement.hpp"
#include "trace_state.hpp"

namespace ostik::detail {

struct Totals {
    std::uint64_t total_steps = 0;
    std::uint64_t allowed_steps = 0;
    std::uint64_t blocked_steps = 0;
    std::optional<std::uint64_t> first_block_index;
    std::vector<std::size_t> blocking_rules;  // id indices (id_text())
};

// Hands a step's judgements to the recorder with what it writes them with.
template <class Recorder>
struct StepSink {
    const ExplainPlan& plan;
    const ArgumentPlan* arguments;
    Recorder& rec;
    const Slot& slot;
    std::uint64_t index;

    void tool_check(ToolVerdict v) { rec.tool_check(v, slot); }
    void argument(const ArgumentFailure& f) { rec.argument(arguments->rules()[f.rule], f); }
    // Explanations are made of calls whose arguments were read: never met.
    void unjudged(const UnjudgedArguments&) {}
    void rule(std::size_t k, const Outcome& o) { rec.rule(plan.rules[k], o, slot, index); }
};

// The explanation of `steps` as records (explainer.cpp) and as the JSON
// report (explanation_report.cpp), with the argument rules of a guard or
// without any.
TraceExplanation explanation_records(const ExplainPlan& plan, const ArgumentPlan* arguments,
                                     std::span<const ToolCall> steps);
std::string explanation_json(const ExplainPlan& plan, const ArgumentPlan* arguments, std::span<const ToolCall> steps);

template <class Recorder>
void drive(const ExplainPlan& plan, std::span<const ToolCall> steps, Recorder& rec,
           const ArgumentPlan* arguments = nullptr) {
    TraceState state(plan);
    Totals totals;
    totals.total_steps = steps.size();
    std::vector<char> listed(id_count(plan, arguments), 0);
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

        StepSink<Recorder> sink{plan, arguments, rec, slot, i};
        const StepVerdict judged = judge_step(plan, state, tool, i, sink, CallArguments{arguments, &call.args});
        // A blocked step enters the state like an allowed one.
        state.advance(s);

        if (judged.blocked()) {
            ++totals.blocked_steps;
            if (!totals.first_block_index) totals.first_block_index = i;
            list_blocking(judged.blocked_by);
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
        rec.end_step(judged.verdict, state);
    }
    rec.finish(totals);
}

}  // namespace ostik::detail
