// TraceExplainer: its construction and the explanation as records.
#include "argument_text.hpp"
#include "explain_driver.hpp"
#include "explain_plan.hpp"
#include "ostik/explain.hpp"
#include "rule_text.hpp"

namespace ostik {

const char* verdict_name(Verdict v) {
    switch (v) {
        case Verdict::allowed: return "allowed";
        case Verdict::blocked: return "blocked";
        case Verdict::warning: return "warning";
        case Verdict::ask: return "ask";
    }
    return "allowed";
}

TraceExplainer::TraceExplainer(Policy policy)
    : policy_(std::make_unique<const Policy>(std::move(policy))),
      plan_(std::make_unique<const detail::ExplainPlan>(*policy_)) {}

TraceExplainer::~TraceExplainer() = default;
TraceExplainer::TraceExplainer(TraceExplainer&&) noexcept = default;
TraceExplainer& TraceExplainer::operator=(TraceExplainer&&) noexcept = default;

namespace {

using namespace detail;

class RecordBuilder {
public:
    RecordBuilder(const ExplainPlan& plan, const ArgumentPlan* arguments) : plan_(plan), arguments_(arguments) {}

    void begin(std::size_t n) {
        result_.policy_name = plan_.policy.name;
        result_.policy_version = plan_.policy.version;
        result_.steps.reserve(n);
    }

    void begin_step(std::uint64_t index, const ToolCall& call, const Slot&) {
        ExplainedStep& step = result_.steps.emplace_back();
        step.index = index;
        step.tool = call.tool;
        step.args = call.args;
        step.rules_evaluated.reserve(plan_.rules.size() + 1);
    }

    void tool_check(ToolVerdict v, const Slot& slot) {
        result_.steps.back().rules_evaluated.push_back(tool_check_evaluation(v, slot.text));
    }

    void argument(const ArgumentRule& r, const ArgumentFailure& f) {
        result_.steps.back().rules_evaluated.push_back(argument_evaluation(r, f.item, failure_value(f)));
    }

    void rule(const PlannedRule& r, const Outcome& o, const Slot& slot, std::uint64_t index) {
        result_.steps.back().rules_evaluated.push_back(to_evaluation(r, o, slot.text, index));
    }

    void end_step(Verdict verdict, const TraceState& state) {
        ExplainedStep& step = result_.steps.back();
        step.verdict = verdict;
        step.state_snapshot.reserve(state.slots_by_name().size());
        for (std::uint32_t s : state.slots_by_name()) {
            const Slot& slot = state.slot(s);
            step.state_snapshot.emplace("calls:" + slot.text.raw, std::to_string(slot.calls));
        }
    }

    void finish(const Totals& t) {
        result_.total_steps = t.total_steps;
        result_.allowed_steps = t.allowed_steps;
        result_.blocked_steps = t.blocked_steps;
        result_.first_block_index = t.first_block_index;
        for (std::size_t id : t.blocking_rules) result_.blocking_rules.push_back(id_text(plan_, arguments_, id).raw);
    }

    TraceExplanation take() { return std::move(result_); }

private:
    const ExplainPlan& plan_;
    const ArgumentPlan* arguments_;
    TraceExplanation result_;
};

}  // namespace

TraceExplanation detail::explanation_records(const ExplainPlan& plan, const ArgumentPlan* arguments,
                                             std::span<const ToolCall> steps) {
    RecordBuilder builder(plan, arguments);
    drive(plan, steps, builder, arguments);
    return builder.take();
}

TraceExplanation TraceExplainer::explain(std::span<const ToolCall> steps) const {
    return explanation_records(*plan_, nullptr, steps);
}

}  // namespace ostik
