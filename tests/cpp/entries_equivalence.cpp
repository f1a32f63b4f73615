// Randomised checks of the ask and limit entries' state (language_state.hpp)
// and of the accumulators that judge by it, on random policies with entries
// and random traces with times (some missing, some out of order):
//  1. the state's verdicts equal a brute-force reading of the entries over
//     the calls before: a session limit counts the calls of its tools, a
//     windowed one those in (t - per, t], a repeat the run of equal calls
//     just before, an ask applies once its `after` tool ran and its
//     condition holds, and nothing asks when a limit refuses;
//  2. a state saved and restored midway decides the rest as the original;
//  3. an audit of each trace agrees with the trace's judgement (Guard.judge):
//     failed, blocked steps, asked steps, untimed windows; a diff of the
//     policy against itself changes nothing, and against the policy without
//     entries changes exactly the steps whose decisions differ;
//  4. the coverage accumulator's entry counts are the judgements' sums, and
//     every accumulator comes back equal from its bytes;
//  5. with flows and the steps' results, 3 and 4 hold as well: each
//     accumulator records a step's result after it, as the judgement does.
#include <cmath>
#include <cstdio>
#include <deque>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "language_state.hpp"
#include "ostik/audit_accumulator.hpp"
#include "ostik/coverage_accumulator.hpp"
#include "ostik/diff_accumulator.hpp"
#include "ostik/guard.hpp"
#include "ostik/policy_encoding.hpp"
#include "ostik/trace_judgement.hpp"
#include "argument_plan.hpp"
#include "random_traces.hpp"
#include "check_failures.hpp"

using namespace ostik;
using namespace ostik::testing;

namespace {

int flow_steps = 0;  // steps a flow blocked or asked about, over all policies

const std::vector<std::string> names = {"a", "b", "c", "d", "e"};

Policy entries_policy(std::mt19937& rng) {
    ascii_only = true;
    Policy p = random_policy(rng);
    p.sequences.resize(std::min<std::size_t>(p.sequences.size(), 2));
    auto pick = [&] { return names[rng() % names.size()]; };
    const int asks = static_cast<int>(rng() % 3);
    for (int i = 0; i < asks; ++i) {
        AskEntry e;
        e.tools = rng() % 4 ? NameList{pick()} : NameList{"*"};
        if (rng() % 2) e.after = NameList{pick()};
        if (rng() % 3 == 0) {
            e.args.emplace();
            (*e.args)["path"] = Value("/tmp");
        }
        p.ask.push_back(std::move(e));
    }
    const int limits = 1 + static_cast<int>(rng() % 3);
    for (int i = 0; i < limits; ++i) {
        LimitEntry e;
        switch (rng() % 3) {
            case 0:
                e.tools = rng() % 3 ? NameList{pick()} : NameList{};
                e.max = rng() % 4;
                break;
            case 1:
                e.tools = NameList{pick(), pick()};
                e.max = 1 + rng() % 3;
                e.per = static_cast<double>(1 + rng() % 5);
                e.per_text = std::to_string(static_cast<int>(*e.per)) + "s";
                break;
            default:
                if (rng() % 2) e.tools = NameList{pick()};
                e.repeat = 2 + rng() % 2;
        }
        p.limits.push_back(std::move(e));
    }
    // Flows, in half the policies: taint and value flows (the paths of the
    // args are what results hold), blocking or asking.
    const int flows = rng() % 2 ? 0 : 1 + static_cast<int>(rng() % 2);
    for (int i = 0; i < flows; ++i) {
        FlowEntry f;
        f.from = NameList{pick()};
        f.to = rng() % 3 ? NameList{pick()} : NameList{pick(), pick()};
        if (rng() % 2) f.min_length = 4;
        if (f.min_length && rng() % 2) f.args = NameList{"path"};
        f.ask = rng() % 2;
        p.flows.push_back(std::move(f));
    }
    return p;
}

struct Timed {
    std::vector<ToolCall> calls;
    std::vector<std::optional<double>> times;
    std::vector<std::optional<Value>> results;  // one per call; none for a call without one
};

Timed timed_trace(std::mt19937& rng) {
    Timed t;
    const std::size_t n = rng() % 16;
    double now = 0;
    for (std::size_t i = 0; i < n; ++i) {
        ToolCall c;
        c.tool = names[rng() % names.size()];
        if (rng() % 3 == 0) {
            Object o;
            o.set("path", Value(rng() % 2 ? "/tmp" : "/"));
            c.args = Value(std::move(o));
        }
        t.calls.push_back(std::move(c));
        now += static_cast<double>(rng() % 3);
        // Mostly in order, sometimes earlier than the one before, sometimes missing.
        const std::uint32_t r = rng() % 10;
        t.times.push_back(r == 0 ? std::nullopt : std::optional<double>(r == 1 ? now - 3 : now));
        const std::uint32_t kind = rng() % 4;
        t.results.push_back(kind == 0   ? std::nullopt
                            : kind == 1 ? std::optional<Value>(Value("see /tmp/x"))
                                        : std::optional<Value>(Value(kind == 2 ? "nothing here" : "/")));
    }
    return t;
}

bool covers(const NameList& tools, const AliasMap& aliases, const std::string& tool) {
    for (const std::string& name : tools) {
        if (name == "*" || name == tool) return true;
        auto it = aliases.find(name);
        if (it != aliases.end() && std::find(it->second.begin(), it->second.end(), tool) != it->second.end()) {
            return true;
        }
    }
    return false;
}

// The entries' decision on call `i` from the calls before it, read off the entries directly.
struct Brute {
    std::vector<std::uint32_t> refused;  // limit indices, in order
    std::optional<std::uint32_t> ask;
    bool untimed = false;
};

Brute brute(const Policy& p, const Timed& t, std::size_t i, bool blocked) {
    Brute b;
    const std::string& tool = t.calls[i].tool;
    for (std::uint32_t k = 0; k < p.limits.size(); ++k) {
        const LimitEntry& l = p.limits[k];
        const bool every = l.tools.empty();
        if (!every && !covers(l.tools, p.aliases, tool)) continue;
        if (l.repeat) {
            std::uint64_t run = 0;
            for (std::size_t j = i; j-- > 0;) {
                if (t.calls[j].tool != tool || t.calls[j].args != t.calls[i].args) break;
                ++run;
            }
            if (run + 1 >= *l.repeat && run > 0) b.refused.push_back(k);
            continue;
        }
        std::uint64_t count = 0;
        if (l.per) {
            if (!t.times[i]) {
                b.untimed = true;
                continue;
            }
            // The window's clock does not run back: each counted call at the latest time so far.
            std::vector<double> counted;
            for (std::size_t j = 0; j < i; ++j) {
                if ((every || covers(l.tools, p.aliases, t.calls[j].tool)) && t.times[j]) {
                    counted.push_back(counted.empty() ? *t.times[j] : std::max(*t.times[j], counted.back()));
                }
            }
            const double now = counted.empty() ? *t.times[i] : std::max(*t.times[i], counted.back());
            for (double when : counted) count += when > now - *l.per;
        } else {
            for (std::size_t j = 0; j < i; ++j) count += every || covers(l.tools, p.aliases, t.calls[j].tool);
        }
        if (count >= l.max.value_or(0)) b.refused.push_back(k);
    }
    if (blocked || !b.refused.empty()) return b;
    for (std::uint32_t k = 0; k < p.ask.size(); ++k) {
        const AskEntry& a = p.ask[k];
        if (!covers(a.tools, p.aliases, tool)) continue;
        if (a.after) {
            bool ran = false;
            for (std::size_t j = 0; j < i && !ran; ++j) ran = covers(*a.after, p.aliases, t.calls[j].tool);
            if (!ran) continue;
        }
        if (a.args) {
            const Value* path = nullptr;
            if (t.calls[i].args && t.calls[i].args->is<Object>()) path = t.calls[i].args->as<Object>().find("path");
            if (!path || !(*path == Value("/tmp"))) continue;
        }
        b.ask = k;
        break;
    }
    return b;
}

struct Recorded {
    std::vector<std::uint32_t> limits;
    std::optional<std::uint32_t> ask;
    void limit(std::uint32_t k, std::uint64_t) { limits.push_back(k); }
    void ask_entry(std::uint32_t k) { ask = k; }
};

struct Sink {
    Recorded& r;
    void limit(std::uint32_t k, std::uint64_t n) { r.limit(k, n); }
    void ask(std::uint32_t k) { r.ask_entry(k); }
    void flow(std::uint32_t, const detail::FlowMatch&) {}  // the policies drawn here have no flows
};

std::vector<std::string_view> tools_of(const Timed& t) {
    std::vector<std::string_view> v;
    for (const ToolCall& c : t.calls) v.push_back(c.tool);
    return v;
}

std::vector<std::optional<Value>> args_of(const Timed& t) {
    std::vector<std::optional<Value>> v;
    for (const ToolCall& c : t.calls) v.push_back(c.args);
    return v;
}

void check_state(const Policy& p, const Guard& guard, const Timed& t, std::mt19937& rng, const std::string& label) {
    using namespace detail;
    const LanguagePlan& plan = guard.arguments().language();
    LanguageState state(plan);
    std::optional<LanguageState> copy;
    const std::size_t save_at = t.calls.empty() ? 0 : rng() % t.calls.size();
    std::map<std::string, std::uint32_t> slots;
    for (std::size_t i = 0; i < t.calls.size(); ++i) {
        const std::string& tool = t.calls[i].tool;
        const std::uint32_t slot = slots.try_emplace(tool, static_cast<std::uint32_t>(slots.size())).first->second;
        const bool blocked = rng() % 5 == 0;  // as if another check had blocked it
        const LanguageCall call{tool, &t.calls[i].args, t.times[i], call_args_hash(plan, t.calls[i].args),
                                t.calls[i].args.has_value()};
        Recorded got;
        Sink sink{got};
        const ToolEntries& entries = state.entries(slot, tool);
        const LanguageVerdict v = state.judge(entries, call, blocked, sink);
        const Brute want = brute(p, t, i, blocked);
        if (got.limits != want.refused || got.ask != want.ask || v.windows_unjudged != want.untimed) {
            fail(label + ": step " + std::to_string(i) + " (" + tool + "): limits " +
                 std::to_string(got.limits.size()) + " vs " + std::to_string(want.refused.size()) + ", ask " +
                 (got.ask ? std::to_string(*got.ask) : "-") + " vs " + (want.ask ? std::to_string(*want.ask) : "-"));
            return;
        }
        if (copy) {
            Recorded again;
            Sink s2{again};
            const LanguageVerdict v2 = copy->judge(copy->entries(slot, tool), call, blocked, s2);
            if (again.limits != got.limits || again.ask != got.ask || v2.windows_unjudged != v.windows_unjudged) {
                fail(label + ": a restored state decides step " + std::to_string(i) + " otherwise");
                return;
            }
            copy->advance(copy->entries(slot, tool), call);
        }
        state.advance(entries, call);
        if (i == save_at) {
            copy.emplace(plan);
            copy->restore(state.save());
        }
    }
}

void check_accumulators(const Policy& p, std::shared_ptr<const Guard> guard, const std::vector<Timed>& traces,
                        const std::string& label) {
    const std::string encoding = encode_policy(p);
    auto basis = AuditBasis::create(p, PolicyKey(encoding));
    if (!basis) {
        fail(label + ": no audit basis: " + basis.error());
        return;
    }
    Policy plain = p;
    plain.ask.clear();
    plain.limits.clear();
    plain.flows.clear();
    auto plain_basis = AuditBasis::create(plain, PolicyKey(encode_policy(plain)));
    auto coverage_basis = CoverageBasis::create(p, PolicyKey(encoding));
    if (!plain_basis || !coverage_basis) {
        fail(label + ": no basis");
        return;
    }
    AuditAccumulator audit(*basis, 1000);
    DiffAccumulator same(std::make_shared<const DiffBasis>(*basis, *basis), 1000);
    DiffAccumulator added(std::make_shared<const DiffBasis>(*plain_basis, *basis), 1000);
    CoverageAccumulator coverage(*coverage_basis);
    const Guard plain_guard = *Guard::create(Policy(plain));
    auto plain_shared = std::make_shared<const Guard>(*Guard::create(Policy(plain)));
    std::uint64_t failed = 0, blocked = 0, asked = 0, untimed = 0, changed_steps = 0;
    std::vector<ArgumentRuleCount> entry_totals(guard->entries().size());
    for (std::size_t n = 0; n < traces.size(); ++n) {
        const Timed& t = traces[n];
        const auto tools = tools_of(t);
        const auto args = args_of(t);
        TraceJudgement judged(guard), before(plain_shared);
        for (std::size_t i = 0; i < t.calls.size(); ++i) {
            judged.add_step(t.calls[i].tool, t.calls[i].args, t.times[i]);
            before.add_step(t.calls[i].tool, t.calls[i].args, t.times[i]);
            if (t.results[i]) judged.add_result(i, *t.results[i]);
        }
        judged.finish();
        before.finish();
        failed += !judged.passed();
        blocked += judged.blocked_steps();
        asked += judged.asked_steps();
        untimed += judged.windows_unjudged();
        for (std::size_t i = 0; i < t.calls.size(); ++i) {
            const GuardDecision a = before.decision(i), b = judged.decision(i);
            const std::string* ra = a.blocking() ? &a.blocking()->rule_id : nullptr;
            const std::string* rb = b.blocking() ? &b.blocking()->rule_id : nullptr;
            changed_steps += a.verdict != b.verdict || (ra && rb && *ra != *rb);
            for (const RuleEvaluation& f : b.failures) flow_steps += f.rule_type == "flow";
        }
        for (std::size_t k = 0; k < entry_totals.size(); ++k) {
            entry_totals[k].reached += judged.entry_counts()[k].reached;
            entry_totals[k].violated += judged.entry_counts()[k].violated;
        }
        const TraceRef ref{TraceRef::Shape::number, {}, n};
        if (!audit.add_trace(tools, args, ref, {}, t.times, t.results) ||
            !same.add_trace(tools, args, ref, {}, {}, t.times, t.results) ||
            !added.add_trace(tools, args, ref, {}, {}, t.times, t.results) ||
            !coverage.add_traces(tools, 1, args, {}, t.times, {}, t.results)) {
            fail(label + ": a trace was refused");
            return;
        }
    }
    if (audit.failed_traces() != failed || audit.blocked_steps() != blocked || audit.asked_steps() != asked ||
        audit.untimed_traces() != untimed) {
        fail(label + ": the audit differs from the judgements: failed " + std::to_string(audit.failed_traces()) +
             " vs " + std::to_string(failed) + ", blocked " + std::to_string(audit.blocked_steps()) + " vs " +
             std::to_string(blocked) + ", asked " + std::to_string(audit.asked_steps()) + " vs " +
             std::to_string(asked));
    }
    if (same.changed_traces() != 0 || same.changed_steps() != 0) fail(label + ": a policy differs from itself");
    if (added.changed_steps() != changed_steps) {
        fail(label + ": adding the entries changes " + std::to_string(added.changed_steps()) + " steps, not " +
             std::to_string(changed_steps));
    }
    for (std::size_t k = 0; k < entry_totals.size(); ++k) {
        if (coverage.entry_counts()[k].reached != entry_totals[k].reached ||
            coverage.entry_counts()[k].violated != entry_totals[k].violated) {
            fail(label + ": entry " + std::to_string(k) + "'s coverage differs from the judgements'");
        }
    }
    auto audit_back = AuditAccumulator::from_bytes(*basis, audit.to_bytes());
    auto added_back = DiffAccumulator::from_bytes(added.basis(), added.to_bytes());
    auto coverage_back = CoverageAccumulator::from_bytes(*coverage_basis, coverage.to_bytes());
    if (!audit_back || audit_back->to_bytes() != audit.to_bytes() || audit_back->asked_steps() != asked) {
        fail(label + ": the audit's bytes do not round-trip");
    }
    if (!added_back || added_back->to_bytes() != added.to_bytes()) fail(label + ": the diff's bytes do not round-trip");
    if (!coverage_back || coverage_back->to_bytes() != coverage.to_bytes()) {
        fail(label + ": the coverage's bytes do not round-trip");
    }
}

}  // namespace

int main() {
    std::mt19937 rng(20261209);
    int policies = 0;
    for (int round = 0; round < 400; ++round) {
        const Policy p = entries_policy(rng);
        auto guard = Guard::create(Policy(p));
        if (!guard) continue;
        ++policies;
        auto shared = std::make_shared<const Guard>(std::move(*guard));
        std::vector<Timed> traces;
        for (int k = 0; k < 12; ++k) traces.push_back(timed_trace(rng));
        const std::string label = "policy " + std::to_string(round);
        for (const Timed& t : traces) check_state(p, *shared, t, rng, label);
        check_accumulators(p, shared, traces, label);
    }
    if (policies < 100) fail("too few policies made guards: " + std::to_string(policies));
    if (flow_steps == 0) fail("no flow ever applied");
    if (failures) {
        std::fprintf(stderr, "entries_equivalence: %d failures\n", failures);
        return 1;
    }
    std::printf("entries_equivalence: %d policies, ok\n", policies);
    return 0;
}
