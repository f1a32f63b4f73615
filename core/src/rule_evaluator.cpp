// The rule state's life: entering tool names, the state advance that follows
// a step, and the end-of-trace checks. Judging a rule at a step is in
// rule_evaluator.hpp.
#include <algorithm>

#include "explain_plan.hpp"
#include "ostik/explain.hpp"
#include "rule_evaluator.hpp"
#include "rule_text.hpp"
#include "trace_state.hpp"

namespace ostik {

namespace detail {

TraceState::TraceState(const ExplainPlan& plan)
    : plan_(plan), name_calls_(plan.name_count(), 0), entries_(plan.rules.size()), settled_(plan.rules.size(), 0),
      totals_(plan.rules.size(), 0) {}

void TraceState::restore(std::uint64_t steps, std::vector<std::uint32_t> name_calls, std::vector<RuleEntry> entries) {
    steps_ = steps;
    name_calls_ = std::move(name_calls);
    entries_ = std::move(entries);
    for (std::size_t k = 0; k < plan_.rules.size(); ++k) {
        const PlannedRule& r = plan_.rules[k];
        bool done = false;
        if (r.kind == 1) done = called(r.set_a);
        else if (r.kind == 3) done = (r.first_itself != no_name && name_calls_[r.first_itself] != 0) || called(r.set_a);
        else if (r.kind == 6) done = entries_[k].progress >= r.element_sets.size();
        settled_[k] = done;
        totals_[k] = r.kind == 2 ? total_calls(r.set_a) : 0;
    }
    settled_count_ = static_cast<std::uint32_t>(std::count(settled_.begin(), settled_.end(), 1));
    // A rule settled before may not be now.
    for (Slot& slot : slots_) plan_failable(slot, slot.text.raw);
}

void TraceState::plan_failable(Slot& slot, std::string_view tool) {
    slot.failable.clear();
    for (const std::uint32_t k : plan_.failable_rules(slot.name_id, tool)) {
        if (settled_[k]) continue;
        const PlannedRule& r = plan_.rules[k];
        slot.failable.push_back({k, r.number, r.kind, r.kind == 2 && r.set_a.contains(slot.name_id)});
    }
    prune_failable(slot);
}

void TraceState::prune_failable(Slot& slot) {
    std::erase_if(slot.failable, [this](const FailableRule& f) { return settled_[f.rule] != 0; });
    slot.pruned_at = settled_count_;
    PlainPass& plain = slot.plain;
    plain = PlainPass{};
    plain.usable = true;
    for (const FailableRule& f : slot.failable) {
        if (f.kind == 2 && f.named) plain.named_limit = std::min<std::uint64_t>(plain.named_limit, f.number);
        else if (f.kind == 2) plain.totals.push_back(f);
        else if (f.kind == 4) plain.windows.push_back(f.rule);
        else if (f.kind == 5) plain.armed.push_back(f.rule);
        else plain.usable = false;
    }
}

std::uint32_t TraceState::enter(std::string_view tool) {
    auto it = slot_of_.find(tool);
    if (it != slot_of_.end()) return it->second;
    const auto s = static_cast<std::uint32_t>(slots_.size());
    Slot& slot = slots_.emplace_back();
    slot.index = s;
    slot.text = name_text(tool);
    slot.snapshot_key = "\"calls:" + slot.text.json + "\":\"";
    slot.name_id = plan_.name_id(tool);
    slot.gate = plan_.gate.check(tool);
    plan_failable(slot, tool);
    slot_of_.emplace(std::string(tool), s);
    auto pos = std::lower_bound(by_name_.begin(), by_name_.end(), tool,
                                [this](std::uint32_t l, std::string_view t) { return slots_[l].text.raw < t; });
    by_name_.insert(pos, s);
    return s;
}

void TraceState::advance(std::uint32_t s) {
    Slot& slot = slots_[s];
    if (slot.pruned_at != settled_count_) prune_failable(slot);
    const std::uint64_t i = steps_++;
    ++slot.calls;
    const NameId id = slot.name_id;
    if (id == no_name) return;  // no rule names this tool
    ++name_calls_[id];
    for (std::uint32_t k : plan_.settling_rules[id]) settle(k);
    for (const auto& [k, times] : plan_.counting_rules[id]) totals_[k] += times;
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
                if (e.progress < r.element_sets.size() && r.element_sets[e.progress].contains(id)) {
                    if (++e.progress == r.element_sets.size()) settle(k);
                }
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
