// The live guard: one call at a time through the same judgement, state and
// texts as the explanation report.
#include "ostik/guard.hpp"

#include <algorithm>
#include <optional>
#include <utility>

#include "explain_plan.hpp"
#include "ostik/json_writer.hpp"
#include "rule_text.hpp"
#include "step_failure.hpp"
#include "step_judgement.hpp"
#include "trace_state.hpp"

namespace ostik {

Guard::Guard(Policy policy) : explainer_(std::move(policy)) {}

namespace {

using namespace detail;

// Records are made for failed checks only, so that judging a step that
// passes everything allocates nothing.
GuardDecision judge(const TraceState& state, StepTool tool) {
    GuardDecision d;
    d.step = state.steps();
    d.tool = tool.name;
    std::vector<StepFailure> failed;
    StepFailureSink sink{failed, d.step};
    d.verdict = judge_step(state.plan(), state, tool, d.step, sink).verdict;
    if (!failed.empty()) {
        const NameText text = name_text(tool.name);
        d.failures.reserve(failed.size());
        for (const StepFailure& f : failed) d.failures.push_back(failure_record(state.plan(), f, text));
    }
    return d;
}

// The call as one step line of a trace file: an object with its keys in
// order, "args" only when the call has arguments.
void write_step_line(std::string& out, const ToolCall& call) {
    out.clear();
    out += '{';
    if (call.args) {
        out += "\"args\":";
        json::write_value(out, *call.args);
        out += ',';
    }
    out += "\"tool\":";
    json::write_string(out, call.tool);
    out += "}\n";
}

// A line buffer that once held a huge call is not kept at that size.
constexpr std::size_t kept_line_bytes = std::size_t{64} << 10;

}  // namespace

GuardSession::GuardSession(std::shared_ptr<const Guard> guard, std::unique_ptr<TraceWriter> writer,
                           bool keep_calls)
    : guard_(std::move(guard)),
      writer_(std::move(writer)),
      keep_calls_(keep_calls),
      state_(std::make_unique<TraceState>(guard_->explainer().plan())) {}

GuardSession::~GuardSession() = default;

std::expected<GuardDecision, TraceWriter::AppendError> GuardSession::check(ToolCall call) {
    std::lock_guard lock(mutex_);
    // Everything that may fail comes before the line is written, so that a
    // written line is always entered. A new tool's slot, made here, counts
    // nothing until the call is entered.
    if (keep_calls_ && calls_.size() == calls_.capacity()) calls_.reserve(std::max<std::size_t>(64, calls_.size() * 2));
    const std::uint32_t slot = state_->enter(call.tool);
    GuardDecision decision = judge(*state_, state_->step_tool(slot));
    if (writer_) {
        write_step_line(line_, call);
        auto written = writer_->append(line_);
        if (line_.capacity() > kept_line_bytes) std::string().swap(line_);
        if (!written) return std::unexpected(std::move(written.error()));
    }
    state_->advance(slot);
    if (keep_calls_) calls_.push_back(std::move(call));
    return decision;
}

GuardDecision GuardSession::peek(const ToolCall& call) const {
    std::lock_guard lock(mutex_);
    // Looked up, not entered: asking about a tool leaves no trace of it.
    return judge(*state_, state_->step_tool(call.tool));
}

std::vector<RuleEvaluation> GuardSession::finish() const {
    std::lock_guard lock(mutex_);
    const ExplainPlan& plan = state_->plan();
    std::vector<RuleEvaluation> failures;
    // End-of-trace texts name no step tool.
    const NameText no_tool;
    for (std::size_t k = 0; k < plan.rules.size(); ++k) {
        if (const auto o = state_->end_check(k)) {
            failures.push_back(to_evaluation(plan.rules[k], *o, no_tool, state_->steps()));
        }
    }
    return failures;
}

std::uint64_t GuardSession::steps() const {
    std::lock_guard lock(mutex_);
    return state_->steps();
}

std::optional<std::string> GuardSession::explain_json() const {
    if (!keep_calls_) return std::nullopt;
    std::lock_guard lock(mutex_);
    return guard_->explainer().explain_json(calls_);
}

}  // namespace ostik
