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
    if (f.kind == StepFailure::Kind::ask) return "Calling " + language_text::quoted(tool.raw) + " needs a person's approval.";
    std::string out = "A person denied the call of " + language_text::quoted(tool.raw);
    if (f.value != StepFailure::no_value && !values[f.value].empty()) out += ": " + values[f.value];
    return out + ".";
}

}  // namespace ostik::detail
