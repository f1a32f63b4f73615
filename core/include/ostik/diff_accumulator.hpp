// What a change of policy changes on recorded traces, measured piece by
// piece: traces added in any grouping and on any number of processes, and
// the pieces merged.
//
// Each trace is judged under both policies by the guard's own step judgement
// and rule state, as a fresh session of each would judge its calls (as the
// audit accumulator does). A step changes when its blocking rule changes:
// allowed under one policy and blocked under the other, or blocked by
// another rule; or, blocked under neither, asked about under one and not the
// other (or by another ask entry: a recorded step ran, so an ask fails
// nothing); a trace changes when a step changes or the set of its failed
// end-of-trace checks does. The accumulator counts traces and steps, the
// traces that change and how (newly failing, newly passing, failing under
// both), the steps that change and how, and per rule id of either policy the
// steps it newly blocks or no longer blocks and the traces whose end check
// of it newly fails or no longer fails. It keeps the changed traces with the
// K smallest references, each with its changed steps grouped by change and
// both decisions' reasons. Everything merges by adding counts and keeping
// the K smallest of both lists, so the result does not depend on how the
// traces were grouped or in which order the pieces were merged.
//
// Each trace is judged once under each policy, keeping of each blocked step
// only the check that blocked it; the texts are made for a changed trace only.
#pragma once

#include <compare>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "ostik/argument_rules.hpp"
#include "ostik/audit_accumulator.hpp"
#include "ostik/guard.hpp"
#include "ostik/value.hpp"

namespace ostik {

namespace detail {
struct DiffSide;
}  // namespace detail

// One side of a changed step: the rule that blocked it (an index into the
// basis' ids) with its reason, the ask entry that applied to it (`asked`)
// with the reason approval is needed, or nothing for an allowed step.
struct DiffDecision {
    std::optional<std::size_t> rule;
    std::string reason;  // empty when allowed
    bool asked = false;

    friend auto operator<=>(const DiffDecision&, const DiffDecision&) = default;
};

// The steps of a trace that change alike: the same tool, blocked by the same
// rule (or allowed) under each policy. Shown at its first step, with the
// reasons that step was given, and the later steps listed.
struct StepChange {
    std::uint64_t step = 0;
    std::string tool;
    DiffDecision before;  // under the old policy
    DiffDecision after;   // under the new policy
    std::vector<std::uint64_t> later_steps;  // ascending, each after `step`

    friend auto operator<=>(const StepChange&, const StepChange&) = default;
};

// A failed end-of-trace check.
struct EndFailure {
    std::size_t rule = 0;  // an index into the basis' ids
    std::string reason;

    friend auto operator<=>(const EndFailure&, const EndFailure&) = default;
};

struct ChangedTrace {
    TraceRef ref;
    bool passed_before = false;
    bool passed_after = false;
    std::uint64_t steps = 0;
    // In order of their first steps.
    std::vector<StepChange> changes;
    // Every failed end-of-trace check under each policy (in policy order),
    // when the two sets of rule ids differ; both empty otherwise.
    std::vector<EndFailure> end_before;
    std::vector<EndFailure> end_after;

    friend auto operator<=>(const ChangedTrace&, const ChangedTrace&) = default;
};

// What every diff accumulator of one pair of policies shares; never changes once built.
class DiffBasis {
public:
    DiffBasis(std::shared_ptr<const AuditBasis> before, std::shared_ptr<const AuditBasis> after);
    ~DiffBasis();

    const AuditBasis& before() const { return *before_; }
    const AuditBasis& after() const { return *after_; }
    const std::shared_ptr<const AuditBasis>& before_basis() const { return before_; }
    const std::shared_ptr<const AuditBasis>& after_basis() const { return after_; }
    // Whether traces must come with their arguments: either guard has argument rules.
    bool judges_arguments() const;
    // Whether either policy has ask or limit entries, or windowed limits.
    bool has_entries() const { return before_->has_entries() || after_->has_entries(); }
    bool judges_times() const { return before_->judges_times() || after_->judges_times(); }
    // Whether traces must come with their steps' results: either policy has flows.
    bool judges_results() const { return before_->judges_results() || after_->judges_results(); }

    // The rule ids of both policies (each AuditBasis::id list, the old
    // policy's first), each once.
    std::size_t id_count() const { return ids_.size(); }
    const std::string& id(std::size_t index) const { return ids_[index]; }
    std::optional<std::size_t> id_index(std::string_view id) const;
    // An id index of either policy's guard, as an index into these ids.
    std::size_t joint_before(std::size_t index) const { return before_ids_[index]; }
    std::size_t joint_after(std::size_t index) const { return after_ids_[index]; }

private:
    std::shared_ptr<const AuditBasis> before_;
    std::shared_ptr<const AuditBasis> after_;
    std::vector<std::string> ids_;
    std::unordered_map<std::string_view, std::size_t> index_of_;
    std::vector<std::size_t> before_ids_;
    std::vector<std::size_t> after_ids_;

    friend class DiffAccumulator;
};

// Counts per rule id, by index into the basis' ids.
struct DiffRuleCounts {
    std::vector<std::uint64_t> newly_blocks;     // steps it blocks under the new policy and did not block before
    std::vector<std::uint64_t> no_longer_blocks; // steps it blocked under the old policy and does not block now
    std::vector<std::uint64_t> newly_fails_at_end;     // traces
    std::vector<std::uint64_t> no_longer_fails_at_end; // traces
    std::vector<std::uint64_t> newly_asks;       // steps an ask entry asks about now and did not before
    std::vector<std::uint64_t> no_longer_asks;   // steps it asked about before and does not now
};

class DiffAccumulator {
public:
    DiffAccumulator(std::shared_ptr<const DiffBasis> basis, std::uint64_t keep);

    const std::shared_ptr<const DiffBasis>& basis() const { return basis_; }

    // Judges one trace under both policies, given as AuditAccumulator::add_trace
    // takes it, with `unjudged_why` (one entry per `unjudged` index) saying why
    // each of those steps' arguments could not be read; and adds it. A step an
    // asking flow applies to is asked about by the flow's id. Wholly or,
    // when a count would pass 2^64 - 1 (the error says which) or on an
    // allocation failure, not at all.
    [[nodiscard]] std::expected<void, std::string> add_trace(std::span<const std::string_view> tools,
                                                             std::span<const std::optional<Value>> args,
                                                             const TraceRef& ref,
                                                             std::span<const std::uint64_t> unjudged = {},
                                                             std::span<const UnjudgedArguments> unjudged_why = {},
                                                             std::span<const std::optional<double>> times = {},
                                                             std::span<const std::optional<Value>> results = {});

    TraceRef next_position() const { return TraceRef{TraceRef::Shape::number, {}, traces_}; }

    bool same_policy(const DiffAccumulator& other) const;
    // Adds what `other` holds (`other` may be this one); the merged list keeps
    // the smaller of the two K. Refused, changing nothing, when a count would
    // pass 2^64 - 1.
    [[nodiscard]] std::expected<void, std::string> merge(const DiffAccumulator& other);

    std::uint64_t keep() const { return keep_; }
    std::uint64_t traces() const { return traces_; }
    std::uint64_t steps() const { return steps_; }
    std::uint64_t failed_before() const { return failed_before_; }
    std::uint64_t failed_after() const { return failed_after_; }
    std::uint64_t changed_traces() const { return changed_traces_; }
    std::uint64_t newly_failing() const { return newly_failing_; }
    std::uint64_t newly_passing() const { return newly_passing_; }
    std::uint64_t changed_steps() const {
        return newly_blocked_ + unblocked_ + reblocked_ + newly_asked_ + no_longer_asked_ + reasked_;
    }
    std::uint64_t newly_blocked_steps() const { return newly_blocked_; }  // allowed, now blocked
    std::uint64_t unblocked_steps() const { return unblocked_; }          // blocked, now allowed
    std::uint64_t reblocked_steps() const { return reblocked_; }          // blocked by another rule now
    // Steps blocked under neither policy whose ask changes.
    std::uint64_t newly_asked_steps() const { return newly_asked_; }          // allowed, now asked
    std::uint64_t no_longer_asked_steps() const { return no_longer_asked_; }  // asked, now allowed
    std::uint64_t reasked_steps() const { return reasked_; }                  // asked by another entry now
    // Traces with a step that a windowed limit of either policy met without a time.
    std::uint64_t untimed_traces() const { return untimed_traces_; }
    const DiffRuleCounts& by_rule() const { return by_rule_; }
    // At most keep() entries, in ascending order.
    std::span<const ChangedTrace> changed() const { return changed_; }

    std::string to_bytes() const;
    static std::expected<DiffAccumulator, std::string> from_bytes(std::shared_ptr<const DiffBasis> basis,
                                                                  std::string_view bytes);

private:
    ChangedTrace describe(std::span<const std::string_view> tools, const TraceRef& ref, bool end_differs);
    void keep_changed(ChangedTrace entry);

    std::shared_ptr<const DiffBasis> basis_;
    std::uint64_t keep_;
    std::uint64_t traces_ = 0;
    std::uint64_t steps_ = 0;
    std::uint64_t failed_before_ = 0;
    std::uint64_t failed_after_ = 0;
    std::uint64_t changed_traces_ = 0;
    std::uint64_t newly_failing_ = 0;
    std::uint64_t newly_passing_ = 0;
    std::uint64_t newly_blocked_ = 0;
    std::uint64_t unblocked_ = 0;
    std::uint64_t reblocked_ = 0;
    std::uint64_t newly_asked_ = 0;
    std::uint64_t no_longer_asked_ = 0;
    std::uint64_t reasked_ = 0;
    std::uint64_t untimed_traces_ = 0;
    DiffRuleCounts by_rule_;
    std::vector<ChangedTrace> changed_;
    // The trace being judged under each policy (its rule state, each step's
    // blocking rule and check, the failed end checks), kept to spare
    // allocations; a copy of the accumulator starts with its own.
    struct Scratch {
        std::unique_ptr<detail::DiffSide> before, after;
        Scratch();
        ~Scratch();
        Scratch(const Scratch&);
        Scratch& operator=(const Scratch&);
        Scratch(Scratch&&) noexcept;
        Scratch& operator=(Scratch&&) noexcept;
    };
    Scratch scratch_;
    DiffRuleCounts trace_counts_;  // this trace's changes by rule
};

}  // namespace ostik
