#include "decision_message.hpp"

#include <re2/re2.h>

#include "language_text.hpp"
#include "ostik/json_writer.hpp"

namespace ostik::detail {

namespace {

struct Sentence {
    std::string out;

    Sentence& lit(std::string_view s) {
        out += s;
        return *this;
    }
    Sentence& q(std::string_view name) {
        out += '\'';
        out += name;
        out += '\'';
        return *this;
    }
    Sentence& num(std::uint64_t n) {
        json::write_uint(out, n);
        return *this;
    }
    // "1 time", "2 times"
    Sentence& times(std::uint64_t n) {
        num(n);
        return lit(n == 1 ? " time" : " times");
    }
    // A value of a constraint: a text in quotes, anything else as JSON.
    Sentence& value(const Value& v) {
        if (v.is<std::string>()) return q(v.as<std::string>());
        json::write_value(out, v);
        return *this;
    }
    Sentence& values(const Array& items) {
        for (std::size_t i = 0; i < items.size(); ++i) {
            if (i) lit(", ");
            value(items[i]);
        }
        return *this;
    }
    Sentence& texts(const std::vector<std::string_view>& items) {
        for (std::size_t i = 0; i < items.size(); ++i) {
            if (i) lit(", ");
            q(items[i]);
        }
        return *this;
    }
    std::string done() {
        out += '.';
        return std::move(out);
    }
};

std::string constraint_message(const ArgumentRule& r, std::uint32_t item, const NameText& tool,
                               const std::string& shown) {
    const ArgOperator& op = r.ops[item];
    Sentence s;
    s.lit("Argument ").q(r.arguments.front().raw).lit(" of ").q(tool.raw).lit(" must ");
    const bool several = op.substrings.size() > 1;
    switch (op.op) {
        case ArgOp::equals:
            s.lit("be ").value(*op.operand);
            break;
        case ArgOp::one_of:
            s.lit("be one of ").values(op.operand->as<Array>());
            break;
        case ArgOp::not_one_of:
            s.lit("not be one of ").values(op.operand->as<Array>());
            break;
        case ArgOp::contains:
            s.lit(several ? "contain one of " : "contain ").texts(op.substrings);
            break;
        case ArgOp::not_contains:
            s.lit(several ? "not contain any of " : "not contain ").texts(op.substrings);
            break;
        case ArgOp::matches:
            s.lit("match ").q(op.regex->pattern());
            break;
        case ArgOp::not_matches:
            s.lit("not match ").q(op.regex->pattern());
            break;
        case ArgOp::min:
            s.lit("be a number of at least ").value(*op.operand);
            break;
        case ArgOp::max:
            s.lit("be a number of at most ").value(*op.operand);
            break;
        case ArgOp::max_length:
            if (shown.starts_with('[')) s.lit("have at most ").num(op.length).lit(op.length == 1 ? " item" : " items");
            else s.lit("be a text of at most ").num(op.length).lit(op.length == 1 ? " character" : " characters");
            break;
    }
    return s.done();
}

std::string rule_message(const ExplainPlan& plan, const PlannedRule& r, const Outcome& o, const NameText& tool) {
    Sentence s;
    const std::string& a = r.text_a.raw;
    const std::string& b = r.text_b.raw;
    switch (o.message) {
        case Message::eventually_missed:
            s.q(a).lit(" must be called now: it was required within the first ").num(r.number).lit(" calls");
            break;
        case Message::max_exceeded: {
            // Calling the tool counts the current call; any other call shows the total so far.
            const bool calls_it = r.set_a.contains(plan.name_id(tool.raw));
            const std::uint64_t so_far = calls_it && o.count > 0 ? o.count - 1 : o.count;
            s.q(a).lit(" may be called at most ").times(r.number).lit(" in this run and has been called ").times(so_far);
            s.lit(calls_it ? "; do not call it again" : "; no other call is allowed now");
            break;
        }
        case Message::before_missing:
            s.q(tool.raw).lit(" needs ").q(a).lit(" to be called first");
            break;
        case Message::after_due:
            s.q(b).lit(" must be called now: it is required within ").num(r.number).lit(" calls after ").q(a);
            break;
        case Message::after_late:
            s.q(tool.raw).lit(" comes too late: ").q(b).lit(" was required within ").num(r.number)
                .lit(" calls after ").q(a);
            break;
        case Message::after_missed:
            s.q(b).lit(" was not called within ").num(r.number).lit(" calls after ").q(a);
            s.lit(", so no further call is allowed");
            break;
        case Message::never_after_violated:
            s.q(tool.raw).lit(" is not allowed after ").q(a).lit(" has been called");
            break;
        case Message::sequence_strict_mismatch:
            s.q(r.elements[o.count].raw).lit(" must be called next, not ").q(tool.raw);
            break;
        case Message::sequence_order_violated:
            s.q(r.elements[o.count].raw).lit(" must be called before ").q(tool.raw);
            break;
        case Message::blocklist_match:
            s.q(tool.raw).lit(" matches the blocked pattern ").q(a).lit(" and is not allowed");
            break;
        default:
            // Only the outcomes above fail a step.
            s.q(tool.raw).lit(" is not allowed now");
            break;
    }
    return s.done();
}

}  // namespace

std::string decision_message(const ExplainPlan& plan, const ArgumentPlan* arguments, const StepFailure& f,
                             const NameText& tool, const std::vector<std::string>& values) {
    switch (f.kind) {
        case StepFailure::Kind::tool_check:
            if (f.gate == ToolVerdict::denied) return Sentence().q(tool.raw).lit(" is not allowed").done();
            return Sentence().q(tool.raw).lit(" is not one of the tools allowed in this run").done();
        case StepFailure::Kind::argument: {
            const ArgumentRule& r = arguments->rules()[f.check];
            if (r.required) {
                return Sentence().q(tool.raw).lit(" must be called with the argument ").q(r.arguments[f.item].raw).done();
            }
            static const std::string none;
            return constraint_message(r, f.item, tool, f.value == StepFailure::no_value ? none : values[f.value]);
        }
        case StepFailure::Kind::unjudged: {
            Sentence s;
            const std::string& argument = values[f.value];
            if (argument.empty()) s.lit("The arguments of ").q(tool.raw);
            else s.lit("Argument ").q(argument).lit(" of ").q(tool.raw);
            return s.lit(" cannot be checked (").lit(values[f.value + 1]).lit("); call it with other values").done();
        }
        case StepFailure::Kind::limit:
        case StepFailure::Kind::ask:
        case StepFailure::Kind::denied:
        case StepFailure::Kind::flow:
            return language_message(arguments->language(), f, tool, values);
        case StepFailure::Kind::rule:
            break;
    }
    return rule_message(plan, plan.rules[f.check], f.outcome, tool);
}

}  // namespace ostik::detail
