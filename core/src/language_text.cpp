#include "language_text.hpp"

#include "step_failure.hpp"

namespace ostik::detail {

RuleEvaluation language_evaluation(const LanguagePlan& plan, const StepFailure& f, const NameText& tool,
                                   const std::vector<std::string>& values) {
    RuleEvaluation e;
    e.passed = false;
    Object context;
    if (f.kind == StepFailure::Kind::limit) {
        const LimitPlan& l = plan.limits()[f.check];
        e.rule_id = l.id.raw;
        e.rule_type = l.repeats() ? "repeat" : "limit";
        e.explanation = language_text::limit_explanation(l, f.outcome.count, tool);
        context.set("count", Value(f.outcome.count));
        if (l.repeats()) {
            context.set("repeat", Value(l.repeat));
        } else {
            context.set("max", Value(l.max));
            if (l.windowed()) context.set("per_seconds", Value(l.per));
        }
    } else if (f.kind == StepFailure::Kind::flow) {
        const FlowPlan& flow = plan.flows()[f.check];
        e.rule_id = flow.id.raw;
        e.rule_type = "flow";
        const bool untracked = f.item & StepFailure::flow_untracked;
        const std::string& source_tool = values[f.value];
        const std::string& argument = values[f.value + 1];
        const std::string& matched = values[f.value + 2];
        if (f.item & StepFailure::flow_denied) {
            const std::string* reason = values.size() > f.value + 3 ? &values[f.value + 3] : nullptr;
            e.explanation = language_text::denied_explanation(tool, reason);
            context.set("denied", Value(true));
        } else {
            e.explanation = language_text::flow_explanation(flow, tool, untracked, f.outcome.count, source_tool,
                                                            argument, matched);
        }
        if (untracked) {
            context.set("untracked", Value(true));
        } else {
            context.set("source_step", Value(f.outcome.count));
            context.set("source_tool", Value(source_tool));
            if (flow.value()) {
                context.set("argument", Value(argument));
                context.set("matched", Value(matched));
            }
        }
    } else {
        const AskPlan& a = plan.asks()[f.check];
        e.rule_id = a.id.raw;
        e.rule_type = "ask";
        if (f.kind == StepFailure::Kind::ask) {
            e.explanation = language_text::ask_explanation(a, tool);
            context.set("needs_approval", Value(true));
        } else {
            const std::string* reason = f.value == StepFailure::no_value ? nullptr : &values[f.value];
            e.explanation = language_text::denied_explanation(tool, reason);
            context.set("denied", Value(true));
        }
    }
    e.context = Value(std::move(context));
    return e;
}

std::string language_message(const LanguagePlan& plan, const StepFailure& f, const NameText& tool,
                             const std::vector<std::string>& values) {
    if (f.kind == StepFailure::Kind::limit) {
        return language_text::limit_message(plan.limits()[f.check], f.outcome.count, tool);
    }
    if (f.kind == StepFailure::Kind::flow) {
        if (f.item & StepFailure::flow_denied) {
            std::string out = "A person denied the call of " + language_text::quoted(tool.raw);
            if (values.size() > f.value + 3 && !values[f.value + 3].empty()) out += ": " + values[f.value + 3];
            return out + ".";
        }
        return language_text::flow_message(plan.flows()[f.check], tool, f.item & StepFailure::flow_untracked,
                                           f.outcome.count, values[f.value], values[f.value + 1]);
    }
    if (f.kind == StepFailure::Kind::ask) return "Calling " + language_text::quoted(tool.raw) + " needs a person's approval.";
    std::string out = "A person denied the call of " + language_text::quoted(tool.raw);
    if (f.value != StepFailure::no_value && !values[f.value].empty()) out += ": " + values[f.value];
    return out + ".";
}

}  // namespace ostik::detail
