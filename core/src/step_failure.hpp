// One failed check of a step, kept compactly: which check failed and the
// outcome it failed with, without its texts. The texts and context are made
// from it when someone reads them, by the same functions the explanation
// report uses, so a failure reads alike however it was kept.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "argument_plan.hpp"
#include "argument_text.hpp"
#include "language_state.hpp"
#include "language_text.hpp"
#include "explain_plan.hpp"
#include "ostik/explain.hpp"
#include "ostik/tool_gate.hpp"
#include "rule_text.hpp"
#include "trace_state.hpp"

namespace ostik::detail {

struct StepFailure {
    // limit: `check` is the limit's index, outcome.count the calls counted;
    // ask, denied: `check` is the ask entry's index (denied: `value` the
    // reason given, if any); flow: `check` is the flow's index, `item` its
    // flow_* bits, outcome.count the source step, `value` the first of the
    // source tool, the argument, the matched text (and a denial's reason).
    enum class Kind : std::uint8_t { tool_check, argument, rule, unjudged, limit, ask, denied, flow };

    static constexpr std::uint32_t flow_ask = 1;        // the flow's effect is ask
    static constexpr std::uint32_t flow_denied = 2;     // and a person denied the call
    static constexpr std::uint32_t flow_untracked = 4;  // past the session's bound

    std::uint64_t step = 0;
    Kind kind = Kind::tool_check;
    std::uint32_t check = 0;           // the rule index: a sequence rule's, or an argument rule's
    ToolVerdict gate = ToolVerdict::pass;
    Outcome outcome;                   // a sequence rule
    std::uint32_t item = 0;            // an argument rule: ArgumentFailure::item
    std::uint32_t value = no_value;    // a constraint: its shown value, by index into the kept values;
                                       // unjudged: the argument, the problem after it

    static constexpr std::uint32_t no_value = std::numeric_limits<std::uint32_t>::max();

    std::size_t id_index(const ExplainPlan& plan, const ArgumentPlan* arguments) const {
        switch (kind) {
            case Kind::tool_check: return gate == ToolVerdict::denied ? plan.deny_id_index : plan.allow_id_index;
            case Kind::argument: return arguments->rules()[check].id_index;
            case Kind::unjudged: return arguments->on_error_id_index();
            case Kind::limit: return arguments->language().limits()[check].id_index;
            case Kind::ask:
            case Kind::denied: return arguments->language().asks()[check].id_index;
            case Kind::flow: return arguments->language().flows()[check].id_index;
            case Kind::rule: break;
        }
        return plan.rules[check].id_index;
    }

    const char* rule_type(const ExplainPlan& plan, const ArgumentPlan* arguments) const {
        switch (kind) {
            case Kind::tool_check: return gate == ToolVerdict::denied ? "deny" : "allow";
            case Kind::argument: return arguments->rules()[check].rule_type();
            case Kind::unjudged: return "on_error";
            case Kind::limit: return arguments->language().limits()[check].repeats() ? "repeat" : "limit";
            case Kind::ask:
            case Kind::denied: return "ask";
            case Kind::flow: return "flow";
            case Kind::rule: break;
        }
        return kind_names[plan.rules[check].kind];
    }
};

// The record of a failure of a step calling `tool`; `values` holds the shown
// values of failed constraints.
inline RuleEvaluation failure_record(const ExplainPlan& plan, const ArgumentPlan* arguments, const StepFailure& f,
                                     const NameText& tool, const std::vector<std::string>& values) {
    switch (f.kind) {
        case StepFailure::Kind::tool_check:
            return tool_check_evaluation(f.gate, tool);
        case StepFailure::Kind::argument:
            return argument_evaluation(arguments->rules()[f.check], f.item,
                                       f.value == StepFailure::no_value ? NameText{} : name_text(values[f.value]));
        case StepFailure::Kind::unjudged:
            return unjudged_evaluation(tool, values[f.value], values[f.value + 1]);
        case StepFailure::Kind::limit:
        case StepFailure::Kind::ask:
        case StepFailure::Kind::denied:
        case StepFailure::Kind::flow:
            return language_evaluation(arguments->language(), f, tool, values);
        case StepFailure::Kind::rule:
            break;
    }
    return to_evaluation(plan.rules[f.check], f.outcome, tool, f.step);
}

// A judge_step sink that keeps the failed checks of step `step` only, with
// the shown value of a failed constraint in `values` (the call's arguments
// need not outlive the judgement).
struct StepFailureSink {
    static constexpr bool failures_only = true;

    std::vector<StepFailure>& failures;
    std::vector<std::string>& values;
    std::uint64_t step;

    void tool_check(ToolVerdict v) {
        StepFailure& f = failures.emplace_back();
        f.step = step;
        f.kind = StepFailure::Kind::tool_check;
        f.gate = v;
    }
    void argument(const ArgumentFailure& a) {
        StepFailure& f = failures.emplace_back();
        f.step = step;
        f.kind = StepFailure::Kind::argument;
        f.check = a.rule;
        f.item = a.item;
        if (a.value) {
            f.value = static_cast<std::uint32_t>(values.size());
            values.push_back(shown_value(*a.value));
        }
    }
    void unjudged(const UnjudgedArguments& u) {
        StepFailure& f = failures.emplace_back();
        f.step = step;
        f.kind = StepFailure::Kind::unjudged;
        f.value = static_cast<std::uint32_t>(values.size());
        values.push_back(u.argument);
        values.push_back(u.problem);
    }
    void limit(std::uint32_t k, std::uint64_t count) {
        StepFailure& f = failures.emplace_back();
        f.step = step;
        f.kind = StepFailure::Kind::limit;
        f.check = k;
        f.outcome.passed = false;
        f.outcome.count = count;
    }
    void ask(std::uint32_t k) {
        StepFailure& f = failures.emplace_back();
        f.step = step;
        f.kind = StepFailure::Kind::ask;
        f.check = k;
        f.outcome.passed = false;
    }
    void flow(std::uint32_t k, const FlowMatch& m) {
        StepFailure& f = failures.emplace_back();
        f.step = step;
        f.kind = StepFailure::Kind::flow;
        f.check = k;
        f.item = (m.ask ? StepFailure::flow_ask : 0) | (m.untracked ? StepFailure::flow_untracked : 0);
        f.outcome.passed = false;
        f.outcome.count = m.source_step;
        f.value = static_cast<std::uint32_t>(values.size());
        values.emplace_back(m.source_tool);
        values.push_back(m.argument);
        values.push_back(m.matched);
    }
    void rule(std::size_t k, const Outcome& o) {
        if (o.passed) return;
        StepFailure& f = failures.emplace_back();
        f.step = step;
        f.kind = StepFailure::Kind::rule;
        f.check = static_cast<std::uint32_t>(k);
        f.outcome = o;
    }
};

}  // namespace ostik::detail
