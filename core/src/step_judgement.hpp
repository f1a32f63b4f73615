// The judgement of one step: the tool check, then the argument rules (for the
// guard only), then every sequence rule in policy order, and from them the
// step's verdict and blocking rule. The explanation driver and the live guard
// both judge through here, so a step gets the same verdict whichever of them
// asks.
//
// Every result goes to a sink:
//   tool_check(tool_verdict)     a failed tool check (a passed one leaves no result)
//   argument(failure)            a failed argument rule (likewise)
//   rule(rule_index, outcome)    one result per sequence rule, passed or not
// The sink decides what to build from them; judging itself allocates nothing.
// A sink that declares `static constexpr bool failures_only = true` needs the
// failed rules only: it is given the results of the rules that can fail on
// the call (StepTool::failable) that are not settled (TraceState::settled),
// which are all the failures there are.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "argument_plan.hpp"
#include "explain_plan.hpp"
#include "ostik/explain.hpp"
#include "ostik/tool_gate.hpp"
#include "rule_evaluator.hpp"
#include "trace_state.hpp"

namespace ostik::detail {

// A sink for whom only the verdict counts: no record of the judgement is
// built.
struct VerdictOnlySink {
    static constexpr bool failures_only = true;
    void tool_check(ToolVerdict) {}
    void argument(const ArgumentFailure&) {}
    void unjudged(const UnjudgedArguments&) {}
    void rule(std::size_t, const Outcome&) {}
};

struct StepVerdict {
    Verdict verdict = Verdict::allowed;
    std::size_t blocked_by = 0;  // id index into ExplainPlan::ids; only when blocked

    bool blocked() const { return verdict == Verdict::blocked; }
};

// The argument rules a step is judged by, and the call's arguments. The
// explainer has none: it leaves the policy's argument rules alone.
struct CallArguments {
    const ArgumentPlan* plan = nullptr;
    const std::optional<Value>* args = nullptr;  // set with `plan`
    const UnjudgedArguments* unjudged = nullptr;  // instead of `args`, for arguments that could not be read
};

// How a step is judged: as a recorded trace is (every step happened), or as
// an enforcing session judges the next call, where `after` windows end at
// their last position (refuse_window_end).
enum class Judging : std::uint8_t { recorded, enforcing };

// Judges a call of `tool` (with its tool check made, TraceState::step_tool)
// as step `step_index` against `state`, which holds the steps before it and
// is not changed: the caller advances it.
template <class Sink>
StepVerdict judge_step(const ExplainPlan& plan, const TraceState& state, StepTool tool, std::uint64_t step_index,
                       Sink& sink, CallArguments arguments = {}, Judging judging = Judging::recorded) {
    StepVerdict v;
    auto block = [&](std::size_t id_index) {
        if (v.verdict == Verdict::allowed) {
            v.verdict = Verdict::blocked;
            v.blocked_by = id_index;
        }
    };

    // 1. The tool check.
    if (const ToolVerdict check = tool.gate; check != ToolVerdict::pass) {
        sink.tool_check(check);
        block(check == ToolVerdict::denied ? plan.deny_id_index : plan.allow_id_index);
    }

    // 2. The call's arguments, by the rules its tool meets, in their order;
    //    arguments that could not be read are judged by none of them, and
    //    the policy's on_error says whether that blocks the call.
    if (arguments.plan && arguments.unjudged) {
        if (!arguments.plan->rules_for(tool.name).empty() && plan.policy.on_error == ErrorPolicy::block) {
            sink.unjudged(*arguments.unjudged);
            block(arguments.plan->on_error_id_index());
        }
    } else if (arguments.plan && !arguments.plan->empty()) {
        for (const std::uint32_t k : arguments.plan->rules_for(tool.name)) {
            ArgumentFailure failure;
            if (arguments.plan->judge(k, *arguments.args, failure) == ArgumentPlan::Judged::failed) {
                sink.argument(failure);
                block(arguments.plan->rules()[k].id_index);
            }
        }
    }

    // 3. Every sequence rule, whatever came before: the step lists them all,
    //    and only the first failure blocks it.
    auto judge_rule = [&](std::size_t k) {
        Outcome o = state.decide(k, tool, step_index);
        if (judging == Judging::enforcing && plan.rules[k].kind == 4) refuse_window_end(plan.rules[k], o, tool, step_index);
        sink.rule(k, o);
        if (!o.passed) block(plan.rules[k].id_index);
    };
    if constexpr (requires { requires Sink::failures_only; }) {
        if (tool.failable) {
            if (tool.plain && state.passes_plainly(*tool.plain, tool, step_index)) return v;
            for (const FailableRule& f : *tool.failable) {
                if (!state.settled(f.rule) && !state.passes_plainly(f, tool, step_index)) judge_rule(f.rule);
            }
            return v;
        }
    }
    for (std::size_t k = 0; k < plan.rules.size(); ++k) judge_rule(k);
    return v;
}

}  // namespace ostik::detail
