// The per-trace rule state behind ExplainerState, and the outcome of judging
// one rule at one step. Tool names enter once per distinct name (a slot);
// every later step of that tool works with the slot's ids.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "explain_plan.hpp"
#include "ostik/tool_gate.hpp"

namespace ostik::detail {

// Which explanation template a judgement uses; the texts are in rule_text.hpp.
enum class Message : std::uint8_t {
    require_at_end,
    eventually_seen,
    eventually_pending,
    eventually_missed,
    max_exceeded,
    max_call,
    before_not_then,
    before_ok,
    before_missing,
    after_satisfied,
    after_late,
    after_pending,
    after_missed,
    after_triggered,
    after_waiting,
    never_after_violated,
    never_after_armed,
    never_after_triggered,
    never_after_waiting,
    sequence_complete,
    sequence_step,
    sequence_waiting_start,
    sequence_strict_mismatch,
    sequence_order_violated,
    sequence_waiting,
    blocklist_match,
    blocklist_clear,
    end_require_missing,  // end of trace: a require rule's tool was never called
    end_after_missing,    // end of trace: an after window was never answered
    after_due,            // enforcing: a call that would let an after window pass unanswered
};

// The judgement of one rule at one step: everything its explanation and
// context need besides the rule and the step.
struct Outcome {
    bool passed = true;
    Message message = Message::require_at_end;
    bool seen = false;            // eventually: seen; before: first_seen; never_after: triggered
    bool is_then = false;         // before: is_then_call
    std::uint64_t count = 0;      // max_calls: the count; sequence: progress; after, never_after: trigger step
    std::uint64_t deadline = 0;   // after
    std::uint64_t trace_len = 0;  // end of trace, after

    friend bool operator==(const Outcome&, const Outcome&) = default;
};

// A rule a call of a slot's tool can fail, with what tells from a few numbers
// that it passes all the same (TraceState::passes_plainly).
struct FailableRule {
    std::uint32_t rule = 0;    // its index
    std::uint32_t number = 0;  // max_calls: the limit
    std::size_t kind = 0;      // PlannedRule::kind
    bool named = false;        // max_calls: the tool is one of the names it counts
};

// The failable rules of a slot by what passes_plainly asks of them, so that
// one pass tells that every one of them passes plainly: the steady state of
// a long run, where judging the call for failures would find none. Usable
// only when every rule left is a max_calls, after or never_after rule.
struct PlainPass {
    bool usable = false;
    std::uint64_t named_limit = std::numeric_limits<std::uint64_t>::max();  // the lowest limit of the max_calls rules naming the tool
    std::vector<FailableRule> totals;        // the other max_calls rules
    std::vector<std::uint32_t> windows;      // after rules
    std::vector<std::uint32_t> armed;        // never_after rules
};

// One distinct tool name of the trace.
struct Slot {
    std::uint32_t index = 0;   // its position among the trace's slots
    NameText text;
    std::string snapshot_key;  // "calls:<escaped name>":" for the report
    std::uint32_t calls = 0;
    NameId name_id = no_name;
    ToolVerdict gate = ToolVerdict::pass;  // the tool check, made once per name
    // ExplainPlan::failable_rules of the name, in policy order, less the
    // rules that were settled when the slot was last advanced: a settled
    // rule stays settled, so the calls of a long run judge fewer and fewer.
    std::vector<FailableRule> failable;
    std::uint32_t pruned_at = 0;  // TraceState's count of settled rules then
    PlainPass plain;              // of `failable`
};

// A step's tool as the evaluator sees it.
struct StepTool {
    std::string_view name;
    NameId name_id = no_name;
    ToolVerdict gate = ToolVerdict::pass;
    // The rules the call can fail (some may be settled), when known; null:
    // any rule.
    const std::vector<FailableRule>* failable = nullptr;
    const PlainPass* plain = nullptr;  // of `failable`, with it
};

// Per-rule entries, by rule index.
struct RuleEntry {
    bool open = false;            // after: a window is pending; never_after: the trigger was called
    bool then_called = false;     // after: `then` was called after the trigger step
    std::uint64_t step = 0;       // after: the trigger step; never_after: the first trigger step
    std::uint64_t deadline = 0;   // after
    std::uint32_t progress = 0;   // sequence

    friend bool operator==(const RuleEntry&, const RuleEntry&) = default;
};

class TraceState {
public:
    explicit TraceState(const ExplainPlan& plan);

    const ExplainPlan& plan() const { return plan_; }

    // The slot of a tool name, created on first sight (not yet counted).
    std::uint32_t enter(std::string_view tool);
    // The slot of a tool name seen before; none for a new name, made by nothing.
    std::optional<std::uint32_t> find(std::string_view tool) const {
        const auto it = slot_of_.find(tool);
        if (it == slot_of_.end()) return std::nullopt;
        return it->second;
    }
    const Slot& slot(std::uint32_t s) const { return slots_[s]; }
    std::size_t slot_count() const { return slots_.size(); }
    StepTool step_tool(std::uint32_t s) const {
        return {slots_[s].text.raw, slots_[s].name_id, slots_[s].gate, &slots_[s].failable, &slots_[s].plain};
    }
    // For a tool that need not have a slot.
    StepTool step_tool(std::string_view tool) const { return {tool, plan_.name_id(tool), plan_.gate.check(tool)}; }

    Outcome decide(std::size_t rule_index, StepTool tool, std::uint64_t step_index) const;

    // Whether a rule passes at every step from now on, whatever comes: an
    // eventually rule whose tool was called, a before rule whose `first`
    // was, a completed sequence. Judging for failures only skips them.
    bool settled(std::size_t rule_index) const { return settled_[rule_index] != 0; }

    // Whether a rule that the call can fail passes at this step all the
    // same, told from a few numbers without judging it: a max_calls rule
    // within its limit, an after window not open or not at its end, a
    // never_after rule not armed. False says nothing: judge the rule.
    bool passes_plainly(const FailableRule& rule, StepTool tool, std::uint64_t step_index) const;
    // Whether every rule of the pass passes plainly at this step; false when
    // it is not usable, or says nothing.
    bool passes_plainly(const PlainPass& pass, StepTool tool, std::uint64_t step_index) const;

    // Counts the call of slot `s` and moves the per-rule entries; the step
    // index is the number of steps entered before.
    void advance(std::uint32_t s);

    // After the last step: the failing end-of-trace check of a rule, if any.
    std::optional<Outcome> end_check(std::size_t rule_index) const;

    std::uint64_t steps() const { return steps_; }

    // What decides the judgements of later steps, for a session's bytes:
    // every count and entry, but not the slots (which only make the report).
    std::span<const std::uint32_t> name_calls() const { return name_calls_; }
    std::span<const RuleEntry> entries() const { return entries_; }
    // Sets them; the sizes are the plan's (name_count(), rules.size()).
    void restore(std::uint64_t steps, std::vector<std::uint32_t> name_calls, std::vector<RuleEntry> entries);

    // Slot indices in ascending byte order of their tool names.
    std::span<const std::uint32_t> slots_by_name() const { return by_name_; }

private:
    bool called(const NameSet& names) const;
    std::uint64_t total_calls(const NameSet& names) const;
    // Marks a rule settled from now on.
    void settle(std::uint32_t rule_index) {
        settled_count_ += settled_[rule_index] == 0;
        settled_[rule_index] = 1;
    }
    // The slot's failable rules for its name, less the settled ones.
    void plan_failable(Slot& slot, std::string_view tool);
    // Drops the slot's settled rules.
    void prune_failable(Slot& slot);

    const ExplainPlan& plan_;
    std::vector<Slot> slots_;
    std::vector<std::uint32_t> by_name_;
    std::unordered_map<std::string, std::uint32_t, StringHash, std::equal_to<>> slot_of_;
    std::vector<std::uint32_t> name_calls_;  // by name id
    std::vector<RuleEntry> entries_;         // by rule index
    std::vector<std::uint8_t> settled_;      // by rule index
    std::uint32_t settled_count_ = 0;        // of settled_ set
    std::vector<std::uint64_t> totals_;      // by rule index: a max_calls rule's calls over its names
    std::uint64_t steps_ = 0;
};

}  // namespace ostik::detail
