#include <variant>

#include "ostik/coverage.hpp"
#include "ostik/rule_ids.hpp"

namespace ostik {

namespace {

constexpr const char* gap_reason = "Tool is in deny list but never appeared in test traces";
constexpr const char* gap_severity = "high";

// The tools a sequence rule names, and what it adds to the high-risk set.
struct RuleTools {
    StringSet& policy_tools;
    StringSet& high_risk_tools;

    void operator()(const rule::Require& r) { policy_tools.insert(r.tool); }
    void operator()(const rule::Eventually& r) { policy_tools.insert(r.tool); }
    void operator()(const rule::MaxCalls& r) { policy_tools.insert(r.tool); }
    void operator()(const rule::Before& r) {
        policy_tools.insert(r.first);
        policy_tools.insert(r.then);
    }
    void operator()(const rule::After& r) {
        policy_tools.insert(r.trigger);
        policy_tools.insert(r.then);
    }
    void operator()(const rule::NeverAfter& r) {
        policy_tools.insert(r.trigger);
        policy_tools.insert(r.forbidden);
        high_risk_tools.insert(r.forbidden);
    }
    void operator()(const rule::Sequence& r) { policy_tools.insert(r.tools.begin(), r.tools.end()); }
    // A pattern is not a tool name: it only marks a gap that no call can close.
    void operator()(const rule::Blocklist& r) { high_risk_tools.insert("*" + r.pattern + "*"); }
};

double percentage(std::uint64_t part, std::uint64_t whole) {
    if (whole == 0) return 100.0;
    return static_cast<double>(part) / static_cast<double>(whole) * 100.0;
}

}  // namespace

CoverageAnalyzer CoverageAnalyzer::from_policy(const Policy& policy) {
    CoverageAnalyzer a;
    const ToolsPolicy& tools = policy.tools;
    if (tools.allow) a.policy_tools_.insert(tools.allow->begin(), tools.allow->end());
    if (tools.deny) {
        a.policy_tools_.insert(tools.deny->begin(), tools.deny->end());
        a.high_risk_tools_.insert(tools.deny->begin(), tools.deny->end());
    }
    if (tools.require_args) {
        for (const auto& [tool, args] : *tools.require_args) a.policy_tools_.insert(tool);
    }

    a.rule_ids_.reserve(policy.sequences.size());
    for (const SequenceRule& rule : policy.sequences) {
        a.rule_ids_.push_back(rule_id_for(rule));
        std::visit(RuleTools{a.policy_tools_, a.high_risk_tools_}, rule);
    }

    for (const auto& [name, members] : policy.aliases) {
        a.policy_tools_.insert(name);
        a.policy_tools_.insert(members.begin(), members.end());
        a.aliases_.emplace(name, members);
        for (const std::string& member : members) {
            NameList& owners = a.aliases_of_member_[member];
            // A member listed twice in one alias still names that alias once.
            if (owners.empty() || owners.back() != name) owners.push_back(name);
        }
    }
    return a;
}

bool CoverageAnalyzer::is_policy_tool(std::string_view tool) const {
    // Every alias member was put into policy_tools_ when the analyzer was
    // built, so membership there also covers "is a member of some alias".
    return policy_tools_.contains(tool);
}

bool CoverageAnalyzer::is_tool_seen(std::string_view tool, const StringSet& seen) const {
    if (seen.contains(tool)) return true;
    if (auto alias = aliases_.find(tool); alias != aliases_.end()) {
        for (const std::string& member : alias->second) {
            if (seen.contains(member)) return true;
        }
        return false;
    }
    if (auto owners = aliases_of_member_.find(tool); owners != aliases_of_member_.end()) {
        for (const std::string& alias : owners->second) {
            if (seen.contains(alias)) return true;
        }
    }
    return false;
}

CoverageReport CoverageAnalyzer::analyze(std::span<const TraceSummary> summaries, double threshold) const {
    StringSet seen;
    StringSet unexpected;
    StringSet triggered;
    for (const TraceSummary& summary : summaries) {
        for (const std::string& tool : summary.tools) {
            // Only a name's first appearance needs the policy lookup.
            if (seen.insert(tool).second && !is_policy_tool(tool)) unexpected.insert(tool);
        }
        triggered.insert(summary.triggered_rules.begin(), summary.triggered_rules.end());
    }

    CoverageReport report;

    ToolCoverage& tc = report.tool_coverage;
    tc.total_tools_in_policy = policy_tools_.size();
    // The count takes seen names literally; the unseen list below lets aliases
    // and members stand for each other, so the two need not add up.
    for (const std::string& tool : seen) tc.tools_seen_in_traces += is_policy_tool(tool);
    for (const std::string& tool : policy_tools_) {
        if (!is_tool_seen(tool, seen)) tc.unseen_tools.push_back(tool);
    }
    tc.unexpected_tools.assign(unexpected.begin(), unexpected.end());
    tc.coverage_pct = percentage(tc.tools_seen_in_traces, tc.total_tools_in_policy);

    RuleCoverage& rc = report.rule_coverage;
    rc.total_rules = rule_ids_.size();
    // Every distinct id found counts, "deny_list" and "allow_list" included,
    // so the rule percentage can pass 100.
    rc.rules_triggered = triggered.size();
    for (const std::string& id : rule_ids_) {
        if (!triggered.contains(id)) rc.untriggered_rules.push_back(id);
    }
    rc.coverage_pct = percentage(rc.rules_triggered, rc.total_rules);

    for (const std::string& tool : high_risk_tools_) {
        // "*" marks a blocklist pattern, which no call can show as exercised.
        if (tool.starts_with('*') || is_tool_seen(tool, seen)) continue;
        report.high_risk_gaps.push_back(HighRiskGap{tool, gap_reason, gap_severity});
    }

    report.overall_coverage_pct = (tc.coverage_pct + rc.coverage_pct) * 0.5;
    // A NaN on either side compares false.
    report.meets_threshold = report.overall_coverage_pct >= threshold;
    report.threshold = threshold;
    return report;
}

}  // namespace ostik
