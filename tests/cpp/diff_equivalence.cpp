// Randomised checks of the diff accumulator, on pairs of the policies and on
// the traces of random_traces.hpp, against the whole-trace judgement behind
// Guard.judge under each policy:
//  1. a trace changes exactly when some step's blocking rule id, or the set of
//     its failed end-of-trace checks' ids, differs; its outcome under each
//     policy is the judgement's; every changed step is listed once, with the
//     blocking rule and reason of each judgement's decision;
//  2. the per-rule counts add up to the changed steps and end checks;
//  3. traces split at random into accumulators, merged in a random order,
//     give the bytes of one accumulator of all of them, and the bytes read
//     back as the same state.
#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "ostik/diff_accumulator.hpp"
#include "ostik/guard.hpp"
#include "ostik/policy_encoding.hpp"
#include "ostik/text.hpp"
#include "ostik/trace_judgement.hpp"
#include "random_traces.hpp"
#include "check_failures.hpp"

using namespace ostik;
using namespace ostik::testing;

namespace {

TraceJudgement judged(const std::shared_ptr<const Guard>& guard, const std::vector<ToolCall>& trace) {
    TraceJudgement j(guard);
    for (const ToolCall& call : trace) j.add_step(call.tool, call.args);
    j.finish();
    return j;
}

// The blocking rule id of each step ("" when allowed) and its reason.
std::vector<std::pair<std::string, std::string>> blocking(const TraceJudgement& j) {
    std::vector<std::pair<std::string, std::string>> out;
    for (std::uint64_t s = 0; s < j.steps(); ++s) {
        const GuardDecision d = j.decision(s);
        out.emplace_back(d.blocking() ? d.blocking()->rule_id : "", d.blocking() ? d.blocking()->explanation : "");
    }
    return out;
}

std::set<std::string> end_ids(const TraceJudgement& j) {
    std::set<std::string> ids;
    for (const RuleEvaluation& e : j.end_failures()) ids.insert(e.rule_id);
    return ids;
}

std::string rule_of(const DiffBasis& basis, const DiffDecision& d) { return d.rule ? basis.id(*d.rule) : ""; }

// Loaded policies hold UTF-8 only; a pattern cut from a longer name may not be.
Policy loadable(Policy p) {
    for (SequenceRule& r : p.sequences) {
        if (auto* b = std::get_if<rule::Blocklist>(&r); b && !is_valid_utf8(b->pattern)) b->pattern = "x";
    }
    return p;
}

}  // namespace

int main() {
    std::mt19937 rng(23);
    for (int round = 0; round < 300; ++round) {
        const Policy old_policy = loadable(random_policy(rng));
        const Policy new_policy = rng() % 4 ? loadable(random_policy(rng)) : old_policy;
        auto before = AuditBasis::create(old_policy, PolicyKey(encode_policy(old_policy))).value();
        auto after = AuditBasis::create(new_policy, PolicyKey(encode_policy(new_policy))).value();
        const auto basis = std::make_shared<const DiffBasis>(before, after);
        const auto old_guard = std::make_shared<const Guard>(Guard::create(Policy(old_policy)).value());
        const auto new_guard = std::make_shared<const Guard>(Guard::create(Policy(new_policy)).value());

        const std::size_t n = rng() % 10;
        const std::size_t parts = 1 + rng() % 3;
        const std::uint64_t keep = 1000;
        std::vector<DiffAccumulator> pieces(parts, DiffAccumulator(basis, keep));
        DiffAccumulator whole(basis, keep);
        std::uint64_t changed_steps = 0;
        for (std::size_t t = 0; t < n; ++t) {
            const std::vector<ToolCall> trace = random_trace(rng);
            std::vector<std::string_view> tools;
            std::vector<std::optional<Value>> args;
            for (const ToolCall& c : trace) {
                tools.push_back(c.tool);
                args.push_back(c.args);
            }
            const TraceRef ref{TraceRef::Shape::text_number, "f", t};
            DiffAccumulator alone(basis, 1);
            if (!alone.add_trace(tools, args, ref) || !whole.add_trace(tools, args, ref) ||
                !pieces[rng() % parts].add_trace(tools, args, ref)) {
                fail("a count overflowed");
            }
            const TraceJudgement a = judged(old_guard, trace), b = judged(new_guard, trace);
            const auto was = blocking(a), now = blocking(b);
            std::vector<std::uint64_t> differing;
            for (std::size_t s = 0; s < was.size(); ++s) {
                if (was[s].first != now[s].first) differing.push_back(s);
            }
            changed_steps += differing.size();
            const bool changed = !differing.empty() || end_ids(a) != end_ids(b);
            const std::string where = "round " + std::to_string(round) + ", trace " + std::to_string(t);
            if ((alone.changed_traces() == 1) != changed || alone.changed().size() != (changed ? 1u : 0u)) {
                fail("changed or not, " + where);
                continue;
            }
            if (alone.newly_failing() != (a.passed() && !b.passed()) ||
                alone.newly_passing() != (!a.passed() && b.passed())) {
                fail("outcome counts, " + where);
            }
            if (!changed) continue;
            const ChangedTrace& c = alone.changed()[0];
            if (c.passed_before != a.passed() || c.passed_after != b.passed()) fail("outcomes, " + where);
            std::vector<std::uint64_t> listed;
            for (const StepChange& s : c.changes) {
                listed.push_back(s.step);
                listed.insert(listed.end(), s.later_steps.begin(), s.later_steps.end());
                if (rule_of(*basis, s.before) != was[s.step].first || s.before.reason != was[s.step].second ||
                    rule_of(*basis, s.after) != now[s.step].first || s.after.reason != now[s.step].second) {
                    fail("a changed step's decisions, " + where);
                }
                for (std::uint64_t later : s.later_steps) {
                    if (was[later].first != was[s.step].first || now[later].first != now[s.step].first ||
                        trace[later].tool != trace[s.step].tool) {
                        fail("a later step that changed otherwise, " + where);
                    }
                }
            }
            std::sort(listed.begin(), listed.end());
            if (listed != differing) fail("the changed steps, " + where);
        }

        // 2. The per-rule counts against the totals.
        std::uint64_t newly = 0, no_longer = 0;
        for (std::size_t i = 0; i < basis->id_count(); ++i) {
            newly += whole.by_rule().newly_blocks[i];
            no_longer += whole.by_rule().no_longer_blocks[i];
        }
        if (whole.changed_steps() != changed_steps ||
            newly != whole.newly_blocked_steps() + whole.reblocked_steps() ||
            no_longer != whole.unblocked_steps() + whole.reblocked_steps()) {
            fail("per-rule counts, round " + std::to_string(round));
        }

        // 3. Merged in a random order; from bytes.
        std::vector<std::size_t> order(parts);
        for (std::size_t i = 0; i < parts; ++i) order[i] = i;
        std::shuffle(order.begin(), order.end(), rng);
        DiffAccumulator merged(basis, keep);
        for (std::size_t i : order) {
            if (!merged.merge(pieces[i])) fail("merged count overflowed");
        }
        const std::string bytes = whole.to_bytes();
        if (merged.to_bytes() != bytes) fail("merged pieces differ from one pass, round " + std::to_string(round));
        auto back = DiffAccumulator::from_bytes(basis, bytes);
        if (!back || back->to_bytes() != bytes) {
            fail("diff bytes, round " + std::to_string(round) + ": " + (back ? std::string("differ") : back.error()));
        }
    }
    if (failures) {
        std::fprintf(stderr, "diff_equivalence: %d failures\n", failures);
        return 1;
    }
    std::puts("diff_equivalence: ok");
    return 0;
}
