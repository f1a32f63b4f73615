// Coverage measured piece by piece: traces added in any grouping, on any
// number of processes, and the pieces merged, give the report that one
// CoverageAnalyzer::analyze over all the traces gives.
//
// What makes this exact: the analyzer only ever joins the traces' summaries,
// and the joined summary depends on nothing but the set of distinct tool
// names called (a trace with a step always adds a name, and brings in every
// rule id of the policy; "deny_list" and "allow_list" follow from the names).
// An accumulator therefore holds that set and two counts, and its report is
// analyze() on the summary of the set taken as one trace. Its memory is
// bounded by the number of distinct names, whatever the number of traces.
//
// Beside it, the calls' argument counts by the policy's argument rules (as
// Guard::argument_rules lists them), which add up.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ostik/argument_rules.hpp"
#include "ostik/coverage.hpp"
#include "ostik/guard.hpp"
#include "ostik/policy.hpp"
#include "ostik/policy_encoding.hpp"
#include "ostik/tool_gate.hpp"
#include "ostik/value.hpp"

namespace ostik {

// What every accumulator of one policy shares; never changes once built.
class CoverageBasis {
public:
    CoverageBasis(const Policy& policy, PolicyKey key);
    ~CoverageBasis();
    // Never fails: a policy whose argument constraints cannot be understood
    // still has a coverage of its tools and rules.
    static std::expected<std::shared_ptr<const CoverageBasis>, std::string> create(const Policy& policy,
                                                                                   PolicyKey key);

    const PolicyKey& key() const { return key_; }
    const CoverageAnalyzer& analyzer() const { return analyzer_; }
    const TraceSummarizer& summarizer() const { return summarizer_; }
    // The guard that judges the argument rules, or nothing (and the reason in
    // argument_error()) when a constraint cannot be understood.
    const Guard* guard() const { return guard_ ? &*guard_ : nullptr; }
    const std::string& argument_error() const { return argument_error_; }
    // Whether calls must come with their arguments: the guard has argument
    // rules, or entries or value flows that read them.
    bool counts_arguments() const;
    // Whether the guard has ask or limit entries, counted trace by trace, and
    // whether those need the steps' times (windowed limits).
    bool counts_entries() const;
    bool needs_times() const;
    // Whether the steps must come with their results: the policy has flows.
    bool needs_results() const;

private:
    PolicyKey key_;
    CoverageAnalyzer analyzer_;
    TraceSummarizer summarizer_;
    std::optional<Guard> guard_;
    std::string argument_error_;
};

class CoverageAccumulator {
public:
    explicit CoverageAccumulator(std::shared_ptr<const CoverageBasis> basis);

    const std::shared_ptr<const CoverageBasis>& basis() const { return basis_; }

    // Adds `traces` traces whose steps, all together, call `tools` (the tool
    // name of every step, in any order). Wholly or, when a count would pass
    // 2^64 - 1 (the error says which) or on an allocation failure, not at all.
    // With `args` (one entry per step, needed when the basis counts
    // arguments), the calls are counted by the argument rules too, but for
    // those listed in `unjudged` (ascending), whose arguments could not be
    // read: no rule judged them.
    // Where the basis counts entries, each trace is judged as Guard.judge
    // judges it: `ends` gives where each trace's steps end (empty: `tools`
    // is one trace), `times` each step's time and `results` each step's
    // result, for the flows (each empty, or one per step).
    [[nodiscard]] std::expected<void, std::string> add_traces(std::span<const std::string_view> tools,
                                                              std::uint64_t traces,
                                                              std::span<const std::optional<Value>> args = {},
                                                              std::span<const std::uint64_t> unjudged = {},
                                                              std::span<const std::optional<double>> times = {},
                                                              std::span<const std::size_t> ends = {},
                                                              std::span<const std::optional<Value>> results = {});

    // Whether `other` was made under the same policy (equal encodings), the
    // condition for merge().
    bool same_policy(const CoverageAccumulator& other) const;
    // Adds the traces that `other` holds (`other` may be this one); refused,
    // changing nothing, when a count would pass 2^64 - 1.
    [[nodiscard]] std::expected<void, std::string> merge(const CoverageAccumulator& other);

    CoverageReport report(double threshold) const;

    std::uint64_t traces() const { return traces_; }
    std::uint64_t steps() const { return steps_; }
    std::size_t distinct_tools() const { return seen_.size(); }
    // One entry per argument rule of the basis' guard, in its order.
    std::span<const ArgumentRuleCount> argument_counts() const { return argument_counts_; }
    // One entry per ask and limit entry and flow (Guard::entries order) when
    // the basis counts entries: the steps each met, and asked about or refused.
    std::span<const ArgumentRuleCount> entry_counts() const { return entry_counts_; }

    // The state as bytes: the policy's fingerprint, the counts and the names
    // in ascending order, so that equal states give equal bytes.
    std::string to_bytes() const;
    // The state those bytes hold, for an accumulator of `basis`, or what is
    // wrong with them (including "made with another policy").
    static std::expected<CoverageAccumulator, std::string> from_bytes(std::shared_ptr<const CoverageBasis> basis,
                                                                      std::string_view bytes);

private:
    void insert_all(auto&& names);

    std::shared_ptr<const CoverageBasis> basis_;
    StringSet seen_;  // every distinct tool name called
    std::uint64_t traces_ = 0;
    std::uint64_t steps_ = 0;
    std::vector<ArgumentRuleCount> argument_counts_;
    std::vector<ArgumentRuleCount> entry_counts_;
};

}  // namespace ostik
