// An audit measured piece by piece: which traces break a policy, counted over
// traces added in any grouping and on any number of processes, and merged.
//
// Each trace is judged by the guard's own step judgement, rule state, ask
// and limit entries and flows (from the steps' results), as Guard.judge
// judges it: a trace fails when a step was blocked or an end-of-trace check
// failed (so a trace without steps fails when the policy has require
// rules). The accumulator counts traces, failed
// traces, steps, blocked steps per blocking rule id and failed end-of-trace
// checks per rule id, and keeps the failing traces with the K smallest
// references. Everything it holds merges by adding counts and keeping the K
// smallest of both lists, so the result does not depend on how the traces
// were grouped or in which order the pieces were merged. Its memory is
// bounded by the policy's rule ids and K, whatever the number of traces.
#pragma once

#include <compare>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ostik/guard.hpp"
#include "ostik/policy.hpp"
#include "ostik/policy_encoding.hpp"
#include "ostik/value.hpp"

namespace ostik {

// Where a trace came from, as the caller names it: a number (a position), a
// text (a label), or both (a file and a line). References are ordered by
// text, then number, then shape, which is what "smallest" means above.
struct TraceRef {
    enum class Shape : std::uint8_t { number = 0, text = 1, text_number = 2 };
    Shape shape = Shape::number;
    std::string text;          // empty for a number
    std::uint64_t number = 0;  // 0 for a text

    friend std::strong_ordering operator<=>(const TraceRef& a, const TraceRef& b) {
        if (auto c = a.text <=> b.text; c != 0) return c;
        if (auto c = a.number <=> b.number; c != 0) return c;
        return a.shape <=> b.shape;
    }
    friend bool operator==(const TraceRef&, const TraceRef&) = default;
};

struct FailingTrace {
    TraceRef ref;
    // The first blocked step, when a step was blocked.
    std::optional<std::uint64_t> first_block;
    // The id of the rule that blocked that step, else of the first failed
    // end-of-trace check (in policy order): an index into the basis' ids.
    std::size_t rule = 0;

    friend std::strong_ordering operator<=>(const FailingTrace& a, const FailingTrace& b) {
        if (auto c = a.ref <=> b.ref; c != 0) return c;
        if (auto c = a.first_block <=> b.first_block; c != 0) return c;
        return a.rule <=> b.rule;
    }
    friend bool operator==(const FailingTrace&, const FailingTrace&) = default;
};

// What every audit accumulator of one policy shares; never changes once built.
class AuditBasis {
public:
    AuditBasis(Guard guard, PolicyKey key);
    ~AuditBasis();
    // The basis of `policy`, or the text of the argument constraint that keeps
    // a guard from being made of it (as Guard::create reports it).
    static std::expected<std::shared_ptr<const AuditBasis>, std::string> create(const Policy& policy, PolicyKey key);

    const PolicyKey& key() const { return key_; }
    const Guard& guard() const { return guard_; }
    // Whether traces must come with their arguments: the guard has argument
    // rules, or entries that read arguments (repeats, ask conditions, value flows).
    bool judges_arguments() const;
    // Whether the policy has ask or limit entries, and whether traces must
    // come with their steps' times: some limit counts in a window of time.
    bool has_entries() const;
    bool judges_times() const;
    // Whether traces must come with their steps' results: the policy has
    // flows, which judge a call by the results recorded before it.
    bool judges_results() const;
    // Every rule id a trace can fail with: the policy's distinct rule ids,
    // "deny_list" and "allow_list", then those only argument rules have, and
    // "on_error" (a call whose arguments could not be read).
    std::size_t id_count() const;
    const std::string& id(std::size_t index) const;
    std::optional<std::size_t> id_index(std::string_view id) const;

private:
    PolicyKey key_;
    Guard guard_;
};

class AuditAccumulator {
public:
    AuditAccumulator(std::shared_ptr<const AuditBasis> basis, std::uint64_t keep);

    const std::shared_ptr<const AuditBasis>& basis() const { return basis_; }

    // Judges one trace, given by the tool name of each step in order and, when
    // the policy has argument rules, each step's arguments (`args` empty or
    // one entry per step), and adds it. Wholly or, when a count would pass
    // 2^64 - 1 (the error says which) or on an allocation failure, not at all.
    // `unjudged` lists, in ascending order, the steps whose arguments could
    // not be read (see UnjudgedArguments); their entries in `args` are unused.
    // `times` (empty, or one entry per step) gives each step's time in
    // seconds for windowed limits, which judge a step without one as not
    // applicable (and count the trace in untimed_traces()). `results`
    // (empty, or one entry per step, none for a step without one) gives
    // each step's result, recorded for the flows once the step is judged.
    // Ask and limit entries and flows judge every step as Guard.judge does:
    // a limit or a blocking flow fails a step, an ask (an ask entry's or an
    // asking flow's) fails nothing (a recorded step ran) and is counted.
    [[nodiscard]] std::expected<void, std::string> add_trace(std::span<const std::string_view> tools,
                                                             std::span<const std::optional<Value>> args,
                                                             const TraceRef& ref,
                                                             std::span<const std::uint64_t> unjudged = {},
                                                             std::span<const std::optional<double>> times = {},
                                                             std::span<const std::optional<Value>> results = {});
    [[nodiscard]] std::expected<void, std::string> add_trace(std::span<const std::string_view> tools,
                                                             const TraceRef& ref) {
        return add_trace(tools, {}, ref);
    }

    // The reference add_trace() takes for a trace given none: its position
    // among the traces this accumulator has counted.
    TraceRef next_position() const { return TraceRef{TraceRef::Shape::number, {}, traces_}; }

    bool same_policy(const AuditAccumulator& other) const;
    // Adds what `other` holds (`other` may be this one); the merged list keeps
    // the smaller of the two K. Refused, changing nothing, when a count would
    // pass 2^64 - 1 (the error says which).
    [[nodiscard]] std::expected<void, std::string> merge(const AuditAccumulator& other);

    std::uint64_t keep() const { return keep_; }
    std::uint64_t traces() const { return traces_; }
    std::uint64_t failed_traces() const { return failed_traces_; }
    std::uint64_t steps() const { return steps_; }
    std::uint64_t blocked_steps() const { return blocked_steps_; }
    // Steps an ask entry applied to, and traces with a step that a windowed
    // limit met without a time.
    std::uint64_t asked_steps() const { return asked_steps_; }
    std::uint64_t untimed_traces() const { return untimed_traces_; }
    // By id index (AuditBasis::id): blocked steps whose blocking rule it is,
    // and traces whose end-of-trace check of it failed.
    std::span<const std::uint64_t> blocked_by() const { return blocked_by_; }
    std::span<const std::uint64_t> end_failures() const { return end_failures_; }
    // At most keep() entries, in ascending order.
    std::span<const FailingTrace> failing() const { return failing_; }

    std::string to_bytes() const;
    static std::expected<AuditAccumulator, std::string> from_bytes(std::shared_ptr<const AuditBasis> basis,
                                                                   std::string_view bytes);

private:
    void keep_failing(FailingTrace entry);

    std::shared_ptr<const AuditBasis> basis_;
    std::uint64_t keep_;
    std::uint64_t traces_ = 0;
    std::uint64_t failed_traces_ = 0;
    std::uint64_t steps_ = 0;
    std::uint64_t blocked_steps_ = 0;
    std::uint64_t asked_steps_ = 0;
    std::uint64_t untimed_traces_ = 0;
    std::vector<std::uint64_t> blocked_by_;
    std::vector<std::uint64_t> end_failures_;
    std::vector<FailingTrace> failing_;
    // Per trace being judged: blocked steps and failed end checks by id
    // index, kept to spare an allocation per trace.
    std::vector<std::uint64_t> trace_blocked_;
    std::vector<char> trace_end_failed_;
};

}  // namespace ostik
