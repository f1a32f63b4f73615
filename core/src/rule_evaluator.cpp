// The rule evaluator: judging each of the eight rule kinds at one step, and
// the state advance that follows a step.
#include <algorithm>

#include "explain_plan.hpp"
#include "ostik/explain.hpp"
#include "rule_text.hpp"
#include "trace_state.hpp"

namespace ostik {

namespace detail {

TraceState::TraceState(const ExplainPlan& plan)
    : plan_(plan), name_calls_(plan.name_count(), 0), entries_(plan.rules.size()) {}

std::uint32_t TraceState::enter(std::string_view tool) {
    auto it = slot_of_.find(tool);
    if (it != slot_of_.end()) return it->second;
    const auto s = static_cast<std::uint32_t>(slots_.size());
    Slot& slot = slots_.emplace_back();
    slot.index = s;
    slot.text = name_text(tool);
    slot.snapshot_key = "\"calls:" + slot.text.json + "\":\"";
    slot.name_id = plan_.name_id(tool);
    slot_of_.emplace(std::string(tool), s);
    auto pos = std::lower_bound(by_name_.begin(), by_name_.end(), tool,
                                [this](std::uint32_t l, std::string_view t) { return slots_[l].text.raw < t; });
    by_name_.insert(pos, s);
    return s;
}

bool TraceState::called(const NameSet& names) const {
    for (NameId id : names.ids) {
        if (name_calls_[id] != 0) return true;
    }
    return false;
}

std::uint64_t TraceState::total_calls(const NameSet& names) const {
    std::uint64_t sum = 0;
    for (NameId id : names.ids) sum += name_calls_[id];
    return sum;
}

Outcome TraceState::decide(std::size_t rule_index, StepTool tool, std::uint64_t step_index) const {
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

void TraceState::advance(std::uint32_t s) {
    Slot& slot = slots_[s];
    const std::uint64_t i = steps_++;
    ++slot.calls;
    const NameId id = slot.name_id;
    if (id == no_name) return;  // no rule names this tool
    ++name_calls_[id];
    for (std::uint32_t k : plan_.stateful_rules[id]) {
        const PlannedRule& r = plan_.rules[k];
        RuleEntry& e = entries_[k];
        switch (r.kind) {
            case 4:
                if (e.open && r.set_b.contains(id)) {
                    e.then_called = true;
                    // A window answered in time is done with; a late answer
                    // leaves it in place.
                    if (i <= e.deadline) e.open = false;
                }
                if (r.set_a.contains(id)) {
                    e.open = true;
                    e.then_called = false;
                    e.step = i;
                    e.deadline = i + r.number;
                }
                break;
            case 5:
                if (!e.open && r.set_a.contains(id)) {
                    e.open = true;
                    e.step = i;
                }
                break;
            default:  // sequence
                if (e.progress < r.element_sets.size() && r.element_sets[e.progress].contains(id)) ++e.progress;
                break;
        }
    }
}

std::optional<Outcome> TraceState::end_check(std::size_t rule_index) const {
    const PlannedRule& r = plan_.rules[rule_index];
    Outcome o;
    o.passed = false;
    if (r.kind == 0 && !called(r.set_a)) {
        o.message = Message::end_require_missing;
        return o;
    }
    if (r.kind == 4) {
        const RuleEntry& e = entries_[rule_index];
        if (e.open && !e.then_called) {
            o.message = Message::end_after_missing;
            o.count = e.step;
            o.deadline = e.deadline;
            o.trace_len = steps_;
            return o;
        }
    }
    return std::nullopt;
}

}  // namespace detail

ExplainerState::ExplainerState(const TraceExplainer& explainer)
    : state_(std::make_unique<detail::TraceState>(explainer.plan())) {}
ExplainerState::~ExplainerState() = default;
ExplainerState::ExplainerState(ExplainerState&&) noexcept = default;
ExplainerState& ExplainerState::operator=(ExplainerState&&) noexcept = default;

NameList ExplainerState::resolve_alias(std::string_view name) const {
    const AliasMap& aliases = state_->plan().policy.aliases;
    auto it = aliases.find(std::string(name));
    if (it != aliases.end()) return it->second;
    return NameList{std::string(name)};
}

bool ExplainerState::matches(std::string_view tool, std::string_view name) const {
    const AliasMap& aliases = state_->plan().policy.aliases;
    auto it = aliases.find(std::string(name));
    if (it == aliases.end()) return tool == name;
    return std::find(it->second.begin(), it->second.end(), tool) != it->second.end();
}

RuleEvaluation ExplainerState::evaluate_rule(std::size_t rule_index, std::string_view tool,
                                             std::uint64_t step_index) const {
    const detail::Outcome o = state_->decide(rule_index, state_->step_tool(tool), step_index);
    return detail::to_evaluation(state_->plan().rules[rule_index], o, detail::name_text(tool), step_index);
}

void ExplainerState::advance(std::string_view tool) { state_->advance(state_->enter(tool)); }

}  // namespace ostik
