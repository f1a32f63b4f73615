#include "ostik/coverage_accumulator.hpp"

#include <algorithm>
#include <utility>
#include <vector>

#include "argument_plan.hpp"
#include "byte_codec.hpp"
#include "checked_counts.hpp"
#include "language_state.hpp"
#include "recorded_steps.hpp"
#include "trace_state.hpp"
#include "ostik/text.hpp"

namespace ostik {

namespace {

using detail::ByteReader;
using detail::ByteWriter;

constexpr std::string_view magic = "OSKC";
// 2: argument counts after the names; 3: then the ask and limit entries'
// counts. A policy without entries has none, and its bytes are still written
// (and read) in format 2. 4: the same layout for a policy with flows, whose
// counts are judged from the steps' results: format 3 bytes of such a policy
// were counted without them (no flow ever triggered), and are refused rather
// than merged with counts that are.
constexpr std::uint8_t format_version = 3;
constexpr std::uint8_t plain_format_version = 2;
constexpr std::uint8_t flows_format_version = 4;

std::uint8_t version_of(const CoverageBasis& basis) {
    if (basis.needs_results()) return flows_format_version;
    return basis.counts_entries() ? format_version : plain_format_version;
}

}  // namespace

CoverageBasis::CoverageBasis(const Policy& policy, PolicyKey key)
    : key_(std::move(key)), analyzer_(CoverageAnalyzer::from_policy(policy)), summarizer_(policy, analyzer_) {
    auto guard = Guard::create(Policy(policy));
    if (guard) {
        guard_.emplace(std::move(*guard));
    } else {
        argument_error_ = guard.error().text();
    }
}

CoverageBasis::~CoverageBasis() = default;

std::expected<std::shared_ptr<const CoverageBasis>, std::string> CoverageBasis::create(const Policy& policy,
                                                                                       PolicyKey key) {
    return std::make_shared<const CoverageBasis>(policy, std::move(key));
}

bool CoverageBasis::counts_arguments() const {
    return guard_ && (!guard_->arguments().empty() || guard_->arguments().language().reads_arguments());
}

bool CoverageBasis::counts_entries() const { return guard_ && !guard_->arguments().language().empty(); }

bool CoverageBasis::needs_times() const { return guard_ && guard_->windowed_limits(); }

bool CoverageBasis::needs_results() const { return guard_ && guard_->has_flows(); }

CoverageAccumulator::CoverageAccumulator(std::shared_ptr<const CoverageBasis> basis)
    : basis_(std::move(basis)),
      argument_counts_(basis_->guard() ? basis_->guard()->arguments().rules().size() : 0),
      entry_counts_(basis_->counts_entries() ? basis_->guard()->entries().size() : 0) {}

// Inserts every name not yet seen; on an allocation failure takes out again
// those it put in, so that the set is as it was.
void CoverageAccumulator::insert_all(auto&& names) {
    std::vector<std::string_view> added;  // allocates only when a name is new
    try {
        for (std::string_view name : names) {
            if (seen_.contains(name)) continue;
            added.push_back(name);
            seen_.emplace(name);
        }
    } catch (...) {
        for (std::string_view name : added) {
            if (auto it = seen_.find(name); it != seen_.end()) seen_.erase(it);
        }
        throw;
    }
}

std::expected<void, std::string> CoverageAccumulator::add_traces(std::span<const std::string_view> tools,
                                                                 std::uint64_t traces,
                                                                 std::span<const std::optional<Value>> args,
                                                                 std::span<const std::uint64_t> unjudged,
                                                                 std::span<const std::optional<double>> times,
                                                                 std::span<const std::size_t> ends,
                                                                 std::span<const std::optional<Value>> results) {
    // A rule is reached at most once per step: with the steps, its counts fit.
    if (!detail::sum_fits(traces_, traces)) return detail::count_overflow("traces");
    if (!detail::sum_fits(steps_, tools.size())) return detail::count_overflow("steps");
    // The entries judge each trace on its own, into counts added last.
    std::vector<ArgumentRuleCount> entries;
    if (!entry_counts_.empty()) {
        entries.resize(entry_counts_.size());
        const Guard& guard = *basis_->guard();
        const std::size_t one[] = {tools.size()};
        const std::span<const std::size_t> bounds = ends.empty() ? std::span<const std::size_t>(one) : ends;
        std::size_t first = 0, next_unjudged = 0;
        std::vector<std::uint64_t> in_trace;
        detail::VerdictOnlySink sink;
        for (const std::size_t end : bounds) {
            in_trace.clear();
            while (next_unjudged < unjudged.size() && unjudged[next_unjudged] < end) {
                in_trace.push_back(unjudged[next_unjudged++] - first);
            }
            const std::size_t n = end - first;
            detail::TraceState state(guard.explainer().plan());
            detail::LanguageState language(guard.arguments().language(), guard.max_tracked_bytes());
            const detail::RecordedSteps steps{tools.subspan(first, n),
                                              args.empty() ? args : args.subspan(first, n),
                                              times.empty() ? times : times.subspan(first, n),
                                              in_trace,
                                              {},
                                              results.empty() ? results : results.subspan(first, n)};
            detail::judge_recorded_steps(
                guard.arguments(), state, &language, steps, [&](std::uint64_t) -> detail::VerdictOnlySink& { return sink; },
                [](std::uint64_t, std::uint32_t, const detail::StepVerdict&, const detail::EntryStep&) {},
                entries.data());
            first = end;
        }
    }
    insert_all(tools);
    traces_ += traces;
    steps_ += tools.size();
    for (std::size_t k = 0; k < entries.size(); ++k) {
        entry_counts_[k].reached += entries[k].reached;
        entry_counts_[k].violated += entries[k].violated;
    }
    if (args.empty() || !basis_->counts_arguments()) return {};
    const detail::ArgumentPlan& plan = basis_->guard()->arguments();
    std::size_t next_unjudged = 0;
    for (std::size_t i = 0; i < tools.size(); ++i) {
        if (next_unjudged < unjudged.size() && unjudged[next_unjudged] == i) {
            ++next_unjudged;
            continue;
        }
        detail::count_call(plan, tools[i], args[i], argument_counts_);
    }
    return {};
}

bool CoverageAccumulator::same_policy(const CoverageAccumulator& other) const {
    return basis_ == other.basis_ || basis_->key() == other.basis_->key();
}

std::expected<void, std::string> CoverageAccumulator::merge(const CoverageAccumulator& other) {
    // Checked before anything changes: a merge that fails leaves this as it was.
    if (!detail::sum_fits(traces_, other.traces_)) return detail::count_overflow("traces");
    if (!detail::sum_fits(steps_, other.steps_)) return detail::count_overflow("steps");
    for (std::size_t k = 0; k < argument_counts_.size() && k < other.argument_counts_.size(); ++k) {
        if (!detail::sum_fits(argument_counts_[k].reached, other.argument_counts_[k].reached) ||
            !detail::sum_fits(argument_counts_[k].violated, other.argument_counts_[k].violated)) {
            return detail::count_overflow("argument rule");
        }
    }
    for (std::size_t k = 0; k < entry_counts_.size() && k < other.entry_counts_.size(); ++k) {
        if (!detail::sum_fits(entry_counts_[k].reached, other.entry_counts_[k].reached) ||
            !detail::sum_fits(entry_counts_[k].violated, other.entry_counts_[k].violated)) {
            return detail::count_overflow("ask or limit entry");
        }
    }
    if (&other != this) insert_all(other.seen_);
    const std::uint64_t traces = other.traces_, steps = other.steps_;
    traces_ += traces;
    steps_ += steps;
    // Same policy, same rules: the lists are as long as each other.
    for (std::size_t k = 0; k < argument_counts_.size() && k < other.argument_counts_.size(); ++k) {
        argument_counts_[k].reached += other.argument_counts_[k].reached;
        argument_counts_[k].violated += other.argument_counts_[k].violated;
    }
    for (std::size_t k = 0; k < entry_counts_.size() && k < other.entry_counts_.size(); ++k) {
        entry_counts_[k].reached += other.entry_counts_[k].reached;
        entry_counts_[k].violated += other.entry_counts_[k].violated;
    }
    return {};
}

CoverageReport CoverageAccumulator::report(double threshold) const {
    // The distinct names as one trace: its summary is the join of the
    // summaries of the traces added (see the header). In sorted order, so
    // that the lists of unspecified order come out the same however the
    // traces were grouped and merged.
    std::vector<std::string> names(seen_.begin(), seen_.end());
    std::sort(names.begin(), names.end());
    const TraceSummary joined = basis_->summarizer().summarize(std::move(names));
    return basis_->analyzer().analyze(std::span<const TraceSummary>(&joined, 1), threshold);
}

std::string CoverageAccumulator::to_bytes() const {
    std::vector<std::string_view> names(seen_.begin(), seen_.end());
    std::sort(names.begin(), names.end());
    std::string out;
    ByteWriter w(out);
    const bool entries = basis_->counts_entries();
    w.raw(magic);
    w.byte(version_of(*basis_));
    w.fixed64(basis_->key().fingerprint);
    w.varint(traces_);
    w.varint(steps_);
    w.varint(names.size());
    for (std::string_view name : names) w.text(name);
    w.varint(argument_counts_.size());
    for (const ArgumentRuleCount& c : argument_counts_) {
        w.varint(c.reached);
        w.varint(c.violated);
    }
    if (entries) {
        w.varint(entry_counts_.size());
        for (const ArgumentRuleCount& c : entry_counts_) {
            w.varint(c.reached);
            w.varint(c.violated);
        }
    }
    w.seal();
    return out;
}

std::expected<CoverageAccumulator, std::string> CoverageAccumulator::from_bytes(
    std::shared_ptr<const CoverageBasis> basis, std::string_view bytes) {
    using Failure = std::unexpected<std::string>;
    const bool entries = basis->counts_entries();
    auto r = ByteReader::open(bytes, magic, version_of(*basis), "a coverage accumulator's");
    if (!r) return Failure(std::move(r.error()));
    const auto fingerprint = r->fixed64();
    if (fingerprint && *fingerprint != basis->key().fingerprint) return Failure("made with another policy");

    CoverageAccumulator acc(std::move(basis));
    const auto traces = r->varint();
    const auto steps = r->varint();
    const auto count = r->count();
    if (!traces || !steps || !count) return Failure("malformed");
    // Every distinct name was called at least once, and steps come in traces.
    if (*count > *steps || (*steps > 0 && (*count == 0 || *traces == 0))) return Failure("malformed");
    acc.traces_ = *traces;
    acc.steps_ = *steps;
    acc.seen_.reserve(*count);
    std::string_view previous;
    for (std::size_t i = 0; i < *count; ++i) {
        const auto name = r->text();
        // Strictly ascending: each name once, in the one order to_bytes writes.
        if (!name || (i > 0 && !(previous < *name)) || !is_valid_utf8(*name)) return Failure("malformed");
        acc.seen_.emplace(*name);
        previous = *name;
    }
    const auto rules = r->count();
    if (!rules || *rules != acc.argument_counts_.size()) return Failure("malformed");
    for (ArgumentRuleCount& c : acc.argument_counts_) {
        const auto reached = r->varint();
        const auto violated = r->varint();
        // A rule is reached at most once per step, and violated only where reached.
        if (!reached || !violated || *violated > *reached || *reached > *steps) return Failure("malformed");
        c = {*reached, *violated};
    }
    if (entries) {
        const auto n = r->count();
        if (!n || *n != acc.entry_counts_.size()) return Failure("malformed");
        for (ArgumentRuleCount& c : acc.entry_counts_) {
            const auto reached = r->varint();
            const auto violated = r->varint();
            // An entry is reached at most once per step, and asks or refuses only where reached.
            if (!reached || !violated || *violated > *reached || *reached > *steps) return Failure("malformed");
            c = {*reached, *violated};
        }
    }
    if (!r->at_end()) return Failure("malformed");
    return acc;
}

}  // namespace ostik
