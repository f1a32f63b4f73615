// Randomised checks of the accumulators and the policy encoding, on the
// policies and traces of random_traces.hpp:
//  1. traces split at random into accumulators, merged in a random order,
//     give the report of one analyze() over all their summaries (the lists of
//     unspecified order compared as sets);
//  2. an audit of each trace agrees with a fresh guard session checking its
//     calls and finishing, and with the trace's judgement (Guard.judge):
//     failed, blocked steps, blocking rule ids, the first blocked step; and
//     the merged audit with their sums;
//     the merged argument counts are an ArgumentTally's over all the calls;
//  3. policies and accumulator states come back equal from their bytes;
//  4. bytes damaged at random (with a valid checksum, so that the structure
//     is what is tested) decode to an error or to a state that encodes back
//     to the same bytes, never to anything else.
#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "byte_codec.hpp"
#include "ostik/audit_accumulator.hpp"
#include "ostik/coverage.hpp"
#include "ostik/coverage_accumulator.hpp"
#include "ostik/guard.hpp"
#include "ostik/policy_encoding.hpp"
#include "ostik/text.hpp"
#include "ostik/trace_judgement.hpp"
#include "random_traces.hpp"
#include "check_failures.hpp"

using namespace ostik;
using namespace ostik::testing;

namespace {

// A policy with every field set, for the encoding.
Policy full_policy(std::mt19937& rng) {
    Policy p = random_policy(rng);
    // Loaded policies hold UTF-8 only; a pattern cut from a longer name may not be.
    for (SequenceRule& r : p.sequences) {
        if (auto* b = std::get_if<rule::Blocklist>(&r); b && !is_valid_utf8(b->pattern)) b->pattern = "x";
    }
    Object meta;
    meta.set("owner", Value("t\xc3\xa9\"am"));
    meta.set("n", Value(Array{Value(std::uint64_t{rng()}), Value(std::int64_t{-7}), Value(2.5), Value(), Value(true)}));
    p.metadata = Value(std::move(meta));
    if (rng() % 2) {
        p.tools.require_args.emplace();
        (*p.tools.require_args)["b"] = {"path", "mode"};
        (*p.tools.require_args)["a"] = {};
    }
    if (rng() % 2) {
        p.tools.arg_constraints.emplace();
        (*p.tools.arg_constraints)["a"]["path"] = Value("/tmp");
        (*p.tools.arg_constraints)["z"]["n"] = Value(std::int64_t{-3});
    }
    if (rng() % 2) p.on_error = ErrorPolicy::allow;
    return p;
}

std::vector<std::string_view> tools_of(const std::vector<ToolCall>& trace) {
    std::vector<std::string_view> tools;
    for (const ToolCall& c : trace) tools.push_back(c.tool);
    return tools;
}

std::vector<std::optional<Value>> args_of(const std::vector<ToolCall>& trace) {
    std::vector<std::optional<Value>> args;
    for (const ToolCall& c : trace) args.push_back(c.args);
    return args;
}

std::vector<std::string> sorted(std::vector<std::string> v) {
    std::sort(v.begin(), v.end());
    return v;
}

std::vector<std::string> gap_tools(const CoverageReport& r) {
    std::vector<std::string> tools;
    for (const HighRiskGap& g : r.high_risk_gaps) tools.push_back(g.tool);
    return sorted(tools);
}

bool same_report(const CoverageReport& a, const CoverageReport& b) {
    const ToolCoverage &ta = a.tool_coverage, &tb = b.tool_coverage;
    const RuleCoverage &ra = a.rule_coverage, &rb = b.rule_coverage;
    return ta.total_tools_in_policy == tb.total_tools_in_policy && ta.tools_seen_in_traces == tb.tools_seen_in_traces &&
           ta.coverage_pct == tb.coverage_pct && sorted(ta.unseen_tools) == sorted(tb.unseen_tools) &&
           sorted(ta.unexpected_tools) == sorted(tb.unexpected_tools) && ra.total_rules == rb.total_rules &&
           ra.rules_triggered == rb.rules_triggered && ra.coverage_pct == rb.coverage_pct &&
           ra.untriggered_rules == rb.untriggered_rules && gap_tools(a) == gap_tools(b) &&
           a.overall_coverage_pct == b.overall_coverage_pct && a.meets_threshold == b.meets_threshold;
}

// What a fresh observing session says of a trace (every step counts).
struct SessionAudit {
    bool failed = false;
    std::uint64_t blocked = 0;
    std::map<std::string, std::uint64_t> blocked_by;
    std::map<std::string, std::uint64_t> end_failed;  // 1 per id
    std::optional<std::uint64_t> first_block;
    std::string first_rule;
};

SessionAudit session_audit(const std::shared_ptr<const Guard>& guard, const std::vector<ToolCall>& trace) {
    GuardSession session(guard, nullptr, false, GuardMode::observe);
    SessionAudit a;
    for (const ToolCall& call : trace) {
        const GuardDecision d = session.check(call)->record();
        if (d.allowed()) continue;
        ++a.blocked;
        ++a.blocked_by[d.blocking()->rule_id];
        if (!a.first_block) {
            a.first_block = d.step;
            a.first_rule = d.blocking()->rule_id;
        }
    }
    for (const RuleEvaluation& e : session.finish()) {
        if (a.first_rule.empty()) a.first_rule = e.rule_id;
        a.end_failed[e.rule_id] = 1;
    }
    a.failed = a.blocked > 0 || !a.end_failed.empty();
    return a;
}

std::map<std::string, std::uint64_t> by_id(const AuditBasis& basis, std::span<const std::uint64_t> counts) {
    std::map<std::string, std::uint64_t> m;
    for (std::size_t i = 0; i < counts.size(); ++i) {
        if (counts[i]) m[basis.id(i)] += counts[i];
    }
    return m;
}

// Damages one byte (or cuts the end) of a sealed form and seals it again.
std::string damaged(std::string bytes, std::mt19937& rng) {
    std::string body = bytes.substr(0, bytes.size() - 8);
    if (body.size() <= 5) return bytes;
    const std::size_t at = 5 + rng() % (body.size() - 5);  // past the magic and version
    switch (rng() % 3) {
        case 0: body[at] = static_cast<char>(rng()); break;
        case 1: body.resize(at); break;
        default: body.insert(at, 1, static_cast<char>(rng() % 4));
    }
    std::string out = body;
    detail::ByteWriter(out).seal();
    return out;
}

}  // namespace

int main() {
    std::mt19937 rng(11);
    for (int round = 0; round < 400; ++round) {
        const Policy policy = full_policy(rng);
        const std::string encoding = encode_policy(policy);

        // 3. The policy from its bytes.
        auto decoded = decode_policy(encoding);
        if (!decoded || encode_policy(*decoded) != encoding) {
            fail("policy bytes, round " + std::to_string(round) + ": " + (decoded ? std::string("differs") : decoded.error()));
        }

        auto cov_basis = std::make_shared<const CoverageBasis>(policy, PolicyKey(encoding));
        auto audit_basis = AuditBasis::create(policy, PolicyKey(encoding)).value();
        auto guard = std::make_shared<const Guard>(Guard::create(Policy(policy)).value());
        ArgumentTally tally(*guard);
        const CoverageAnalyzer analyzer = CoverageAnalyzer::from_policy(policy);
        const TraceSummarizer summarizer(policy, analyzer);

        const std::size_t n = rng() % 12;
        const std::size_t parts = 1 + rng() % 4;
        std::vector<TraceSummary> summaries;
        std::vector<CoverageAccumulator> coverage(parts, CoverageAccumulator(cov_basis));
        const std::uint64_t keep = rng() % 4;
        std::vector<AuditAccumulator> audits(parts, AuditAccumulator(audit_basis, keep));
        SessionAudit expected_total;
        std::vector<std::uint64_t> failing_refs;
        for (std::size_t t = 0; t < n; ++t) {
            const std::vector<ToolCall> trace = random_trace(rng);
            const auto tools = tools_of(trace);
            const auto args = args_of(trace);
            std::vector<std::string> names(tools.begin(), tools.end());
            summaries.push_back(summarizer.summarize(names));
            const std::size_t part = rng() % parts;
            if (!coverage[part].add_traces(tools, 1, args)) fail("coverage count overflowed");
            for (const ToolCall& call : trace) tally.add(call);

            // 2. One trace alone against a fresh session.
            AuditAccumulator alone(audit_basis, 1);
            const TraceRef ref{TraceRef::Shape::text_number, "f", t};
            if (!alone.add_trace(tools, args, ref)) fail("audit count overflowed");
            const SessionAudit s = session_audit(guard, trace);
            const bool failed = alone.failed_traces() == 1;
            if (failed != s.failed || alone.blocked_steps() != s.blocked ||
                by_id(*audit_basis, alone.blocked_by()) != s.blocked_by ||
                by_id(*audit_basis, alone.end_failures()) != s.end_failed ||
                (failed && (alone.failing().size() != 1 || alone.failing()[0].first_block != s.first_block ||
                            audit_basis->id(alone.failing()[0].rule) != s.first_rule))) {
                fail("audit of one trace, round " + std::to_string(round));
            }
            // And against the whole-trace judgement behind Guard.judge.
            TraceJudgement judgement(guard);
            for (const ToolCall& call : trace) judgement.add_step(call.tool, call.args);
            judgement.finish();
            if (judgement.passed() == failed || judgement.blocked_steps() != alone.blocked_steps() ||
                (failed && (judgement.first_block() != alone.failing()[0].first_block ||
                            judgement.blocking_rules().front() != audit_basis->id(alone.failing()[0].rule)))) {
                fail("audit against TraceJudgement, round " + std::to_string(round));
            }
            if (!audits[part].add_trace(tools, args, ref)) fail("audit count overflowed");
            expected_total.blocked += s.blocked;
            if (s.failed) failing_refs.push_back(t);
        }

        // 1. Merged in a random order, the report of analyze().
        std::vector<std::size_t> order(parts);
        for (std::size_t i = 0; i < parts; ++i) order[i] = i;
        std::shuffle(order.begin(), order.end(), rng);
        CoverageAccumulator merged(cov_basis);
        AuditAccumulator audit(audit_basis, 1000);
        for (std::size_t i : order) {
            if (!merged.merge(coverage[i]) || !audit.merge(audits[i])) fail("merged count overflowed");
        }
        const double threshold = static_cast<double>(rng() % 150);
        if (!same_report(merged.report(threshold), analyzer.analyze(summaries, threshold)) || merged.traces() != n) {
            fail("merged coverage, round " + std::to_string(round));
        }
        bool counted = merged.argument_counts().size() == tally.counts().size();
        for (std::size_t k = 0; counted && k < tally.counts().size(); ++k) {
            counted = merged.argument_counts()[k].reached == tally.counts()[k].reached &&
                      merged.argument_counts()[k].violated == tally.counts()[k].violated;
        }
        if (!counted) fail("merged argument counts, round " + std::to_string(round));
        std::vector<std::uint64_t> kept;
        for (const FailingTrace& f : audit.failing()) kept.push_back(f.ref.number);
        failing_refs.resize(std::min<std::size_t>(failing_refs.size(), keep));
        if (audit.traces() != n || audit.blocked_steps() != expected_total.blocked || kept != failing_refs ||
            audit.keep() != keep) {
            fail("merged audit, round " + std::to_string(round));
        }

        // 3. States from their bytes; 4. damaged bytes.
        auto cov_back = CoverageAccumulator::from_bytes(cov_basis, merged.to_bytes());
        auto audit_back = AuditAccumulator::from_bytes(audit_basis, audit.to_bytes());
        if (!cov_back || cov_back->to_bytes() != merged.to_bytes() || !audit_back ||
            audit_back->to_bytes() != audit.to_bytes()) {
            fail("state bytes, round " + std::to_string(round));
        }
        for (int k = 0; k < 20; ++k) {
            const std::string bad_cov = damaged(merged.to_bytes(), rng);
            if (auto back = CoverageAccumulator::from_bytes(cov_basis, bad_cov); back && back->to_bytes() != bad_cov) {
                fail("damaged coverage bytes read as something else, round " + std::to_string(round));
            }
            const std::string bad_audit = damaged(audit.to_bytes(), rng);
            if (auto back = AuditAccumulator::from_bytes(audit_basis, bad_audit); back && back->to_bytes() != bad_audit) {
                fail("damaged audit bytes read as something else, round " + std::to_string(round));
            }
            // Maps may decode from another order: re-encoding puts them in order.
            const std::string bad_policy = damaged(encoding, rng);
            if (auto back = decode_policy(bad_policy)) {
                const std::string again = encode_policy(*back);
                auto twice = decode_policy(again);
                if (!twice || encode_policy(*twice) != again) fail("damaged policy bytes, round " + std::to_string(round));
            }
        }
        // Another policy's bytes are refused.
        const std::string other = encode_policy(full_policy(rng));
        if (other != encoding) {
            auto other_basis = std::make_shared<const CoverageBasis>(policy, PolicyKey(other));
            if (CoverageAccumulator::from_bytes(other_basis, merged.to_bytes())) fail("another policy's state accepted");
        }
    }
    std::printf("%s (%d failures)\n", failures ? "FAILED" : "ok", failures);
    return failures ? 1 : 0;
}
