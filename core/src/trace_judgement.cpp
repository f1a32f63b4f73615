// A whole trace judged through the guard's step judgement and rule state, as
// a session judges it call by call.
#include "ostik/trace_judgement.hpp"

#include <algorithm>
#include <utility>

#include "argument_plan.hpp"
#include "decision_message.hpp"
#include "explain_plan.hpp"
#include "language_state.hpp"
#include "recorded_steps.hpp"
#include "step_failure.hpp"
#include "step_judgement.hpp"
#include "trace_state.hpp"

namespace ostik {

using namespace detail;

TraceJudgement::TraceJudgement(std::shared_ptr<const Guard> guard)
    : guard_(std::move(guard)),
      state_(std::make_unique<TraceState>(guard_->explainer().plan())),
      language_(std::make_unique<LanguageState>(guard_->arguments().language(), guard_->max_tracked_bytes())),
      listed_(guard_->arguments().id_count(), 0),
      entry_counts_(guard_->arguments().language().asks().size() + guard_->arguments().language().limits().size() +
                    guard_->arguments().language().flows().size()) {}

TraceJudgement::~TraceJudgement() = default;
TraceJudgement::TraceJudgement(TraceJudgement&&) noexcept = default;
TraceJudgement& TraceJudgement::operator=(TraceJudgement&&) noexcept = default;

void TraceJudgement::list_blocking(std::size_t id_index) {
    if (!listed_[id_index]) {
        listed_[id_index] = 1;
        blocking_rules_.push_back(guard_->arguments().id(id_index).raw);
    }
}

void TraceJudgement::add_step(std::string_view tool, const std::optional<Value>& args, std::optional<double> ts) {
    add(tool, &args, nullptr, ts);
}

void TraceJudgement::add_step(std::string_view tool, const UnjudgedArguments& unjudged, std::optional<double> ts) {
    add(tool, nullptr, &unjudged, ts);
}

void TraceJudgement::add(std::string_view tool, const std::optional<Value>* args, const UnjudgedArguments* unjudged,
                         std::optional<double> ts) {
    const ExplainPlan& plan = state_->plan();
    const std::uint64_t step = state_->steps();
    if (step_slots_.size() == step_slots_.capacity()) step_slots_.reserve(std::max<std::size_t>(64, step * 2));
    const std::uint32_t slot = state_->enter(tool);
    StepFailureSink sink{failures_, values_, step};
    StepVerdict judged = judge_step(plan, *state_, state_->step_tool(slot), step, sink,
                                    CallArguments{&guard_->arguments(), args, unjudged});
    if (!language_->plan().empty()) {
        static const std::optional<Value> none;
        const EntryStep entry = judge_recorded_entries(*language_, slot, tool, args ? *args : none, ts, judged, sink,
                                                       entry_counts_.data());
        windows_unjudged_ = windows_unjudged_ || entry.windows_unjudged;
        if (entry.ask) {
            StepFailure f;
            f.step = step;
            f.kind = StepFailure::Kind::ask;
            f.check = *entry.ask;
            asked_.emplace_back(step, static_cast<std::uint32_t>(asks_.size()));
            asks_.push_back(f);
        } else if (entry.ask_flow) {
            // The sink took it as the step's last failure; it is an ask, kept apart (its values stay).
            asked_.emplace_back(step, static_cast<std::uint32_t>(asks_.size()));
            asks_.push_back(failures_.back());
            failures_.pop_back();
        }
    }
    state_->advance(slot);
    step_slots_.push_back(slot);
    if (judged.blocked()) {
        ++blocked_steps_;
        if (!first_block_) first_block_ = step;
        list_blocking(judged.blocked_by);
    }
}

void TraceJudgement::add_result(std::uint64_t step, const Value& result) {
    if (step >= step_slots_.size()) return;
    const std::uint32_t slot = step_slots_[step];
    record_step_result(*language_, slot, step, state_->slot(slot).text.raw, result);
}

void TraceJudgement::finish() {
    const ExplainPlan& plan = state_->plan();
    // End-of-trace texts name no step tool.
    const NameText no_tool;
    for (std::size_t k = 0; k < plan.rules.size(); ++k) {
        if (const auto o = state_->end_check(k)) {
            end_failures_.push_back(to_evaluation(plan.rules[k], *o, no_tool, state_->steps()));
            list_blocking(plan.rules[k].id_index);
        }
    }
}

const std::string& TraceJudgement::tool(std::uint64_t step) const { return state_->slot(step_slots_[step]).text.raw; }

TraceJudgement::FailureRange TraceJudgement::failures_of(std::uint64_t step) const {
    auto first = std::lower_bound(failures_.begin(), failures_.end(), step,
                                  [](const StepFailure& f, std::uint64_t s) { return f.step < s; });
    auto last = first;
    while (last != failures_.end() && last->step == step) ++last;
    return {static_cast<std::size_t>(first - failures_.begin()), static_cast<std::size_t>(last - failures_.begin())};
}

const std::string& TraceJudgement::failure_rule_id(std::size_t index) const {
    const ArgumentPlan& arguments = guard_->arguments();
    return arguments.id(failures_[index].id_index(state_->plan(), &arguments)).raw;
}

const char* TraceJudgement::failure_rule_type(std::size_t index) const {
    return failures_[index].rule_type(state_->plan(), &guard_->arguments());
}

RuleEvaluation TraceJudgement::failure_record(std::size_t index) const {
    const StepFailure& f = failures_[index];
    return detail::failure_record(state_->plan(), &guard_->arguments(), f, state_->slot(step_slots_[f.step]).text,
                                  values_);
}

GuardDecision TraceJudgement::decision(std::uint64_t step) const {
    GuardDecision d;
    d.step = step;
    d.tool = tool(step);
    const FailureRange range = failures_of(step);
    if (!range.empty()) {
        d.verdict = Verdict::blocked;
        d.failures.reserve(range.last - range.first);
        for (std::size_t i = range.first; i < range.last; ++i) d.failures.push_back(failure_record(i));
        const StepFailure& first = failures_[range.first];
        d.message = decision_message(state_->plan(), &guard_->arguments(), first,
                                     state_->slot(step_slots_[step]).text, values_);
    } else if (!asked_.empty()) {
        const auto it = std::lower_bound(asked_.begin(), asked_.end(), step,
                                         [](const auto& a, std::uint64_t s) { return a.first < s; });
        if (it != asked_.end() && it->first == step) {
            const StepFailure& f = asks_[it->second];
            const NameText& text = state_->slot(step_slots_[step]).text;
            d.verdict = Verdict::ask;
            d.failures.push_back(detail::failure_record(state_->plan(), &guard_->arguments(), f, text, values_));
            d.message = decision_message(state_->plan(), &guard_->arguments(), f, text, values_);
        }
    }
    return d;
}

}  // namespace ostik
