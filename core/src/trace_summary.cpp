// A trace's summary is built without explaining the trace. It is the same as
// collecting the rule ids of the trace's explanation, because the explanation
// driver
//  - evaluates every sequence rule of the policy at every step, so one step is
//    enough to bring in every rule id of the policy;
//  - adds a tool-check entry only when the check fails, with the id
//    "deny_list" or "allow_list", decided by the same ToolGate used here;
//  - appends end-of-trace results (require, after) to the last step only, and
//    their ids are ids of policy rules, already present;
//  - produces no steps, hence no ids, for an empty trace.
// Whether an evaluation passed plays no part in coverage, so nothing else of
// the explanation is needed.
#include "ostik/coverage.hpp"

namespace ostik {

TraceSummarizer::TraceSummarizer(const Policy& policy, const CoverageAnalyzer& analyzer)
    : gate_(policy), policy_rule_ids_(analyzer.rule_ids().begin(), analyzer.rule_ids().end()) {}

TraceSummary TraceSummarizer::summarize(std::vector<std::string> tools) const {
    TraceSummary summary;
    if (tools.empty()) return summary;
    summary.triggered_rules = policy_rule_ids_;
    bool denied = false;
    bool not_allowed = false;
    for (const std::string& tool : tools) {
        switch (gate_.check(tool)) {
            case ToolVerdict::denied: denied = true; break;
            case ToolVerdict::not_allowed: not_allowed = true; break;
            case ToolVerdict::pass: break;
        }
        if (denied && not_allowed) break;
    }
    if (denied) summary.triggered_rules.insert("deny_list");
    if (not_allowed) summary.triggered_rules.insert("allow_list");
    summary.tools = std::move(tools);
    return summary;
}

void TraceSummarizer::summarize_into(TraceSummary& all, std::size_t first_tool) const {
    if (first_tool >= all.tools.size()) return;
    // The policy's ids go in together, with the first trace that has a step.
    if (!policy_rule_ids_.empty() && !all.triggered_rules.contains(*policy_rule_ids_.begin())) {
        all.triggered_rules.insert(policy_rule_ids_.begin(), policy_rule_ids_.end());
    }
    bool denied = all.triggered_rules.contains("deny_list");
    bool not_allowed = all.triggered_rules.contains("allow_list");
    for (std::size_t i = first_tool; i < all.tools.size() && !(denied && not_allowed); ++i) {
        switch (gate_.check(all.tools[i])) {
            case ToolVerdict::denied:
                if (!denied) all.triggered_rules.insert("deny_list");
                denied = true;
                break;
            case ToolVerdict::not_allowed:
                if (!not_allowed) all.triggered_rules.insert("allow_list");
                not_allowed = true;
                break;
            case ToolVerdict::pass:
                break;
        }
    }
}

}  // namespace ostik
