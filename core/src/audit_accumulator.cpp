#include "ostik/audit_accumulator.hpp"

#include <algorithm>
#include <utility>

#include "argument_plan.hpp"
#include "byte_codec.hpp"
#include "checked_counts.hpp"
#include "kept_traces.hpp"
#include "explain_plan.hpp"
#include "ostik/text.hpp"
#include "language_state.hpp"
#include "recorded_steps.hpp"
#include "step_judgement.hpp"
#include "trace_state.hpp"

namespace ostik {

namespace {

using detail::ByteReader;
using detail::ByteWriter;
using detail::count_overflow;
using detail::sum_fits;
using detail::sums_fit;

constexpr std::string_view magic = "OSKA";
// 2: the asked steps and the traces with untimed windows after the failing
// list. A policy without ask or limit entries has neither, and its bytes are
// still written (and read) in format 1.
constexpr std::uint8_t format_version = 2;
constexpr std::uint8_t plain_format_version = 1;

const detail::ExplainPlan& plan_of(const AuditBasis& basis) { return basis.guard().explainer().plan(); }

}  // namespace

AuditBasis::AuditBasis(Guard guard, PolicyKey key) : key_(std::move(key)), guard_(std::move(guard)) {}

std::expected<std::shared_ptr<const AuditBasis>, std::string> AuditBasis::create(const Policy& policy, PolicyKey key) {
    auto guard = Guard::create(Policy(policy));
    if (!guard) return std::unexpected(guard.error().text());
    return std::make_shared<const AuditBasis>(std::move(*guard), std::move(key));
}

AuditBasis::~AuditBasis() = default;

bool AuditBasis::judges_arguments() const {
    return !guard_.arguments().empty() || guard_.arguments().language().reads_arguments();
}

bool AuditBasis::has_entries() const { return !guard_.arguments().language().empty(); }

bool AuditBasis::judges_times() const { return guard_.windowed_limits(); }

bool AuditBasis::judges_results() const { return guard_.has_flows(); }

std::size_t AuditBasis::id_count() const { return guard_.arguments().id_count(); }

const std::string& AuditBasis::id(std::size_t index) const { return guard_.arguments().id(index).raw; }

std::optional<std::size_t> AuditBasis::id_index(std::string_view id) const {
    // Only reading bytes asks: a scan of the policy's few ids will do.
    for (std::size_t i = 0; i < id_count(); ++i) {
        if (this->id(i) == id) return i;
    }
    return std::nullopt;
}

AuditAccumulator::AuditAccumulator(std::shared_ptr<const AuditBasis> basis, std::uint64_t keep)
    : basis_(std::move(basis)),
      keep_(keep),
      blocked_by_(basis_->id_count(), 0),
      end_failures_(basis_->id_count(), 0),
      trace_blocked_(basis_->id_count(), 0),
      trace_end_failed_(basis_->id_count(), 0) {}

void AuditAccumulator::keep_failing(FailingTrace entry) {
    detail::keep_trace(failing_, keep_, std::move(entry));
}

std::expected<void, std::string> AuditAccumulator::add_trace(std::span<const std::string_view> tools,
                                                             std::span<const std::optional<Value>> args,
                                                             const TraceRef& ref,
                                                             std::span<const std::uint64_t> unjudged,
                                                             std::span<const std::optional<double>> times,
                                                             std::span<const std::optional<Value>> results) {
    using namespace detail;
    const ExplainPlan& plan = plan_of(*basis_);
    const Guard& guard = basis_->guard();
    TraceState state(plan);
    std::optional<LanguageState> language;
    if (basis_->has_entries()) language.emplace(guard.arguments().language(), guard.max_tracked_bytes());
    detail::VerdictOnlySink sink;
    std::uint64_t blocked = 0, asked = 0;
    bool untimed = false;
    std::optional<std::uint64_t> first_block;
    std::size_t first_rule = 0;
    judge_recorded_steps(
        guard.arguments(), state, language ? &*language : nullptr, RecordedSteps{tools, args, times, unjudged, {}, results},
        [&](std::uint64_t) -> detail::VerdictOnlySink& { return sink; },
        [&](std::uint64_t step, std::uint32_t, const StepVerdict& verdict, const EntryStep& entry) {
            asked += entry.ask || entry.ask_flow;
            untimed = untimed || entry.windows_unjudged;
            if (!verdict.blocked()) return;
            ++blocked;
            ++trace_blocked_[verdict.blocked_by];
            if (!first_block) {
                first_block = step;
                first_rule = verdict.blocked_by;
            }
        });
    bool end_failed = false;
    for (std::size_t k = 0; k < plan.rules.size(); ++k) {
        if (!state.end_check(k)) continue;
        const std::size_t id = plan.rules[k].id_index;
        if (!end_failed && !first_block) first_rule = id;
        end_failed = true;
        trace_end_failed_[id] = 1;
    }
    const bool failed = blocked > 0 || end_failed;

    auto clear_trace = [&] {
        if (blocked) std::fill(trace_blocked_.begin(), trace_blocked_.end(), 0);
        if (end_failed) std::fill(trace_end_failed_.begin(), trace_end_failed_.end(), 0);
    };
    // Every count is checked before any changes, so that a trace that would
    // overflow one leaves the accumulator as it was.
    auto fits = [&]() -> std::expected<void, std::string> {
        if (!sum_fits(traces_, 1)) return count_overflow("traces");
        if (!sum_fits(failed_traces_, failed)) return count_overflow("failed traces");
        if (!sum_fits(steps_, tools.size())) return count_overflow("steps");
        if (!sum_fits(blocked_steps_, blocked)) return count_overflow("blocked steps");
        if (!sum_fits(asked_steps_, asked)) return count_overflow("asked steps");
        if (!sum_fits(untimed_traces_, untimed)) return count_overflow("traces with untimed windows");
        if (!sums_fit(blocked_by_, trace_blocked_)) return count_overflow("blocked steps by rule");
        for (std::size_t i = 0; i < end_failures_.size() && end_failed; ++i) {
            if (trace_end_failed_[i] && !sum_fits(end_failures_[i], 1)) return count_overflow("end failures by rule");
        }
        return {};
    };
    if (auto checked = fits(); !checked) {
        clear_trace();
        return checked;
    }
    // The one step that may allocate comes before anything is counted.
    try {
        if (failed) keep_failing(FailingTrace{ref, first_block, first_rule});
    } catch (...) {
        clear_trace();
        throw;
    }
    ++traces_;
    failed_traces_ += failed;
    steps_ += tools.size();
    blocked_steps_ += blocked;
    asked_steps_ += asked;
    untimed_traces_ += untimed;
    for (std::size_t i = 0; i < blocked_by_.size() && (blocked || end_failed); ++i) {
        blocked_by_[i] += trace_blocked_[i];
        end_failures_[i] += static_cast<std::uint64_t>(trace_end_failed_[i]);
    }
    clear_trace();
    return {};
}

bool AuditAccumulator::same_policy(const AuditAccumulator& other) const {
    return basis_ == other.basis_ || basis_->key() == other.basis_->key();
}

std::expected<void, std::string> AuditAccumulator::merge(const AuditAccumulator& other) {
    if (&other == this) {
        const AuditAccumulator copy = other;
        return merge(copy);
    }
    // Checked before anything changes: a merge that fails leaves this as it was.
    if (!sum_fits(traces_, other.traces_)) return count_overflow("traces");
    if (!sum_fits(failed_traces_, other.failed_traces_)) return count_overflow("failed traces");
    if (!sum_fits(steps_, other.steps_)) return count_overflow("steps");
    if (!sum_fits(blocked_steps_, other.blocked_steps_)) return count_overflow("blocked steps");
    if (!sum_fits(asked_steps_, other.asked_steps_)) return count_overflow("asked steps");
    if (!sum_fits(untimed_traces_, other.untimed_traces_)) return count_overflow("traces with untimed windows");
    if (!sums_fit(blocked_by_, other.blocked_by_)) return count_overflow("blocked steps by rule");
    if (!sums_fit(end_failures_, other.end_failures_)) return count_overflow("end failures by rule");
    const std::uint64_t keep = std::min(keep_, other.keep_);
    failing_ = detail::merged_kept(failing_, other.failing_, keep);
    keep_ = keep;
    traces_ += other.traces_;
    failed_traces_ += other.failed_traces_;
    steps_ += other.steps_;
    blocked_steps_ += other.blocked_steps_;
    asked_steps_ += other.asked_steps_;
    untimed_traces_ += other.untimed_traces_;
    for (std::size_t i = 0; i < blocked_by_.size(); ++i) {
        blocked_by_[i] += other.blocked_by_[i];
        end_failures_[i] += other.end_failures_[i];
    }
    return {};
}

namespace {

// The nonzero counts by id, in ascending order of the ids' texts.
void write_counts(ByteWriter& w, const AuditBasis& basis, std::span<const std::uint64_t> counts) {
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

}  // namespace

std::string AuditAccumulator::to_bytes() const {
    std::string out;
    ByteWriter w(out);
    const bool entries = basis_->has_entries();
    w.raw(magic);
    w.byte(entries ? format_version : plain_format_version);
    w.fixed64(basis_->key().fingerprint);
    w.varint(keep_);
    w.varint(traces_);
    w.varint(failed_traces_);
    w.varint(steps_);
    w.varint(blocked_steps_);
    write_counts(w, *basis_, blocked_by_);
    write_counts(w, *basis_, end_failures_);
    w.varint(failing_.size());
    for (const FailingTrace& f : failing_) {
        w.byte(static_cast<std::uint8_t>(f.ref.shape));
        w.text(f.ref.text);
        w.varint(f.ref.number);
        w.byte(f.first_block ? 1 : 0);
        if (f.first_block) w.varint(*f.first_block);
        w.text(basis_->id(f.rule));
    }
    if (entries) {
        w.varint(asked_steps_);
        w.varint(untimed_traces_);
    }
    w.seal();
    return out;
}

std::expected<AuditAccumulator, std::string> AuditAccumulator::from_bytes(std::shared_ptr<const AuditBasis> basis,
                                                                          std::string_view bytes) {
    using Failure = std::unexpected<std::string>;
    const Failure malformed("malformed");
    const bool entries = basis->has_entries();
    auto r = ByteReader::open(bytes, magic, entries ? format_version : plain_format_version, "an audit accumulator's");
    if (!r) return Failure(std::move(r.error()));
    const auto fingerprint = r->fixed64();
    if (fingerprint && *fingerprint != basis->key().fingerprint) return Failure("made with another policy");

    const auto keep = r->varint();
    if (!keep) return malformed;
    AuditAccumulator acc(std::move(basis), *keep);
    const AuditBasis& b = *acc.basis_;
    const auto traces = r->varint(), failed = r->varint(), steps = r->varint(), blocked = r->varint();
    if (!traces || !failed || !steps || !blocked) return malformed;
    // A failed trace is a trace, a blocked step a step of some failed trace.
    if (*failed > *traces || *blocked > *steps || (*steps > 0 && *traces == 0) || (*blocked > 0 && *failed == 0)) {
        return malformed;
    }
    acc.traces_ = *traces;
    acc.failed_traces_ = *failed;
    acc.steps_ = *steps;
    acc.blocked_steps_ = *blocked;

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
    std::uint64_t blocked_total = 0, end_total = 0;
    if (!read_counts(acc.blocked_by_, blocked_total) || blocked_total != *blocked) return malformed;
    if (!read_counts(acc.end_failures_, end_total)) return malformed;
    for (std::uint64_t n : acc.end_failures_) {
        if (n > *failed) return malformed;
    }

    // The list holds the K smallest failing traces: all of them up to K.
    const auto n = r->count(5);
    if (!n || *n != std::min(*keep, *failed)) return malformed;
    acc.failing_.reserve(*n);
    for (std::size_t i = 0; i < *n; ++i) {
        FailingTrace f;
        const auto shape = r->byte();
        const auto text = r->text();
        const auto number = r->varint();
        const auto has_block = r->byte();
        if (!shape || *shape > 2 || !text || !number || !has_block || *has_block > 1) return malformed;
        f.ref.shape = static_cast<TraceRef::Shape>(*shape);
        if ((f.ref.shape == TraceRef::Shape::number && !text->empty()) ||
            (f.ref.shape == TraceRef::Shape::text && *number != 0) || !is_valid_utf8(*text)) {
            return malformed;
        }
        f.ref.text = *text;
        f.ref.number = *number;
        if (*has_block) {
            const auto step = r->varint();
            if (!step || *step >= *steps) return malformed;
            f.first_block = *step;
        }
        const auto id = r->text();
        const auto index = id ? b.id_index(*id) : std::nullopt;
        if (!index) return malformed;
        f.rule = *index;
        // Its rule blocked a step, or failed at the end, of some trace counted.
        if ((f.first_block ? acc.blocked_by_ : acc.end_failures_)[f.rule] == 0) return malformed;
        if (!acc.failing_.empty() && f < acc.failing_.back()) return malformed;
        acc.failing_.push_back(std::move(f));
    }
    if (entries) {
        const auto asked = r->varint(), untimed = r->varint();
        // An asked step was not blocked; an untimed window is met in a trace.
        if (!asked || !untimed || *asked > *steps - *blocked || *untimed > *traces) return malformed;
        acc.asked_steps_ = *asked;
        acc.untimed_traces_ = *untimed;
    }
    if (!r->at_end()) return malformed;
    return acc;
}

}  // namespace ostik
