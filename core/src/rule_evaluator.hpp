// The rule evaluator: judging each of the eight rule kinds at one step,
// against the state as it stood after the step before. It runs for every rule
// at every step, so it is inline where steps are judged (step_judgement.hpp).
#pragma once

#include <algorithm>
#include <cstdint>

#include "explain_plan.hpp"
#include "trace_state.hpp"

namespace ostik::detail {

inline bool TraceState::called(const NameSet& names) const {
    for (NameId id : names.ids) {
        if (name_calls_[id] != 0) return true;
    }
    return false;
}

inline std::uint64_t TraceState::total_calls(const NameSet& names) const {
    std::uint64_t sum = 0;
    for (NameId id : names.ids) sum += name_calls_[id];
    return sum;
}

inline Outcome TraceState::decide(std::size_t rule_index, StepTool tool, std::uint64_t step_index) const {
    const PlannedRule& r = plan_.rules[rule_index];
    const RuleEntry& entry = entries_[rule_index];
    Outcome o;
    switch (r.kind) {
        case 0:  // require: judged at the end of the trace
            o.message = Message::require_at_end;
            break;

        case 1:  // eventually: the current call counts
            o.seen = called(r.set_a) || r.set_a.contains(tool.name_id);
            if (o.seen) {
                o.message = Message::eventually_seen;
            } else if (step_index < r.number) {
                o.message = Message::eventually_pending;
            } else {
                o.passed = false;
                o.message = Message::eventually_missed;
            }
            break;

        case 2:  // max_calls
            // Calling the tool counts only that exact name's calls plus this one;
            // any other step reports the total over the names.
            o.count = r.set_a.contains(tool.name_id) ? std::uint64_t{name_calls_[tool.name_id]} + 1
                                                     : total_calls(r.set_a);
            o.passed = o.count <= r.number;
            o.message = o.passed ? Message::max_call : Message::max_exceeded;
            break;

        case 3:  // before: a call of `first` at this very step does not count
            o.is_then = r.set_b.contains(tool.name_id);
            o.seen = name_calls_[r.first_itself] != 0 || called(r.set_a);
            if (!o.is_then) {
                o.message = Message::before_not_then;
            } else if (o.seen) {
                o.message = Message::before_ok;
            } else {
                o.passed = false;
                o.message = Message::before_missing;
            }
            break;

        case 4: {  // after: while a window is open the trigger is not consulted
            const bool is_then = r.set_b.contains(tool.name_id);
            if (entry.open) {
                o.count = entry.step;
                o.deadline = entry.deadline;
                const bool in_time = step_index <= entry.deadline;
                o.passed = in_time;
                if (is_then) {
                    o.message = in_time ? Message::after_satisfied : Message::after_late;
                } else {
                    o.message = in_time ? Message::after_pending : Message::after_missed;
                }
            } else {
                o.message = r.set_a.contains(tool.name_id) ? Message::after_triggered : Message::after_waiting;
            }
            break;
        }

        case 5: {  // never_after: judged from the step after the first trigger call on
            const bool is_trigger = r.set_a.contains(tool.name_id);
            o.seen = entry.open || is_trigger;
            if (entry.open) {
                o.count = entry.step;
                o.passed = !r.set_b.contains(tool.name_id);
                o.message = o.passed ? Message::never_after_armed : Message::never_after_violated;
            } else {
                o.message = is_trigger ? Message::never_after_triggered : Message::never_after_waiting;
            }
            break;
        }

        case 6: {  // sequence
            const std::uint32_t p = entry.progress;
            o.count = p;
            if (p >= r.elements.size()) {
                o.message = Message::sequence_complete;
                break;
            }
            const bool is_expected = r.element_sets[p].contains(tool.name_id);
            if (r.strict) {
                if (is_expected) {
                    o.message = Message::sequence_step;
                } else if (p == 0) {
                    o.message = Message::sequence_waiting_start;
                } else {
                    o.passed = false;
                    o.message = Message::sequence_strict_mismatch;
                }
                break;
            }
            // A tool that matches a later element is ahead of its turn, even
            // when it matches the expected one too.
            auto later = std::lower_bound(r.last_element.begin(), r.last_element.end(), tool.name_id,
                                          [](const auto& e, NameId id) { return e.first < id; });
            if (tool.name_id != no_name && later != r.last_element.end() && later->first == tool.name_id &&
                later->second > p) {
                o.passed = false;
                o.message = Message::sequence_order_violated;
            } else {
                o.message = is_expected ? Message::sequence_step : Message::sequence_waiting;
            }
            break;
        }

        default:  // blocklist: a plain substring test, no aliases
            o.passed = tool.name.find(r.text_a.raw) == std::string_view::npos;
            o.message = o.passed ? Message::blocklist_clear : Message::blocklist_match;
            break;
    }
    return o;
}

inline bool TraceState::passes_plainly(const FailableRule& rule, StepTool tool, std::uint64_t step_index) const {
    switch (rule.kind) {
        case 2:
            // The total, when within the limit, is the sum decide() makes:
            // no name's count can have wrapped.
            return (rule.named ? std::uint64_t{name_calls_[tool.name_id]} + 1 : totals_[rule.rule]) <= rule.number;
        case 4: {  // before its last position a window passes, enforcing or not
            const RuleEntry& entry = entries_[rule.rule];
            return !entry.open || step_index < entry.deadline;
        }
        case 5:
            return !entries_[rule.rule].open;
        default:
            return false;
    }
}

inline bool TraceState::passes_plainly(const PlainPass& pass, StepTool tool, std::uint64_t step_index) const {
    if (!pass.usable) return false;
    if (tool.name_id != no_name && std::uint64_t{name_calls_[tool.name_id]} + 1 > pass.named_limit) return false;
    for (const FailableRule& r : pass.totals) {
        if (totals_[r.rule] > r.number) return false;
    }
    for (const std::uint32_t k : pass.windows) {
        if (entries_[k].open && step_index >= entries_[k].deadline) return false;
    }
    for (const std::uint32_t k : pass.armed) {
        if (entries_[k].open) return false;
    }
    return true;
}

// Enforcing, a refused call never happened, so a window past its deadline
// would refuse every later call, `then` included. The call that would let the
// window pass is refused instead: at its last position, anything but `then`
// (which passes) or the trigger (which re-opens it).
inline void refuse_window_end(const PlannedRule& r, Outcome& o, StepTool tool, std::uint64_t step_index) {
    if (o.message == Message::after_pending && o.deadline == step_index && !r.set_a.contains(tool.name_id)) {
        o.passed = false;
        o.message = Message::after_due;
    }
}

}  // namespace ostik::detail
