// The explanation texts and context objects of rule evaluations. Each text
// and each context is written out once here, against a sink: the plain-text
// sinks build RuleEvaluation records, the JSON sinks write the report
// directly. Both therefore say the same thing.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "explain_plan.hpp"
#include "ostik/explain.hpp"
#include "ostik/json_writer.hpp"
#include "ostik/tool_gate.hpp"
#include "trace_state.hpp"

namespace ostik::detail {

// Text sinks: literal pieces are appended as they are (they need no JSON
// escaping), names in the form the sink writes.
struct PlainText {
    std::string& out;
    void lit(std::string_view s) { out += s; }
    void name(const NameText& n) { out += n.raw; }
    void num(std::uint64_t v) { json::write_uint(out, v); }
};

struct JsonText {
    std::string& out;
    void lit(std::string_view s) { out += s; }
    void name(const NameText& n) { out += n.json; }
    void num(std::uint64_t v) { json::write_uint(out, v); }
};

template <class Text>
void quoted(Text& t, const NameText& n) {
    t.lit("'");
    t.name(n);
    t.lit("'");
}

template <class Text>
void write_explanation(Text& t, const PlannedRule& r, const Outcome& o, const NameText& tool,
                       std::uint64_t step_index) {
    const NameText& a = r.text_a;
    const NameText& b = r.text_b;
    switch (o.message) {
        case Message::require_at_end:
            t.lit("Require '"); t.name(a); t.lit("' (checked at end)");
            break;
        case Message::eventually_seen:
            quoted(t, a); t.lit(" already seen \u2713");
            break;
        case Message::eventually_pending:
            quoted(t, a); t.lit(" required within "); t.num(r.number); t.lit(" calls (at ");
            t.num(step_index + 1); t.lit("/"); t.num(r.number); t.lit(")");
            break;
        case Message::eventually_missed:
            quoted(t, a); t.lit(" not seen within first "); t.num(r.number); t.lit(" calls");
            break;
        case Message::max_exceeded:
            quoted(t, a); t.lit(" exceeded max calls ("); t.num(o.count); t.lit(" > "); t.num(r.number); t.lit(")");
            break;
        case Message::max_call:
            quoted(t, a); t.lit(" call "); t.num(o.count); t.lit("/"); t.num(r.number);
            break;
        case Message::before_not_then:
            t.lit("Not '"); t.name(b); t.lit("', rule not applicable");
            break;
        case Message::before_ok:
            quoted(t, a); t.lit(" was called first \u2713");
            break;
        case Message::before_missing:
            quoted(t, b); t.lit(" requires "); quoted(t, a); t.lit(" first");
            break;
        case Message::after_satisfied:
            quoted(t, b); t.lit(" satisfies after "); quoted(t, a); t.lit(" \u2713");
            break;
        case Message::after_late:
            quoted(t, b); t.lit(" called too late after "); quoted(t, a); t.lit(" (at "); t.num(step_index);
            t.lit(", deadline "); t.num(o.deadline); t.lit(")");
            break;
        case Message::after_pending:
            t.lit("Pending: "); quoted(t, b); t.lit(" needed within "); t.num(o.deadline - step_index);
            t.lit(" more calls");
            break;
        case Message::after_missed:
            quoted(t, b); t.lit(" required within "); t.num(r.number); t.lit(" calls after "); quoted(t, a);
            t.lit(" (triggered at "); t.num(o.count); t.lit(")");
            break;
        case Message::after_due:
            quoted(t, b); t.lit(" must be called now: required within "); t.num(r.number); t.lit(" calls after ");
            quoted(t, a); t.lit(" (triggered at "); t.num(o.count); t.lit(")");
            break;
        case Message::after_triggered:
            quoted(t, a); t.lit(" triggered, "); quoted(t, b); t.lit(" required within "); t.num(r.number);
            break;
        case Message::after_waiting:
            t.lit("After rule: waiting for "); quoted(t, a);
            break;
        case Message::never_after_violated:
            quoted(t, b); t.lit(" forbidden after "); quoted(t, a); t.lit(" (triggered at index "); t.num(o.count);
            t.lit(")");
            break;
        case Message::never_after_armed:
            quoted(t, b); t.lit(" forbidden (trigger at "); t.num(o.count); t.lit(")");
            break;
        case Message::never_after_triggered:
            quoted(t, a); t.lit(" triggered, "); quoted(t, b); t.lit(" now forbidden");
            break;
        case Message::never_after_waiting:
            t.lit("Waiting for trigger "); quoted(t, a);
            break;
        case Message::sequence_complete:
            t.lit("Sequence complete \u2713");
            break;
        case Message::sequence_step:
            t.lit("Sequence step "); t.num(o.count + 1); t.lit("/"); t.num(r.elements.size()); t.lit(": ");
            quoted(t, tool); t.lit(" \u2713");
            break;
        case Message::sequence_waiting_start:
            t.lit("Waiting for sequence start: "); quoted(t, r.elements[o.count]);
            break;
        case Message::sequence_strict_mismatch:
            t.lit("Strict sequence: expected "); quoted(t, r.elements[o.count]); t.lit(" but got "); quoted(t, tool);
            break;
        case Message::sequence_order_violated:
            t.lit("Sequence order violated: "); quoted(t, tool); t.lit(" before "); quoted(t, r.elements[o.count]);
            break;
        case Message::sequence_waiting:
            t.lit("Sequence: waiting for "); quoted(t, r.elements[o.count]); t.lit(" ("); t.num(o.count); t.lit("/");
            t.num(r.elements.size()); t.lit(")");
            break;
        case Message::blocklist_match:
            quoted(t, tool); t.lit(" matches blocklist pattern "); quoted(t, a);
            break;
        case Message::blocklist_clear:
            quoted(t, tool); t.lit(" does not match blocklist "); quoted(t, a);
            break;
        case Message::end_require_missing:
            t.lit("Required tool '"); t.name(a); t.lit("' never called");
            break;
        case Message::end_after_missing:
            quoted(t, a); t.lit(" triggered at "); t.num(o.count); t.lit(", but "); quoted(t, b);
            t.lit(" never called within "); t.num(r.number); t.lit(" steps (trace ended)");
            break;
    }
}

// What an entry reads besides its rule and outcome. Keep in step with the
// templates above and the contexts below: the report writer reuses an entry
// whose rule, outcome and these inputs are unchanged.
inline bool reads_step_index(const PlannedRule& r, const Outcome& o) {
    return r.kind == 1 || o.message == Message::after_late || o.message == Message::after_pending;
}
inline bool reads_step_tool(const Outcome& o) {
    switch (o.message) {
        case Message::sequence_step:
        case Message::sequence_strict_mismatch:
        case Message::sequence_order_violated:
        case Message::blocklist_match:
        case Message::blocklist_clear:
            return true;
        default:
            return false;
    }
}

// Whether the explanation carries the check mark (U+2713), the one character
// of the templates outside ASCII. Keep in step with the templates above.
inline bool has_check_mark(Message m) {
    switch (m) {
        case Message::eventually_seen:
        case Message::before_ok:
        case Message::after_satisfied:
        case Message::sequence_complete:
        case Message::sequence_step:
            return true;
        default:
            return false;
    }
}

template <class Text>
void write_tool_check_explanation(Text& t, ToolVerdict v, const NameText& tool) {
    t.lit("Tool '");
    t.name(tool);
    t.lit(v == ToolVerdict::denied ? "' is in deny list" : "' is not in allow list");
}

// Context sinks. Keys are given in ascending byte order, the order of every
// Value object, so a context written directly reads like its Value.
struct ValueContext {
    Object object;
    void text(const char* key, const NameText& v) { object.set(key, Value(v.raw)); }
    void number(const char* key, std::uint64_t v) { object.set(key, Value(v)); }
    void boolean(const char* key, bool v) { object.set(key, Value(v)); }
    void texts(const char* key, const std::vector<NameText>& v) {
        Array items;
        items.reserve(v.size());
        for (const NameText& n : v) items.emplace_back(n.raw);
        object.set(key, Value(std::move(items)));
    }
};

struct JsonContext {
    std::string& out;
    char sep = '{';
    void key(const char* k) {
        out += sep;
        sep = ',';
        out += '"';
        out += k;
        out += "\":";
    }
    void text(const char* k, const NameText& v) {
        key(k);
        out += '"';
        out += v.json;
        out += '"';
    }
    void number(const char* k, std::uint64_t v) {
        key(k);
        json::write_uint(out, v);
    }
    void boolean(const char* k, bool v) {
        key(k);
        json::write_bool(out, v);
    }
    void texts(const char* k, const std::vector<NameText>& v) {
        key(k);
        out += '[';
        for (std::size_t i = 0; i < v.size(); ++i) {
            if (i) out += ',';
            out += '"';
            out += v[i].json;
            out += '"';
        }
        out += ']';
    }
};

inline bool has_context(const PlannedRule& r, const Outcome& o) {
    return r.kind != 0 && r.kind != 7 && o.message != Message::end_require_missing;
}

template <class Context>
void write_context(Context& c, const PlannedRule& r, const Outcome& o, std::uint64_t step_index) {
    if (o.message == Message::end_after_missing) {
        c.number("deadline", o.deadline);
        c.number("trace_len", o.trace_len);
        c.text("trigger", r.text_a);
        return;
    }
    switch (r.kind) {
        case 1:
            c.number("current_index", step_index);
            c.text("required_tool", r.text_a);
            c.boolean("seen", o.seen);
            c.number("within", r.number);
            break;
        case 2:
            c.number("current_count", o.count);
            c.number("max", r.number);
            c.text("tool", r.text_a);
            break;
        case 3:
            c.text("first", r.text_a);
            c.boolean("first_seen", o.seen);
            c.boolean("is_then_call", o.is_then);
            c.text("then", r.text_b);
            break;
        case 4:
            c.text("then", r.text_b);
            c.text("trigger", r.text_a);
            c.number("within", r.number);
            break;
        case 5:
            c.text("forbidden", r.text_b);
            c.text("trigger", r.text_a);
            c.boolean("triggered", o.seen);
            break;
        case 6:
            c.number("progress", o.count);
            c.boolean("strict", r.strict);
            c.texts("tools", r.elements);
            break;
        default:
            break;
    }
}

inline RuleEvaluation tool_check_evaluation(ToolVerdict v, const NameText& tool) {
    RuleEvaluation e;
    e.rule_id = v == ToolVerdict::denied ? "deny_list" : "allow_list";
    e.rule_type = v == ToolVerdict::denied ? "deny" : "allow";
    e.passed = false;
    PlainText text{e.explanation};
    write_tool_check_explanation(text, v, tool);
    return e;
}

inline RuleEvaluation to_evaluation(const PlannedRule& r, const Outcome& o, const NameText& tool,
                                    std::uint64_t step_index) {
    RuleEvaluation e;
    e.rule_id = r.id.raw;
    e.rule_type = kind_names[r.kind];
    e.passed = o.passed;
    PlainText text{e.explanation};
    write_explanation(text, r, o, tool, step_index);
    if (has_context(r, o)) {
        ValueContext c;
        write_context(c, r, o, step_index);
        e.context = Value(std::move(c.object));
    }
    return e;
}

}  // namespace ostik::detail
