// The explanation texts and context objects of failed argument rules, written
// once against the sinks of rule_text.hpp, so that a decision's record and
// the report's entry say the same thing:
//
//   require_args    "Tool 'TOOL' requires argument 'ARG'" (the first one missing,
//                   in list order); context {"argument", "tool"}
//   arg_constraint  "Argument 'ARG' of 'TOOL' violates OPERATOR: VALUE" (the
//                   first operator that fails, VALUE its JSON text as
//                   shown_value() gives it); context {"argument", "operator", "tool"}
//
//   on_error        "Argument 'ARG' of 'TOOL' cannot be judged: PROBLEM" (or "The
//                   arguments of 'TOOL' ..." when they are the problem); context
//                   {"argument", "tool"}, without "argument" in that case
//
// TOOL is the name the policy gives the rule (a tool or an alias name); for
// on_error, the call's tool.
#pragma once

#include <cstdint>
#include <utility>

#include "argument_plan.hpp"
#include "ostik/explain.hpp"
#include "rule_text.hpp"

namespace ostik::detail {

template <class Text>
void write_argument_explanation(Text& t, const ArgumentRule& r, std::uint32_t item, const NameText& value) {
    if (r.required) {
        t.lit("Tool ");
        quoted(t, r.tool);
        t.lit(" requires argument ");
        quoted(t, r.arguments[item]);
        return;
    }
    t.lit("Argument ");
    quoted(t, r.arguments.front());
    t.lit(" of ");
    quoted(t, r.tool);
    t.lit(" violates ");
    t.name(r.ops[item].name);
    t.lit(": ");
    t.name(value);
}

template <class Context>
void write_argument_context(Context& c, const ArgumentRule& r, std::uint32_t item) {
    c.text("argument", r.required ? r.arguments[item] : r.arguments.front());
    if (!r.required) c.text("operator", r.ops[item].name);
    c.text("tool", r.tool);
}

// The value shown for a failure (empty for require_args, which shows none).
inline NameText failure_value(const ArgumentFailure& f) { return f.value ? name_text(shown_value(*f.value)) : NameText{}; }

inline RuleEvaluation unjudged_evaluation(const NameText& tool, const std::string& argument,
                                          const std::string& problem) {
    RuleEvaluation e;
    e.rule_id = "on_error";
    e.rule_type = "on_error";
    e.passed = false;
    PlainText t{e.explanation};
    if (argument.empty()) {
        t.lit("The arguments of ");
    } else {
        t.lit("Argument ");
        quoted(t, name_text(argument));
        t.lit(" of ");
    }
    quoted(t, tool);
    t.lit(" cannot be judged: ");
    t.lit(problem);
    ValueContext c;
    if (!argument.empty()) c.text("argument", name_text(argument));
    c.text("tool", tool);
    e.context = Value(std::move(c.object));
    return e;
}

inline RuleEvaluation argument_evaluation(const ArgumentRule& r, std::uint32_t item, const NameText& value) {
    RuleEvaluation e;
    e.rule_id = r.id.raw;
    e.rule_type = r.rule_type();
    e.passed = false;
    PlainText text{e.explanation};
    write_argument_explanation(text, r, item, value);
    ValueContext c;
    write_argument_context(c, r, item);
    e.context = Value(std::move(c.object));
    return e;
}

}  // namespace ostik::detail
