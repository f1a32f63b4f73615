// Randomised check that a trace's coverage summary, built from the tool gate
// and the policy's rule ids without explaining the trace, holds exactly the
// rule ids found in the trace's explanation.
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "ostik/coverage.hpp"
#include "ostik/explain.hpp"

using namespace ostik;

namespace {

const std::vector<std::string> names = {"a", "b", "c", "g", "h", "m1", "m2", "A", "\xce\xa3x", ""};

Policy random_policy(std::mt19937& rng) {
    auto pick = [&] { return names[rng() % names.size()]; };
    Policy p;
    p.aliases["g"] = {"m1", "m2"};
    p.aliases["h"] = {};
    if (rng() % 2) p.tools.deny = NameList{pick()};
    if (rng() % 2) p.tools.allow = NameList(rng() % 3, pick());
    for (int n = static_cast<int>(rng() % 7); n > 0; --n) {
        const std::uint32_t num = rng() % 3;
        switch (rng() % 8) {
            case 0: p.sequences.push_back(rule::Require{pick()}); break;
            case 1: p.sequences.push_back(rule::Eventually{pick(), num}); break;
            case 2: p.sequences.push_back(rule::MaxCalls{pick(), num}); break;
            case 3: p.sequences.push_back(rule::Before{pick(), pick()}); break;
            case 4: p.sequences.push_back(rule::After{pick(), pick(), num}); break;
            case 5: p.sequences.push_back(rule::NeverAfter{pick(), pick()}); break;
            case 6: p.sequences.push_back(rule::Sequence{NameList(num, pick()), false}); break;
            default: p.sequences.push_back(rule::Blocklist{pick()});
        }
    }
    return p;
}

}  // namespace

int main() {
    std::mt19937 rng(7);
    int failures = 0;
    Policy policy;
    TraceSummary joined, joined_expected;
    for (int round = 0; round < 3000; ++round) {
        // A new policy every few rounds; the rounds between join their traces.
        if (round % 4 == 0) {
            policy = random_policy(rng);
            joined = joined_expected = TraceSummary{};
        }
        const TraceExplainer explainer(policy);
        const CoverageAnalyzer analyzer = CoverageAnalyzer::from_policy(policy);
        const TraceSummarizer summarizer(policy, analyzer);
        std::vector<ToolCall> steps(rng() % 6);
        std::vector<std::string> tools;
        for (ToolCall& step : steps) {
            step.tool = names[rng() % names.size()];
            tools.push_back(step.tool);
        }
        StringSet explained;
        for (const ExplainedStep& step : explainer.explain(steps).steps) {
            for (const RuleEvaluation& e : step.rules_evaluated) explained.insert(e.rule_id);
        }
        const TraceSummary summary = summarizer.summarize(tools);
        if (summary.triggered_rules != explained || summary.tools != tools) {
            if (++failures <= 10) std::fprintf(stderr, "FAIL: round %d\n", round);
        }

        // Joined into one summary with the traces of earlier rounds (of the
        // same policy): the union of their ids, their tools in order.
        joined_expected.tools.insert(joined_expected.tools.end(), tools.begin(), tools.end());
        joined_expected.triggered_rules.insert(summary.triggered_rules.begin(), summary.triggered_rules.end());
        const std::size_t first = joined.tools.size();
        joined.tools.insert(joined.tools.end(), tools.begin(), tools.end());
        summarizer.summarize_into(joined, first);
        if (joined.tools != joined_expected.tools || joined.triggered_rules != joined_expected.triggered_rules) {
            if (++failures <= 10) std::fprintf(stderr, "FAIL: round %d, joined summary\n", round);
        }
    }
    std::printf("%s (%d failures)\n", failures ? "FAILED" : "ok", failures);
    return failures ? 1 : 0;
}
