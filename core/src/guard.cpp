// The live guard: one call at a time through the same judgement, state and
// texts as the explanation report.
#include "ostik/guard.hpp"

#include <algorithm>
#include <chrono>
#include <optional>
#include <utility>

#include "argument_plan.hpp"
#include "decision_message.hpp"
#include "explain_driver.hpp"
#include "explain_plan.hpp"
#include "language_state.hpp"
#include "ostik/json_writer.hpp"
#include "ostik/policy_encoding.hpp"
#include "rule_text.hpp"
#include "step_failure.hpp"
#include "step_judgement.hpp"
#include "trace_state.hpp"

namespace ostik {

using namespace detail;

Guard::Guard(TraceExplainer explainer, std::unique_ptr<const ArgumentPlan> arguments)
    : explainer_(std::move(explainer)), arguments_(std::move(arguments)) {}

Guard::~Guard() = default;
Guard::Guard(Guard&&) noexcept = default;
Guard& Guard::operator=(Guard&&) noexcept = default;

std::expected<Guard, ArgumentRuleError> Guard::create(Policy policy) {
    TraceExplainer explainer(std::move(policy));
    // The plan lives on the heap with the explainer: moving the explainer
    // leaves the argument plan's reference to it valid.
    auto arguments = ArgumentPlan::compile(explainer.plan());
    if (!arguments) return std::unexpected(std::move(arguments.error()));
    Guard guard(std::move(explainer), std::move(*arguments));
    guard.fingerprint_ = policy_fingerprint(encode_policy(guard.policy()));
    return guard;
}

std::vector<ArgumentRuleInfo> Guard::argument_rules() const {
    std::vector<ArgumentRuleInfo> out;
    out.reserve(arguments_->rules().size());
    for (const ArgumentRule& r : arguments_->rules()) {
        ArgumentRuleInfo& info = out.emplace_back();
        info.rule_id = r.id.raw;
        info.rule_type = r.rule_type();
        info.tool = r.tool.raw;
        for (const NameText& a : r.arguments) info.arguments.push_back(a.raw);
        for (const ArgOperator& op : r.ops) info.operators.push_back(arg_op_names[static_cast<std::size_t>(op.op)]);
    }
    return out;
}

std::vector<std::string> Guard::sequence_rule_ids() const {
    std::vector<std::string> ids;
    for (const PlannedRule& r : explainer_.plan().rules) ids.push_back(r.id.raw);
    return ids;
}

std::vector<Guard::EntryInfo> Guard::entries() const {
    std::vector<EntryInfo> out;
    const LanguagePlan& language = arguments_->language();
    const Policy& p = policy();
    for (std::size_t k = 0; k < language.asks().size(); ++k) {
        out.push_back({language.asks()[k].id.raw, "ask", p.ask[k].tools});
    }
    for (std::size_t k = 0; k < language.limits().size(); ++k) {
        const LimitPlan& l = language.limits()[k];
        out.push_back({l.id.raw, l.repeats() ? "repeat" : "limit", p.limits[k].tools.empty() ? NameList{"*"} : p.limits[k].tools});
    }
    for (std::size_t k = 0; k < language.flows().size(); ++k) {
        out.push_back({language.flows()[k].id.raw, "flow", p.flows[k].to});
    }
    return out;
}

bool Guard::windowed_limits() const { return arguments_->language().windowed(); }
bool Guard::has_flows() const { return arguments_->language().has_flows(); }
bool Guard::entries_name(std::string_view tool) const { return arguments_->language().names_tool(tool); }

std::string Guard::explain_json(std::span<const ToolCall> steps) const {
    return explanation_json(explainer_.plan(), arguments_.get(), steps);
}

TraceExplanation Guard::explain(std::span<const ToolCall> steps) const {
    return explanation_records(explainer_.plan(), arguments_.get(), steps);
}

// ---- SessionDecision --------------------------------------------------------

SessionDecision::SessionDecision() = default;
SessionDecision::~SessionDecision() = default;
SessionDecision::SessionDecision(const SessionDecision&) = default;
SessionDecision& SessionDecision::operator=(const SessionDecision&) = default;
SessionDecision::SessionDecision(SessionDecision&&) noexcept = default;
SessionDecision& SessionDecision::operator=(SessionDecision&&) noexcept = default;

const std::string* SessionDecision::blocked_by() const {
    if (failures_.empty()) return nullptr;
    const ArgumentPlan& arguments = guard_->arguments();
    return &arguments.id(failures_.front().id_index(guard_->explainer().plan(), &arguments)).raw;
}

std::string SessionDecision::reason() const {
    if (failures_.empty()) return {};
    return failure_record(guard_->explainer().plan(), &guard_->arguments(), failures_.front(), name_text(tool_),
                          values_)
        .explanation;
}

std::string SessionDecision::message() const {
    if (failures_.empty()) return {};
    return decision_message(guard_->explainer().plan(), &guard_->arguments(), failures_.front(), name_text(tool_),
                            values_);
}

GuardDecision SessionDecision::record() const {
    GuardDecision d;
    d.verdict = verdict_;
    d.step = step_;
    d.tool = tool_;
    d.call_id = call_id_;
    if (!failures_.empty()) {
        const ExplainPlan& plan = guard_->explainer().plan();
        const NameText text = name_text(tool_);
        d.failures.reserve(failures_.size());
        for (const StepFailure& f : failures_) d.failures.push_back(failure_record(plan, &guard_->arguments(), f, text, values_));
        d.message = decision_message(plan, &guard_->arguments(), failures_.front(), text, values_);
    }
    return d;
}

namespace {

// The JSON text of a time, as the lines carry it.
void write_time(std::string& out, std::optional<double> ts) {
    if (!ts) return;
    out += ",\"ts\":";
    json::write_value(out, Value(*ts));
}

// The "args" member of a call's line and its comma, when the call has
// arguments.
void write_args_member(std::string& out, const ToolCall& call) {
    if (!call.args) return;
    out += "\"args\":";
    json::write_value(out, *call.args);
    out += ',';
}

// What a refused or asked call was stopped by: {"reason":...,"rule_id":...}.
void write_stop(std::string& out, const SessionDecision& d) {
    out += "{\"reason\":";
    json::write_string(out, d.reason());
    out += ",\"rule_id\":";
    json::write_string(out, *d.blocked_by());
    out += '}';
}

// The close of every call's line: the tool, the time when it has one.
void close_line(std::string& out, const ToolCall& call, std::optional<double> ts) {
    out += "\"tool\":";
    json::write_string(out, call.tool);
    write_time(out, ts);
    out += "}\n";
}

// The call as one step line of a trace file: an object with its keys in
// order, "args" only when the call has arguments, "ts" when it has a time.
void write_step_line(std::string& out, const ToolCall& call, std::optional<double> ts) {
    out.assign(1, '{');
    write_args_member(out, call);
    close_line(out, call, ts);
}

// A refused call: its step line with what refused it,
// {"args":...,"refused":{"reason":...,"rule_id":...},"tool":...,"ts":...}.
void write_refused_line(std::string& out, const ToolCall& call, const SessionDecision& d, std::optional<double> ts) {
    out.assign(1, '{');
    write_args_member(out, call);
    out += "\"refused\":";
    write_stop(out, d);
    out += ',';
    close_line(out, call, ts);
}

// A call an ask entry applied to, and what became of it:
// {"approved":true|false,"args":...,"ask":{"reason":...,"rule_id":...},"denial":...,"tool":...,"ts":...};
// "approved" is left out when nothing waited (observing), "denial" unless a
// reason was given for a denial.
void write_ask_line(std::string& out, const ToolCall& call, const SessionDecision& asked, std::optional<bool> approved,
                    const std::optional<std::string>& denial, std::optional<double> ts) {
    out.assign(1, '{');
    if (approved) out += *approved ? "\"approved\":true," : "\"approved\":false,";
    write_args_member(out, call);
    out += "\"ask\":";
    write_stop(out, asked);
    out += ',';
    if (denial) {
        out += "\"denial\":";
        json::write_string(out, *denial);
        out += ',';
    }
    close_line(out, call, ts);
}

// A result recorded for the call at `step`, after its step line:
// {"is_error":true,"result":...,"result_of":STEP}, "is_error" only when true.
void write_result_line(std::string& out, std::uint64_t step, const Value& result, bool is_error) {
    out.clear();
    out += is_error ? "{\"is_error\":true,\"result\":" : "{\"result\":";
    json::write_value(out, result);
    out += ",\"result_of\":";
    json::write_uint(out, step);
    out += "}\n";
}

double steady_seconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// A line buffer that once held a huge call is not kept at that size.
constexpr std::size_t kept_line_bytes = std::size_t{64} << 10;

std::uint64_t args_hash(const ToolCall& call) { return call.args ? value_fingerprint(*call.args) : 0; }
std::uint64_t legacy_args_hash(const ToolCall& call) { return call.args ? legacy_value_fingerprint(*call.args) : 0; }

}  // namespace

// ---- GuardSession -----------------------------------------------------------

GuardSession::GuardSession(std::shared_ptr<const Guard> guard, std::unique_ptr<TraceWriter> writer,
                           bool keep_calls, GuardMode mode)
    : guard_(std::move(guard)),
      writer_(std::move(writer)),
      keep_calls_(keep_calls),
      mode_(mode),
      state_(std::make_unique<TraceState>(guard_->explainer().plan())),
      language_(std::make_unique<LanguageState>(guard_->arguments().language(), guard_->max_tracked_bytes())) {}

GuardSession::~GuardSession() = default;

namespace {

// The ask and limit entries' part of a decision, after the other checks.
template <class Decision>
void judge_entries(const LanguageState& language, const ToolEntries& entries, std::uint32_t slot, const ToolCall& call,
                   std::optional<double> now, GuardSession::CallFingerprint print, Verdict& verdict,
                   StepFailureSink& sink) {
    const LanguageCall lc{call.tool, &call.args, now, print.hash, print.has_args, slot};
    const LanguageVerdict v = language.judge(entries, lc, verdict == Verdict::blocked, sink);
    if (verdict != Verdict::allowed || sink.failures.empty()) return;
    verdict = v.ask || v.flow_ask ? Verdict::ask : Verdict::blocked;
}

// Whether any ask or limit entry or flow judges a call of the tool: with none,
// the entries leave its decision as the other checks made it.
bool judged_by_entries(const ToolEntries& entries) {
    return !entries.asks.empty() || !entries.limits.empty() || !entries.flows.empty();
}

}  // namespace

// Records are made for failed checks only, so that judging a call that
// passes everything allocates nothing but its tool name.
void GuardSession::judge(SessionDecision& d, std::uint32_t slot, const ToolCall& call, std::optional<double> now,
                         CallFingerprint print) {
    d.guard_ = guard_.get();
    d.step_ = state_->steps();
    d.tool_ = call.tool;
    StepFailureSink sink{d.failures_, d.values_, d.step_};
    const Judging judging = mode_ == GuardMode::enforce ? Judging::enforcing : Judging::recorded;
    d.verdict_ = judge_step(state_->plan(), *state_, state_->step_tool(slot), d.step_, sink,
                            CallArguments{&guard_->arguments(), &call.args}, judging)
                     .verdict;
    if (!language_->plan().empty()) {
        const ToolEntries& entries = language_->entries(slot, call.tool);
        if (judged_by_entries(entries)) {
            judge_entries<SessionDecision>(*language_, entries, slot, call, now, print, d.verdict_, sink);
        }
    }
}

SessionDecision GuardSession::judge_unentered(std::uint32_t slot, const ToolCall& call, std::optional<double> now,
                                              CallFingerprint print) const {
    // The slot was made, not entered: it counts nothing.
    if (language_->plan().empty()) return judge_unentered(state_->step_tool(slot), nullptr, slot, call, now, print);
    return judge_unentered(state_->step_tool(slot), &language_->entries(slot, call.tool), slot, call, now, print);
}

SessionDecision GuardSession::judge_unentered(const ToolCall& call, std::optional<double> now, CallFingerprint print) const {
    // Looked up, not entered: asking about a tool leaves no trace of it.
    if (language_->plan().empty()) return judge_unentered(state_->step_tool(call.tool), nullptr, detail::no_slot, call, now, print);
    const ToolEntries entries = language_->plan().entries_for(call.tool);
    return judge_unentered(state_->step_tool(call.tool), &entries, detail::no_slot, call, now, print);
}

SessionDecision GuardSession::judge_unentered(detail::StepTool tool, const detail::ToolEntries* entries, std::uint32_t slot,
                                              const ToolCall& call,
                                              std::optional<double> now, CallFingerprint print) const {
    SessionDecision d;
    d.guard_ = guard_.get();
    d.step_ = state_->steps();
    d.tool_ = call.tool;
    StepFailureSink sink{d.failures_, d.values_, d.step_};
    const Judging judging = mode_ == GuardMode::enforce ? Judging::enforcing : Judging::recorded;
    d.verdict_ = judge_step(state_->plan(), *state_, tool, d.step_, sink,
                            CallArguments{&guard_->arguments(), &call.args}, judging)
                     .verdict;
    if (entries && judged_by_entries(*entries)) {
        judge_entries<SessionDecision>(*language_, *entries, slot, call, now, print, d.verdict_, sink);
    }
    return d;
}

GuardSession::CallFingerprint GuardSession::fingerprint_of(const ToolCall& call) const {
    return {call.args.has_value(), call_args_hash(language_->plan(), call.args)};
}

void GuardSession::enter(std::uint32_t slot, ToolCall&& call, std::optional<double> now, CallFingerprint print) {
    if (!language_->plan().empty()) {
        const LanguageCall lc{call.tool, &call.args, now, print.hash, print.has_args, slot};
        language_->advance(language_->entries(slot, call.tool), lc);
    }
    state_->advance(slot);
    if (language_->plan().has_flows()) step_slots_.push_back(slot);
    if (keep_calls_) calls_.push_back(std::move(call));
}

std::expected<std::uint64_t, GuardSession::ResultError> GuardSession::result_step(const CallRef& call) const {
    std::uint64_t step = 0;
    if (call.call_id) {
        const auto it = remembered_.find(*call.call_id);
        if (it == remembered_.end()) return std::unexpected(ResultError{ResultError::Kind::unknown_call});
        const SessionDecision& d = it->second.decision;
        if (pending_.contains(*call.call_id)) return std::unexpected(ResultError{ResultError::Kind::pending});
        if (mode_ == GuardMode::enforce && !d.allowed()) return std::unexpected(ResultError{ResultError::Kind::refused});
        step = d.step();
    } else {
        step = call.step;
        if (step >= state_->steps()) return std::unexpected(ResultError{ResultError::Kind::unknown_call});
    }
    if (language_->plan().has_flows() && step >= step_slots_.size()) {
        return std::unexpected(ResultError{ResultError::Kind::unknown_call});
    }
    return step;
}

template <class Result>
void GuardSession::record_flows(std::uint64_t step, const Result& result) {
    if (!language_->plan().has_flows()) return;
    const std::uint32_t slot = step_slots_[step];
    const std::string& tool = state_->slot(slot).text.raw;
    language_->record(language_->entries(slot, tool), step, tool, result);
}

std::expected<void, GuardSession::ResultError> GuardSession::record_result(const CallRef& call, const Value& result,
                                                                          bool is_error) {
    std::lock_guard lock(mutex_);
    const auto step = result_step(call);
    if (!step) return std::unexpected(step.error());
    if (writer_) {
        write_result_line(line_, *step, result, is_error);
        if (auto written = write(line_); !written) {
            return std::unexpected(ResultError{ResultError::Kind::write, std::move(written.error())});
        }
    }
    record_flows(*step, result);
    return {};
}

std::expected<void, GuardSession::ResultError> GuardSession::record_text_result(const CallRef& call,
                                                                               std::string_view text, bool is_error) {
    if (writer_) return record_result(call, Value(text), is_error);
    std::lock_guard lock(mutex_);
    const auto step = result_step(call);
    if (!step) return std::unexpected(step.error());
    record_flows(*step, text);
    return {};
}

bool GuardSession::takes_results(std::string_view tool) const {
    const LanguagePlan& language = guard_->arguments().language();
    return writer_ || (language.has_flows() && LanguageState::takes_results(language.entries_for(tool)));
}

bool GuardSession::needs_time() const { return writer_ || guard_->arguments().language().windowed(); }

// A session of the specified language writes the lines it always wrote,
// without times, unless it was given a clock; one with ask or limit entries
// times every call.
std::optional<double> GuardSession::time_of(std::optional<double> now) const {
    if (now) return now;
    if (!needs_time() || guard_->arguments().language().empty()) return std::nullopt;
    return steady_seconds();
}

std::optional<double> GuardSession::time_of(std::optional<double> now, std::uint32_t slot, std::string_view tool) const {
    if (now) return now;
    const LanguagePlan& language = language_->plan();
    if (language.empty() || !(writer_ || language.windowed())) return std::nullopt;
    // Without a trace file only a windowed limit of the tool reads the time
    // (a call that waits for approval takes its time when it is approved).
    if (!writer_ && !language_->entries(slot, tool).windowed) return std::nullopt;
    return steady_seconds();
}

std::expected<const GuardSession::Remembered*, GuardSession::CheckError> GuardSession::recall(
    const std::optional<std::string>& call_id, const ToolCall& call) const {
    if (!call_id) return nullptr;
    const auto it = remembered_.find(*call_id);
    if (it == remembered_.end()) return nullptr;
    const Remembered& r = it->second;
    const std::uint64_t hash = r.legacy_hash ? legacy_args_hash(call) : args_hash(call);
    if (r.decision.tool() != call.tool || r.has_args != call.args.has_value() || r.args_hash != hash) {
        return std::unexpected(CheckError{CheckError::Kind::call_id_reused, *call_id});
    }
    return &r;
}

void GuardSession::remember(const std::string& call_id, const ToolCall& call, const SessionDecision& decision) {
    if (auto it = remembered_.find(call_id); it != remembered_.end()) {
        it->second.decision = decision;  // a resolved ask
        return;
    }
    if (remembered_order_.size() >= remembered_call_ids) {
        // A call that waited this long for approval is forgotten with its id.
        pending_.erase(remembered_order_.front());
        remembered_.erase(remembered_order_.front());
        remembered_order_.pop_front();
    }
    Remembered& r = remembered_[call_id];
    r.has_args = call.args.has_value();
    r.args_hash = args_hash(call);
    r.decision = decision;
    remembered_order_.push_back(call_id);
}

std::expected<void, GuardSession::CheckError> GuardSession::write(const std::string& line) {
    auto written = writer_->append(line);
    if (line_.capacity() > kept_line_bytes) std::string().swap(line_);
    if (written) return {};
    const bool broken = written.error().kind == TraceWriter::AppendError::Kind::broken_lock;
    return std::unexpected(CheckError{broken ? CheckError::Kind::broken_lock : CheckError::Kind::write,
                                      std::move(written.error().message)});
}

std::uint32_t GuardSession::slot_for(std::string_view tool, std::optional<std::uint32_t> hint) const {
    if (hint && *hint < state_->slot_count() && state_->slot(*hint).text.raw == tool) return *hint;
    return state_->enter(tool);
}

const GuardSession::ToolSlot& GuardSession::slot_arguments(std::uint32_t slot) const {
    if (slot >= slot_arguments_.size()) slot_arguments_.resize(state_->slot_count());
    std::optional<ToolSlot>& known = slot_arguments_[slot];
    if (!known) {
        const std::string& tool = state_->slot(slot).text.raw;
        const ArgumentPlan& arguments = guard_->arguments();
        const LanguagePlan& language = arguments.language();
        ToolSlot& t = known.emplace();
        t.slot = slot;
        t.needs_arguments = writer_ || keep_calls_ || (!arguments.empty() && !arguments.rules_for(tool).empty()) ||
                            (!language.empty() && language.reads_all_arguments(tool));
        if (!t.needs_arguments && !language.empty()) {
            t.fingerprint = language.repeats();
            t.keys = language.condition_keys(tool);
        }
    }
    return *known;
}

GuardSession::ToolSlot GuardSession::tool_slot(std::string_view tool) {
    std::lock_guard lock(mutex_);
    return slot_arguments(state_->enter(tool));
}

std::optional<GuardSession::ToolSlot> GuardSession::known_tool_slot(std::string_view tool) const {
    std::lock_guard lock(mutex_);
    const auto slot = state_->find(tool);
    if (!slot) return std::nullopt;
    return slot_arguments(*slot);
}

std::expected<SessionDecision, GuardSession::CheckError> GuardSession::check(ToolCall call,
                                                                             const std::optional<std::string>& call_id,
                                                                             std::optional<double> now,
                                                                             std::optional<std::uint32_t> hint,
                                                                             std::optional<CallFingerprint> fingerprint) {
    SessionDecision decision;
    auto checked = check(decision, std::move(call), call_id, now, hint, fingerprint);
    if (!checked) return std::unexpected(std::move(checked.error()));
    return decision;
}

std::expected<void, GuardSession::CheckError> GuardSession::check(SessionDecision& decision, ToolCall&& call,
                                                                  const std::optional<std::string>& call_id,
                                                                  std::optional<double> now,
                                                                  std::optional<std::uint32_t> hint,
                                                                  std::optional<CallFingerprint> fingerprint) {
    std::lock_guard lock(mutex_);
    auto recalled = recall(call_id, call);
    if (!recalled) return std::unexpected(std::move(recalled.error()));
    if (*recalled) {
        decision = (*recalled)->decision;
        return {};
    }
    // Everything that may fail comes before the line is written, so that a
    // written line is always entered. A new tool's slot, made here, counts
    // nothing until the call is entered.
    if (keep_calls_ && calls_.size() == calls_.capacity()) calls_.reserve(std::max<std::size_t>(64, calls_.size() * 2));
    if (call_id) remembered_.reserve(remembered_.size() + 1);
    const std::uint32_t slot = slot_for(call.tool, hint);
    now = time_of(now, slot, call.tool);
    const CallFingerprint print = fingerprint ? *fingerprint : fingerprint_of(call);
    judge(decision, slot, call, now, print);
    decision.call_id_ = call_id;
    if (decision.needs_approval() && mode_ == GuardMode::enforce) {
        // Nothing is written or entered until a person answers; the call
        // waits whole.
        if (fingerprint) return std::unexpected(CheckError{CheckError::Kind::needs_arguments, {}});
        if (!decision.call_id_) {
            std::string made;
            do {
                made = "ask-" + std::to_string(++asks_made_);
            } while (remembered_.contains(made));
            decision.call_id_ = std::move(made);
        }
        remember(*decision.call_id_, call, decision);
        pending_.insert_or_assign(*decision.call_id_, Pending{std::move(call), decision, print});
        return {};
    }
    const bool enters = mode_ == GuardMode::observe || decision.allowed();
    if (writer_) {
        if (decision.needs_approval()) write_ask_line(line_, call, decision, std::nullopt, std::nullopt, now);
        else if (enters) write_step_line(line_, call, now);
        else write_refused_line(line_, call, decision, now);
        if (auto written = write(line_); !written) return std::unexpected(std::move(written.error()));
    }
    if (call_id) remember(*call_id, call, decision);
    if (decision.verdict() == Verdict::blocked) ++refused_;
    if (enters) enter(slot, std::move(call), now, print);
    return {};
}

std::expected<SessionDecision, GuardSession::CheckError> GuardSession::resolve(const std::string& call_id,
                                                                               bool approved,
                                                                               const std::optional<std::string>& reason,
                                                                               std::optional<double> now) {
    std::lock_guard lock(mutex_);
    const auto it = pending_.find(call_id);
    if (it == pending_.end()) return std::unexpected(CheckError{CheckError::Kind::not_pending, call_id});
    now = time_of(now);
    const SessionDecision& asked = it->second.decision;
    SessionDecision decision;
    decision.guard_ = guard_.get();
    decision.step_ = state_->steps();
    decision.tool_ = asked.tool_;
    decision.call_id_ = call_id;
    if (approved) {
        decision.verdict_ = Verdict::allowed;
    } else {
        decision.verdict_ = Verdict::blocked;
        StepFailure& f = decision.failures_.emplace_back(asked.failures_.back());
        f.step = decision.step_;
        if (f.kind == StepFailure::Kind::flow) {
            // Its source, argument and text stay; the reason follows them.
            f.item |= StepFailure::flow_denied;
            decision.values_.assign(asked.values_.begin() + f.value, asked.values_.begin() + f.value + 3);
            f.value = 0;
            if (reason) decision.values_.push_back(*reason);
        } else {
            f.kind = StepFailure::Kind::denied;
            if (reason) {
                f.value = 0;
                decision.values_.push_back(*reason);
            }
        }
    }
    if (writer_) {
        write_ask_line(line_, it->second.call, asked, approved, approved ? std::nullopt : reason, now);
        if (auto written = write(line_); !written) return std::unexpected(std::move(written.error()));
    }
    Pending pending = std::move(it->second);
    pending_.erase(it);
    remembered_[call_id].decision = decision;
    if (approved) {
        const std::uint32_t slot = state_->enter(pending.call.tool);
        enter(slot, std::move(pending.call), now, pending.fingerprint);
    } else {
        ++refused_;
    }
    return decision;
}

std::vector<std::string> GuardSession::pending() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (const std::string& id : remembered_order_) {
        if (pending_.contains(id)) out.push_back(id);
    }
    return out;
}

std::expected<SessionDecision, GuardSession::CheckError> GuardSession::peek(
    const ToolCall& call, const std::optional<std::string>& call_id, std::optional<double> now,
    std::optional<std::uint32_t> hint, std::optional<CallFingerprint> fingerprint) const {
    std::lock_guard lock(mutex_);
    auto recalled = recall(call_id, call);
    if (!recalled) return std::unexpected(std::move(recalled.error()));
    if (*recalled) return (*recalled)->decision;
    // A name without a slot is judged by its name: asking about a new tool
    // leaves no trace of it, so peeks of ever new names take no memory.
    if (!hint || *hint >= state_->slot_count() || state_->slot(*hint).text.raw != call.tool) hint = state_->find(call.tool);
    const CallFingerprint print = fingerprint ? *fingerprint : fingerprint_of(call);
    SessionDecision decision =
        hint ? judge_unentered(*hint, call, time_of(now), print) : judge_unentered(call, time_of(now), print);
    decision.call_id_ = call_id;
    return decision;
}

std::expected<void, GuardSession::CheckError> GuardSession::note_unjudged(std::string_view tool,
                                                                          std::string_view reason) {
    if (!writer_) return {};
    std::lock_guard lock(mutex_);
    line_.clear();
    line_ += "{\"tool\":";
    json::write_string(line_, tool);
    line_ += ",\"unjudged\":";
    json::write_string(line_, reason);
    line_ += "}\n";
    return write(line_);
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

bool GuardSession::needs_arguments(std::string_view tool, bool call_id) const {
    const ArgumentPlan& arguments = guard_->arguments();
    return call_id || writer_ || keep_calls_ || (!arguments.empty() && !arguments.rules_for(tool).empty()) ||
           (!arguments.language().empty() && arguments.language().needs_arguments(tool));
}

std::uint64_t GuardSession::steps() const {
    std::lock_guard lock(mutex_);
    return state_->steps();
}

std::uint64_t GuardSession::refused() const {
    std::lock_guard lock(mutex_);
    return refused_;
}

std::optional<std::string> GuardSession::explain_json() const {
    if (!keep_calls_) return std::nullopt;
    std::lock_guard lock(mutex_);
    return guard_->explain_json(calls_);
}

}  // namespace ostik
