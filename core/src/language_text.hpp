// The texts of the ask and limit entries: a failure's record (rule id, type,
// explanation, context) and the sentence a model is told.
//
//   limit   "'web_search' was called 10 times in the last 60 s (at most 10)"
//   repeat  "'shell' was called 2 times in a row with the same arguments (at most 2)"
//   ask     "'git_push' needs a person's approval before it runs"
//   denied  "'git_push' was denied approval: not on Fridays"
#pragma once

#include <string>
#include <vector>

#include "explain_plan.hpp"
#include "language_plan.hpp"
#include "ostik/explain.hpp"
#include "ostik/json_writer.hpp"

namespace ostik::detail {

struct StepFailure;

namespace language_text {

inline std::string times(std::uint64_t n) {
    std::string out;
    json::write_uint(out, n);
    out += n == 1 ? " time" : " times";
    return out;
}

inline std::string quoted(std::string_view name) {
    std::string out;
    out.reserve(name.size() + 2);
    out += '\'';
    out += name;
    out += '\'';
    return out;
}

// Who a limit is about: the entry's names, or "Tools" for every tool.
inline std::string subject(const LimitPlan& l) { return l.names.raw == "'*'" ? "Tools" : l.names.raw; }

inline std::string limit_explanation(const LimitPlan& l, std::uint64_t count, const NameText& tool) {
    if (l.repeats()) {
        return quoted(tool.raw) + " was called " + times(count) + " in a row with the same arguments (at most " +
               std::to_string(l.repeat - 1) + ")";
    }
    const std::string where = l.windowed() ? " in the last " + l.per_text : " in the session";
    return subject(l) + (l.names.raw == "'*'" ? " were" : " was") + " called " + times(count) + where +
           " (at most " + std::to_string(l.max) + ")";
}

inline std::string limit_message(const LimitPlan& l, std::uint64_t count, const NameText& tool) {
    if (l.repeats()) {
        return quoted(tool.raw) + " was just called " + times(count) +
               " in a row with the same arguments; do not call it again with them.";
    }
    if (l.windowed()) {
        return subject(l) + " may be called at most " + times(l.max) + " in any " + l.per_text + " and " +
               (l.names.raw == "'*'" ? "were" : "was") + " called " + times(count) + " in the last " + l.per_text +
               "; wait before calling again.";
    }
    return subject(l) + " may be called at most " + times(l.max) + " in this run and " +
           (l.names.raw == "'*'" ? "were" : "was") + " called " + times(count) + "; do not call again.";
}

inline std::string ask_explanation(const AskPlan& a, const NameText& tool) {
    std::string out = quoted(tool.raw) + " needs a person's approval before it runs";
    if (!a.conditions.empty() && a.after) {
        out += " (its arguments meet the entry's conditions, and " + a.after_names.raw + " has run)";
    } else if (!a.conditions.empty()) {
        out += " (its arguments meet the entry's conditions)";
    } else if (a.after) {
        out += " (" + a.after_names.raw + " has run in this session)";
    }
    return out;
}

inline std::string denied_explanation(const NameText& tool, const std::string* reason) {
    std::string out = quoted(tool.raw) + " was denied approval";
    if (reason && !reason->empty()) out += ": " + *reason;
    return out;
}

// The matched text as explanations show it: at most `shown_run` code points.
inline constexpr std::size_t shown_run = 48;
inline std::string shortened(std::string_view text) {
    std::size_t cps = 0, i = 0;
    for (; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 && cps++ == shown_run) break;
    }
    std::string out(text.substr(0, i));
    if (i < text.size()) out += "...";
    return out;
}

inline std::string step_of(std::uint64_t step) { return "step " + std::to_string(step); }

inline std::string flow_explanation(const FlowPlan& f, const NameText& tool, bool untracked, std::uint64_t source_step,
                                    const std::string& source_tool, const std::string& argument,
                                    const std::string& matched) {
    std::string out;
    if (untracked) {
        out += "the results of ";
        out += f.from_names.raw;
        out += " recorded in this session passed max_tracked_bytes, so the arguments of ";
        out += quoted(tool.raw);
        out += " cannot be traced to them";
    } else if (!f.value()) {
        out += quoted(tool.raw);
        out += " is called after the result of ";
        out += quoted(source_tool);
        out += " at ";
        out += step_of(source_step);
        out += " brought ";
        out += f.from_names.raw;
        out += " content into the run";
    } else {
        out += "argument ";
        out += quoted(argument);
        out += " of ";
        out += quoted(tool.raw);
        out += " holds ";
        out += quoted(shortened(matched));
        out += " from the result of ";
        out += quoted(source_tool);
        out += " at ";
        out += step_of(source_step);
    }
    return out;
}

inline std::string flow_message(const FlowPlan& f, const NameText& tool, bool untracked, std::uint64_t source_step,
                                const std::string& source_tool, const std::string& argument) {
    std::string why;
    if (untracked) {
        why = "this run recorded more results than can be traced";
    } else if (!f.value()) {
        why = "the result of " + quoted(source_tool) + " (" + step_of(source_step) + ") is in this run";
    } else {
        why = "argument " + quoted(argument) + " holds text from the result of " + quoted(source_tool) + " (" +
              step_of(source_step) + ")";
    }
    if (f.ask) return "Calling " + quoted(tool.raw) + " needs a person's approval: " + why + ".";
    return quoted(tool.raw) + " may not be called with data from " + f.from_names.raw + ": " + why + ".";
}

}  // namespace language_text

// The record of a limit, ask or denied failure (StepFailure kinds).
RuleEvaluation language_evaluation(const LanguagePlan& plan, const StepFailure& f, const NameText& tool,
                                   const std::vector<std::string>& values);
// Its sentence for the model.
std::string language_message(const LanguagePlan& plan, const StepFailure& f, const NameText& tool,
                             const std::vector<std::string>& values);

}  // namespace ostik::detail
