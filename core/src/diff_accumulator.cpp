#include "ostik/diff_accumulator.hpp"

#include <algorithm>
#include <limits>
#include <map>
#include <tuple>
#include <utility>

#include "argument_plan.hpp"
#include "byte_codec.hpp"
#include "checked_counts.hpp"
#include "kept_traces.hpp"
#include "explain_plan.hpp"
#include "ostik/text.hpp"
#include "language_state.hpp"
#include "recorded_steps.hpp"
#include "step_failure.hpp"
#include "step_judgement.hpp"
#include "trace_state.hpp"

namespace ostik {

namespace {

using detail::ByteReader;
using detail::ByteWriter;
using detail::count_overflow;
using detail::sum_fits;
using detail::sums_fit;

constexpr std::string_view magic = "OSKD";
// 2: asked steps (a decision's kind 2), the ask changes' and untimed traces'
// counts after the failing list. Two policies without ask or limit entries
// have none of them, and their bytes are still written (and read) in format 1.
constexpr std::uint8_t format_version = 2;
constexpr std::uint8_t plain_format_version = 1;

// A step's decision, as the diff compares them: `allowed`, the joint id of
// the rule that blocked it, or that of the ask entry that applied to it with
// `asked_bit` set.
constexpr std::uint32_t allowed = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint32_t asked_bit = 0x80000000u;

bool is_blocked(std::uint32_t code) { return code != allowed && !(code & asked_bit); }
bool is_asked(std::uint32_t code) { return code != allowed && (code & asked_bit); }
std::size_t rule_of(std::uint32_t code) { return code & ~asked_bit; }

// A judge_step sink that keeps a step's first failed check only: the one
// that blocked it; and, in `asks`, the failure of a flow whose effect asks
// for the step (which nothing blocked), for its reason. It needs no passed
// rule, so a step is judged by the rules its call can fail only.
struct BlockingFailureSink {
    static constexpr bool failures_only = true;
    detail::StepFailureSink inner;
    detail::StepFailureSink asks;
    bool taken = false;

    void tool_check(ToolVerdict v) {
        if (!taken) inner.tool_check(v);
        taken = true;
    }
    void argument(const detail::ArgumentFailure& a) {
        if (!taken) inner.argument(a);
        taken = true;
    }
    void unjudged(const UnjudgedArguments& u) {
        if (!taken) inner.unjudged(u);
        taken = true;
    }
    void rule(std::size_t k, const detail::Outcome& o) {
        if (o.passed || taken) return;
        inner.rule(k, o);
        taken = true;
    }
    void limit(std::uint32_t k, std::uint64_t count) {
        if (!taken) inner.limit(k, count);
        taken = true;
    }
    void flow(std::uint32_t k, const detail::FlowMatch& m) {
        if (m.ask) {
            asks.flow(k, m);
            return;
        }
        if (!taken) inner.flow(k, m);
        taken = true;
    }
};

}  // namespace

namespace detail {

// One trace judged under one policy.
struct DiffSide {
    std::optional<TraceState> state;
    std::optional<LanguageState> language;
    std::vector<std::uint32_t> slots;    // each step's tool slot
    std::vector<std::uint32_t> decided;  // each step's decision (see `allowed`)
    std::vector<StepFailure> failures;   // the blocking check of each blocked step, in step order
    std::vector<StepFailure> asks;       // the ask (an ask entry's, or a flow's) of each asked step, in step order
    std::vector<std::string> values;     // the values failed constraints and flows show
    std::vector<std::size_t> end;        // the failed end checks' joint ids, ascending, each once
    bool failed = false;
    bool untimed = false;                // a windowed limit met a step without a time

    void judge(const AuditBasis& side, std::span<const std::size_t> joint, const RecordedSteps& steps) {
        const Guard& guard = side.guard();
        const ExplainPlan& plan = guard.explainer().plan();
        state.emplace(plan);
        language.reset();
        if (side.has_entries()) language.emplace(guard.arguments().language(), guard.max_tracked_bytes());
        slots.clear();
        decided.clear();
        failures.clear();
        asks.clear();
        values.clear();
        end.clear();
        failed = false;
        untimed = false;
        const RecordedSteps own{steps.tools, side.judges_arguments() ? steps.args : std::span<const std::optional<Value>>{},
                                side.judges_times() ? steps.times : std::span<const std::optional<double>>{},
                                steps.unjudged, steps.why,
                                side.judges_results() ? steps.results : std::span<const std::optional<Value>>{}};
        judge_recorded_steps(
            guard.arguments(), *state, language ? &*language : nullptr, own,
            [&](std::uint64_t step) {
                return BlockingFailureSink{StepFailureSink{failures, values, step}, StepFailureSink{asks, values, step}};
            },
            [&](std::uint64_t step, std::uint32_t slot, const StepVerdict& verdict, const EntryStep& entry) {
                slots.push_back(slot);
                untimed = untimed || entry.windows_unjudged;
                if (verdict.blocked()) {
                    failed = true;
                    decided.push_back(static_cast<std::uint32_t>(joint[verdict.blocked_by]));
                } else if (entry.ask) {
                    StepFailureSink{asks, values, step}.ask(*entry.ask);
                    const std::size_t id = guard.arguments().language().asks()[*entry.ask].id_index;
                    decided.push_back(static_cast<std::uint32_t>(joint[id]) | asked_bit);
                } else if (entry.ask_flow) {
                    // The sink kept its failure in `asks`.
                    const std::size_t id = guard.arguments().language().flows()[*entry.ask_flow].id_index;
                    decided.push_back(static_cast<std::uint32_t>(joint[id]) | asked_bit);
                } else {
                    decided.push_back(allowed);
                }
            });
        for (std::size_t k = 0; k < plan.rules.size(); ++k) {
            if (state->end_check(k)) end.push_back(joint[plan.rules[k].id_index]);
        }
        failed = failed || !end.empty();
        // Compared as sets: two rules may share an id.
        std::sort(end.begin(), end.end());
        end.erase(std::unique(end.begin(), end.end()), end.end());
    }

    // The reason step `step` was blocked for, or asked about.
    std::string reason(const AuditBasis& side, std::uint64_t step) const {
        const ArgumentPlan& arguments = side.guard().arguments();
        const NameText& tool = state->slot(slots[step]).text;
        const std::vector<StepFailure>& kept = is_asked(decided[step]) ? asks : failures;
        auto f = std::lower_bound(kept.begin(), kept.end(), step,
                                  [](const StepFailure& x, std::uint64_t s) { return x.step < s; });
        return failure_record(state->plan(), &arguments, *f, tool, values).explanation;
    }

    // The failed end checks, in policy order.
    std::vector<EndFailure> end_failures(std::span<const std::size_t> joint) const {
        const ExplainPlan& plan = state->plan();
        const NameText no_tool;
        std::vector<EndFailure> out;
        for (std::size_t k = 0; k < plan.rules.size(); ++k) {
            if (const auto o = state->end_check(k)) {
                out.push_back(EndFailure{joint[plan.rules[k].id_index],
                                         to_evaluation(plan.rules[k], *o, no_tool, state->steps()).explanation});
            }
        }
        return out;
    }
};

}  // namespace detail

namespace {

}  // namespace

// ---- the basis ---------------------------------------------------------------

DiffBasis::DiffBasis(std::shared_ptr<const AuditBasis> before, std::shared_ptr<const AuditBasis> after)
    : before_(std::move(before)),
      after_(std::move(after)) {
    auto add = [&](const AuditBasis& side, std::vector<std::size_t>& joint) {
        joint.reserve(side.id_count());
        for (std::size_t i = 0; i < side.id_count(); ++i) {
            const std::string& id = side.id(i);
            auto found = std::find(ids_.begin(), ids_.end(), id);
            joint.push_back(static_cast<std::size_t>(found - ids_.begin()));
            if (found == ids_.end()) ids_.push_back(id);
        }
    };
    add(*before_, before_ids_);
    add(*after_, after_ids_);
    // Views into ids_, which no longer grows.
    for (std::size_t i = 0; i < ids_.size(); ++i) index_of_.emplace(ids_[i], i);
}

DiffBasis::~DiffBasis() = default;

bool DiffBasis::judges_arguments() const { return before_->judges_arguments() || after_->judges_arguments(); }

std::optional<std::size_t> DiffBasis::id_index(std::string_view id) const {
    auto it = index_of_.find(id);
    if (it == index_of_.end()) return std::nullopt;
    return it->second;
}

// ---- adding --------------------------------------------------------------------

namespace {

void size_counts(DiffRuleCounts& c, std::size_t n) {
    c.newly_blocks.assign(n, 0);
    c.no_longer_blocks.assign(n, 0);
    c.newly_fails_at_end.assign(n, 0);
    c.no_longer_fails_at_end.assign(n, 0);
    c.newly_asks.assign(n, 0);
    c.no_longer_asks.assign(n, 0);
}

bool counts_fit(const DiffRuleCounts& a, const DiffRuleCounts& b) {
    return sums_fit(a.newly_blocks, b.newly_blocks) && sums_fit(a.no_longer_blocks, b.no_longer_blocks) &&
           sums_fit(a.newly_fails_at_end, b.newly_fails_at_end) &&
           sums_fit(a.no_longer_fails_at_end, b.no_longer_fails_at_end) && sums_fit(a.newly_asks, b.newly_asks) &&
           sums_fit(a.no_longer_asks, b.no_longer_asks);
}

void add_counts(DiffRuleCounts& a, const DiffRuleCounts& b) {
    for (std::size_t i = 0; i < a.newly_blocks.size(); ++i) {
        a.newly_blocks[i] += b.newly_blocks[i];
        a.no_longer_blocks[i] += b.no_longer_blocks[i];
        a.newly_fails_at_end[i] += b.newly_fails_at_end[i];
        a.no_longer_fails_at_end[i] += b.no_longer_fails_at_end[i];
        a.newly_asks[i] += b.newly_asks[i];
        a.no_longer_asks[i] += b.no_longer_asks[i];
    }
}

}  // namespace

DiffAccumulator::DiffAccumulator(std::shared_ptr<const DiffBasis> basis, std::uint64_t keep)
    : basis_(std::move(basis)), keep_(keep) {
    size_counts(by_rule_, basis_->id_count());
    size_counts(trace_counts_, basis_->id_count());
}

void DiffAccumulator::keep_changed(ChangedTrace entry) {
    detail::keep_trace(changed_, keep_, std::move(entry));
}

DiffAccumulator::Scratch::Scratch()
    : before(std::make_unique<detail::DiffSide>()), after(std::make_unique<detail::DiffSide>()) {}
DiffAccumulator::Scratch::~Scratch() = default;
DiffAccumulator::Scratch::Scratch(const Scratch&) : Scratch() {}
DiffAccumulator::Scratch& DiffAccumulator::Scratch::operator=(const Scratch&) { return *this; }
DiffAccumulator::Scratch::Scratch(Scratch&&) noexcept = default;
DiffAccumulator::Scratch& DiffAccumulator::Scratch::operator=(Scratch&&) noexcept = default;

ChangedTrace DiffAccumulator::describe(std::span<const std::string_view> tools, const TraceRef& ref,
                                       bool end_differs) {
    const DiffBasis& b = *basis_;
    const detail::DiffSide& before = *scratch_.before;
    const detail::DiffSide& after = *scratch_.after;
    ChangedTrace trace;
    trace.ref = ref;
    trace.passed_before = !before.failed;
    trace.passed_after = !after.failed;
    trace.steps = tools.size();
    // Steps that change alike, by (old rule, new rule, tool).
    std::map<std::tuple<std::uint32_t, std::uint32_t, std::string_view>, std::size_t> group_of;
    for (std::size_t i = 0; i < tools.size(); ++i) {
        const std::uint32_t was = before.decided[i], now = after.decided[i];
        if (was == now) continue;
        auto [it, fresh] = group_of.try_emplace({was, now, tools[i]}, trace.changes.size());
        if (!fresh) {
            trace.changes[it->second].later_steps.push_back(i);
            continue;
        }
        StepChange change;
        change.step = i;
        change.tool = std::string(tools[i]);
        if (was != allowed) change.before = DiffDecision{rule_of(was), before.reason(b.before(), i), is_asked(was)};
        if (now != allowed) change.after = DiffDecision{rule_of(now), after.reason(b.after(), i), is_asked(now)};
        trace.changes.push_back(std::move(change));
    }
    if (end_differs) {
        trace.end_before = before.end_failures(b.before_ids_);
        trace.end_after = after.end_failures(b.after_ids_);
    }
    return trace;
}

std::expected<void, std::string> DiffAccumulator::add_trace(std::span<const std::string_view> tools,
                                                            std::span<const std::optional<Value>> args,
                                                            const TraceRef& ref,
                                                            std::span<const std::uint64_t> unjudged,
                                                            std::span<const UnjudgedArguments> unjudged_why,
                                                            std::span<const std::optional<double>> times,
                                                            std::span<const std::optional<Value>> results) {
    const DiffBasis& b = *basis_;
    detail::DiffSide& before = *scratch_.before;
    detail::DiffSide& after = *scratch_.after;
    const detail::RecordedSteps steps{tools, args, times, unjudged, unjudged_why, results};
    before.judge(b.before(), b.before_ids_, steps);
    after.judge(b.after(), b.after_ids_, steps);
    const bool failed_before = before.failed, failed_after = after.failed;
    const bool untimed = before.untimed || after.untimed;
    const std::vector<std::size_t>& end_before = before.end;
    const std::vector<std::size_t>& end_after = after.end;
    std::uint64_t newly_blocked = 0, unblocked = 0, reblocked = 0, newly_asked = 0, no_longer_asked = 0, reasked = 0;
    std::vector<std::size_t> touched;
    for (std::size_t i = 0; i < tools.size(); ++i) {
        const std::uint32_t was = before.decided[i], now = after.decided[i];
        if (was == now) continue;
        if (is_blocked(now)) {
            ++(is_blocked(was) ? reblocked : newly_blocked);
        } else if (is_blocked(was)) {
            ++unblocked;
        } else if (was == allowed) {
            ++newly_asked;
        } else {
            ++(now == allowed ? no_longer_asked : reasked);
        }
        if (is_blocked(now)) {
            ++trace_counts_.newly_blocks[now];
            touched.push_back(now);
        } else if (is_asked(now)) {
            ++trace_counts_.newly_asks[rule_of(now)];
            touched.push_back(rule_of(now));
        }
        if (is_blocked(was)) {
            ++trace_counts_.no_longer_blocks[was];
            touched.push_back(was);
        } else if (is_asked(was)) {
            ++trace_counts_.no_longer_asks[rule_of(was)];
            touched.push_back(rule_of(was));
        }
    }
    const bool end_differs = end_before != end_after;
    if (end_differs) {
        // Both lists are sorted: the ids in one and not the other.
        for (std::size_t id : end_after) {
            if (!std::binary_search(end_before.begin(), end_before.end(), id)) {
                trace_counts_.newly_fails_at_end[id] = 1;
                touched.push_back(id);
            }
        }
        for (std::size_t id : end_before) {
            if (!std::binary_search(end_after.begin(), end_after.end(), id)) {
                trace_counts_.no_longer_fails_at_end[id] = 1;
                touched.push_back(id);
            }
        }
    }
    const std::uint64_t steps_changed =
        newly_blocked + unblocked + reblocked + newly_asked + no_longer_asked + reasked;  // at most the steps
    const bool changed = steps_changed > 0 || end_differs;
    const bool newly_failing = !failed_before && failed_after;
    const bool newly_passing = failed_before && !failed_after;

    auto clear_trace = [&] {
        for (std::size_t id : touched) {
            trace_counts_.newly_blocks[id] = 0;
            trace_counts_.no_longer_blocks[id] = 0;
            trace_counts_.newly_fails_at_end[id] = 0;
            trace_counts_.no_longer_fails_at_end[id] = 0;
            trace_counts_.newly_asks[id] = 0;
            trace_counts_.no_longer_asks[id] = 0;
        }
    };
    // Every count is checked before any changes, so that a trace that would
    // overflow one leaves the accumulator as it was.
    auto fits = [&]() -> std::expected<void, std::string> {
        if (!sum_fits(traces_, 1)) return count_overflow("traces");
        if (!sum_fits(steps_, tools.size())) return count_overflow("steps");
        if (!sum_fits(failed_before_, failed_before)) return count_overflow("traces failed before");
        if (!sum_fits(failed_after_, failed_after)) return count_overflow("traces failed after");
        if (!sum_fits(changed_traces_, changed)) return count_overflow("changed traces");
        if (!sum_fits(newly_failing_, newly_failing)) return count_overflow("newly failing traces");
        if (!sum_fits(newly_passing_, newly_passing)) return count_overflow("newly passing traces");
        // The changed steps are counted as one total too.
        if (!sum_fits(changed_steps(), steps_changed)) return count_overflow("changed steps");
        if (!sum_fits(untimed_traces_, untimed)) return count_overflow("traces with untimed windows");
        if (!touched.empty() && !counts_fit(by_rule_, trace_counts_)) return count_overflow("changes by rule");
        return {};
    };
    if (auto checked = fits(); !checked) {
        clear_trace();
        return checked;
    }
    // The steps that may allocate come before anything is counted.
    try {
        if (changed && (changed_.size() < keep_ || (!changed_.empty() && !(changed_.back().ref < ref)))) {
            keep_changed(describe(tools, ref, end_differs));
        }
    } catch (...) {
        clear_trace();
        throw;
    }
    ++traces_;
    steps_ += tools.size();
    failed_before_ += failed_before;
    failed_after_ += failed_after;
    changed_traces_ += changed;
    newly_failing_ += newly_failing;
    newly_passing_ += newly_passing;
    newly_blocked_ += newly_blocked;
    unblocked_ += unblocked;
    reblocked_ += reblocked;
    newly_asked_ += newly_asked;
    no_longer_asked_ += no_longer_asked;
    reasked_ += reasked;
    untimed_traces_ += untimed;
    if (!touched.empty()) {
        for (std::size_t id : touched) {
            by_rule_.newly_blocks[id] += trace_counts_.newly_blocks[id];
            by_rule_.no_longer_blocks[id] += trace_counts_.no_longer_blocks[id];
            by_rule_.newly_fails_at_end[id] += trace_counts_.newly_fails_at_end[id];
            by_rule_.no_longer_fails_at_end[id] += trace_counts_.no_longer_fails_at_end[id];
            by_rule_.newly_asks[id] += trace_counts_.newly_asks[id];
            by_rule_.no_longer_asks[id] += trace_counts_.no_longer_asks[id];
            trace_counts_.newly_asks[id] = 0;
            trace_counts_.no_longer_asks[id] = 0;
            trace_counts_.newly_blocks[id] = 0;
            trace_counts_.no_longer_blocks[id] = 0;
            trace_counts_.newly_fails_at_end[id] = 0;
            trace_counts_.no_longer_fails_at_end[id] = 0;
        }
    }
    return {};
}

bool DiffAccumulator::same_policy(const DiffAccumulator& other) const {
    if (basis_ == other.basis_) return true;
    const DiffBasis& a = *basis_;
    const DiffBasis& b = *other.basis_;
    return a.before().key() == b.before().key() && a.after().key() == b.after().key();
}

std::expected<void, std::string> DiffAccumulator::merge(const DiffAccumulator& other) {
    if (&other == this) {
        const DiffAccumulator copy = other;
        return merge(copy);
    }
    // Checked before anything changes: a merge that fails leaves this as it was.
    if (!sum_fits(traces_, other.traces_)) return count_overflow("traces");
    if (!sum_fits(steps_, other.steps_)) return count_overflow("steps");
    if (!sum_fits(failed_before_, other.failed_before_)) return count_overflow("traces failed before");
    if (!sum_fits(failed_after_, other.failed_after_)) return count_overflow("traces failed after");
    if (!sum_fits(changed_traces_, other.changed_traces_)) return count_overflow("changed traces");
    if (!sum_fits(newly_failing_, other.newly_failing_)) return count_overflow("newly failing traces");
    if (!sum_fits(newly_passing_, other.newly_passing_)) return count_overflow("newly passing traces");
    if (!sum_fits(changed_steps(), other.changed_steps())) return count_overflow("changed steps");
    if (!sum_fits(untimed_traces_, other.untimed_traces_)) return count_overflow("traces with untimed windows");
    if (!counts_fit(by_rule_, other.by_rule_)) return count_overflow("changes by rule");
    const std::uint64_t keep = std::min(keep_, other.keep_);
    changed_ = detail::merged_kept(changed_, other.changed_, keep);
    keep_ = keep;
    traces_ += other.traces_;
    steps_ += other.steps_;
    failed_before_ += other.failed_before_;
    failed_after_ += other.failed_after_;
    changed_traces_ += other.changed_traces_;
    newly_failing_ += other.newly_failing_;
    newly_passing_ += other.newly_passing_;
    newly_blocked_ += other.newly_blocked_;
    unblocked_ += other.unblocked_;
    reblocked_ += other.reblocked_;
    newly_asked_ += other.newly_asked_;
    no_longer_asked_ += other.no_longer_asked_;
    reasked_ += other.reasked_;
    untimed_traces_ += other.untimed_traces_;
    add_counts(by_rule_, other.by_rule_);
    return {};
}

// ---- bytes -----------------------------------------------------------------------

namespace {

// The nonzero counts by id, in ascending order of the ids' texts.
void write_counts(ByteWriter& w, const DiffBasis& basis, std::span<const std::uint64_t> counts) {
    std::vector<std::pair<std::string_view, std::uint64_t>> nonzero;
    for (std::size_t i = 0; i < counts.size(); ++i) {
        if (counts[i]) nonzero.emplace_back(basis.id(i), counts[i]);
    }
    std::sort(nonzero.begin(), nonzero.end());
    w.varint(nonzero.size());
    for (const auto& [id, n] : nonzero) {
        w.text(id);
        w.varint(n);
    }
}

void write_decision(ByteWriter& w, const DiffBasis& basis, const DiffDecision& d) {
    w.byte(!d.rule ? 0 : d.asked ? 2 : 1);
    if (d.rule) {
        w.text(basis.id(*d.rule));
        w.text(d.reason);
    }
}

void write_ends(ByteWriter& w, const DiffBasis& basis, const std::vector<EndFailure>& ends) {
    w.varint(ends.size());
    for (const EndFailure& e : ends) {
        w.text(basis.id(e.rule));
        w.text(e.reason);
    }
}

}  // namespace

std::string DiffAccumulator::to_bytes() const {
    const DiffBasis& b = *basis_;
    std::string out;
    ByteWriter w(out);
    const bool entries = b.has_entries();
    w.raw(magic);
    w.byte(entries ? format_version : plain_format_version);
    w.fixed64(b.before().key().fingerprint);
    w.fixed64(b.after().key().fingerprint);
    w.varint(keep_);
    for (std::uint64_t n : {traces_, steps_, failed_before_, failed_after_, changed_traces_, newly_failing_,
                            newly_passing_, newly_blocked_, unblocked_, reblocked_}) {
        w.varint(n);
    }
    write_counts(w, b, by_rule_.newly_blocks);
    write_counts(w, b, by_rule_.no_longer_blocks);
    write_counts(w, b, by_rule_.newly_fails_at_end);
    write_counts(w, b, by_rule_.no_longer_fails_at_end);
    w.varint(changed_.size());
    for (const ChangedTrace& t : changed_) {
        w.byte(static_cast<std::uint8_t>(t.ref.shape));
        w.text(t.ref.text);
        w.varint(t.ref.number);
        w.byte(static_cast<std::uint8_t>((t.passed_before ? 1 : 0) | (t.passed_after ? 2 : 0)));
        w.varint(t.steps);
        w.varint(t.changes.size());
        for (const StepChange& c : t.changes) {
            w.varint(c.step);
            w.text(c.tool);
            write_decision(w, b, c.before);
            write_decision(w, b, c.after);
            w.varint(c.later_steps.size());
            std::uint64_t previous = c.step;
            for (std::uint64_t s : c.later_steps) {
                w.varint(s - previous - 1);  // ascending: the gap to the step before
                previous = s;
            }
        }
        write_ends(w, b, t.end_before);
        write_ends(w, b, t.end_after);
    }
    if (entries) {
        for (std::uint64_t n : {newly_asked_, no_longer_asked_, reasked_, untimed_traces_}) w.varint(n);
        write_counts(w, b, by_rule_.newly_asks);
        write_counts(w, b, by_rule_.no_longer_asks);
    }
    w.seal();
    return out;
}

std::expected<DiffAccumulator, std::string> DiffAccumulator::from_bytes(std::shared_ptr<const DiffBasis> basis,
                                                                        std::string_view bytes) {
    using Failure = std::unexpected<std::string>;
    const Failure malformed("malformed");
    const bool entries = basis->has_entries();
    auto r = ByteReader::open(bytes, magic, entries ? format_version : plain_format_version, "a diff accumulator's");
    if (!r) return Failure(std::move(r.error()));
    const auto before_print = r->fixed64();
    const auto after_print = r->fixed64();
    if (before_print && after_print &&
        (*before_print != basis->before().key().fingerprint || *after_print != basis->after().key().fingerprint)) {
        return Failure("made with other policies");
    }
    const auto keep = r->varint();
    if (!keep) return malformed;
    DiffAccumulator acc(std::move(basis), *keep);
    const DiffBasis& b = *acc.basis_;
    std::uint64_t* totals[] = {&acc.traces_,         &acc.steps_,         &acc.failed_before_, &acc.failed_after_,
                               &acc.changed_traces_, &acc.newly_failing_, &acc.newly_passing_, &acc.newly_blocked_,
                               &acc.unblocked_,      &acc.reblocked_};
    for (std::uint64_t* n : totals) {
        const auto v = r->varint();
        if (!v) return malformed;
        *n = *v;
    }
    std::uint64_t changed_steps = 0;
    if (acc.failed_before_ > acc.traces_ || acc.failed_after_ > acc.traces_ || acc.changed_traces_ > acc.traces_ ||
        acc.newly_failing_ + acc.newly_passing_ < acc.newly_failing_ ||
        acc.newly_failing_ + acc.newly_passing_ > acc.changed_traces_ ||
        __builtin_add_overflow(acc.newly_blocked_, acc.unblocked_, &changed_steps) ||
        __builtin_add_overflow(changed_steps, acc.reblocked_, &changed_steps) || changed_steps > acc.steps_ ||
        (acc.steps_ > 0 && acc.traces_ == 0) || (changed_steps > 0 && acc.changed_traces_ == 0)) {
        return malformed;
    }

    // Counts by id: known ids, strictly ascending, each count at least 1.
    auto read_counts = [&](std::vector<std::uint64_t>& counts, std::uint64_t& total) {
        const auto n = r->count(2);
        if (!n) return false;
        std::string_view previous;
        for (std::size_t i = 0; i < *n; ++i) {
            const auto id = r->text();
            const auto count = r->varint();
            if (!id || !count || *count == 0 || (i > 0 && !(previous < *id))) return false;
            const auto index = b.id_index(*id);
            if (!index || __builtin_add_overflow(total, *count, &total)) return false;
            counts[*index] = *count;
            previous = *id;
        }
        return true;
    };
    std::uint64_t newly = 0, no_longer = 0, end_newly = 0, end_no_longer = 0;
    if (!read_counts(acc.by_rule_.newly_blocks, newly) || !read_counts(acc.by_rule_.no_longer_blocks, no_longer) ||
        !read_counts(acc.by_rule_.newly_fails_at_end, end_newly) ||
        !read_counts(acc.by_rule_.no_longer_fails_at_end, end_no_longer)) {
        return malformed;
    }
    // A step newly blocked is newly blocked by its rule; one unblocked was blocked by its own.
    if (newly != acc.newly_blocked_ + acc.reblocked_ || no_longer != acc.unblocked_ + acc.reblocked_) {
        return malformed;
    }
    for (std::size_t i = 0; i < b.id_count(); ++i) {
        if (acc.by_rule_.newly_fails_at_end[i] > acc.changed_traces_ ||
            acc.by_rule_.no_longer_fails_at_end[i] > acc.changed_traces_) {
            return malformed;
        }
    }

    auto read_rule = [&](std::optional<std::size_t>& out) {
        const auto id = r->text();
        const auto index = id ? b.id_index(*id) : std::nullopt;
        if (!index) return false;
        out = *index;
        return true;
    };
    auto read_text = [&](std::string& out) {
        const auto text = r->text();
        if (!text || !is_valid_utf8(*text)) return false;
        out = *text;
        return true;
    };
    auto read_decision = [&](DiffDecision& d) {
        const auto kind = r->byte();
        if (!kind || *kind > (entries ? 2 : 1)) return false;
        if (!*kind) return true;
        d.asked = *kind == 2;
        return read_rule(d.rule) && read_text(d.reason);
    };
    auto read_ends = [&](std::vector<EndFailure>& ends) {
        const auto n = r->count(2);
        if (!n) return false;
        for (std::size_t i = 0; i < *n; ++i) {
            std::optional<std::size_t> rule;
            EndFailure e;
            if (!read_rule(rule) || !read_text(e.reason)) return false;
            e.rule = *rule;
            ends.push_back(std::move(e));
        }
        return true;
    };

    // The list holds the K smallest changed traces: all of them up to K.
    const auto n = r->count(8);
    if (!n || *n != std::min(*keep, acc.changed_traces_)) return malformed;
    acc.changed_.reserve(*n);
    for (std::size_t i = 0; i < *n; ++i) {
        ChangedTrace t;
        const auto shape = r->byte();
        const auto text = r->text();
        const auto number = r->varint();
        const auto passed = r->byte();
        const auto steps = r->varint();
        if (!shape || *shape > 2 || !text || !number || !passed || *passed > 3 || !steps || *steps > acc.steps_) {
            return malformed;
        }
        t.ref.shape = static_cast<TraceRef::Shape>(*shape);
        if ((t.ref.shape == TraceRef::Shape::number && !text->empty()) ||
            (t.ref.shape == TraceRef::Shape::text && *number != 0) || !is_valid_utf8(*text)) {
            return malformed;
        }
        t.ref.text = *text;
        t.ref.number = *number;
        t.steps = *steps;
        t.passed_before = *passed & 1;
        t.passed_after = *passed & 2;
        const auto changes = r->count(6);
        if (!changes) return malformed;
        for (std::size_t k = 0; k < *changes; ++k) {
            StepChange c;
            const auto step = r->varint();
            if (!step || *step >= t.steps || !read_text(c.tool) || !read_decision(c.before) ||
                !read_decision(c.after) || (c.before.rule == c.after.rule && c.before.asked == c.after.asked)) {
                return malformed;
            }
            c.step = *step;
            if (!t.changes.empty() && c.step <= t.changes.back().step) return malformed;
            const auto later = r->count(1);
            if (!later) return malformed;
            std::uint64_t previous = c.step;
            for (std::size_t s = 0; s < *later; ++s) {
                const auto gap = r->varint();
                std::uint64_t next = 0;
                if (!gap || __builtin_add_overflow(previous, *gap, &next) || next + 1 == 0 || next + 1 >= t.steps) {
                    return malformed;
                }
                previous = next + 1;
                c.later_steps.push_back(previous);
            }
            t.changes.push_back(std::move(c));
        }
        if (!read_ends(t.end_before) || !read_ends(t.end_after)) return malformed;
        // A changed trace changes somewhere; a passing one has no failed end check.
        if (t.changes.empty() && t.end_before.empty() && t.end_after.empty()) return malformed;
        if ((t.passed_before && !t.end_before.empty()) || (t.passed_after && !t.end_after.empty())) return malformed;
        if (!acc.changed_.empty() && t < acc.changed_.back()) return malformed;
        acc.changed_.push_back(std::move(t));
    }
    if (entries) {
        std::uint64_t* asked[] = {&acc.newly_asked_, &acc.no_longer_asked_, &acc.reasked_, &acc.untimed_traces_};
        for (std::uint64_t* n : asked) {
            const auto v = r->varint();
            if (!v) return malformed;
            *n = *v;
        }
        std::uint64_t all = changed_steps;
        for (std::uint64_t n : {acc.newly_asked_, acc.no_longer_asked_, acc.reasked_}) {
            if (__builtin_add_overflow(all, n, &all)) return malformed;
        }
        std::uint64_t asks = 0, no_longer_asks = 0;
        if (all > acc.steps_ || (all > 0 && acc.changed_traces_ == 0) || acc.untimed_traces_ > acc.traces_ ||
            !read_counts(acc.by_rule_.newly_asks, asks) || !read_counts(acc.by_rule_.no_longer_asks, no_longer_asks) ||
            asks > all || no_longer_asks > all) {
            return malformed;
        }
    }
    if (!r->at_end()) return malformed;
    return acc;
}

}  // namespace ostik
