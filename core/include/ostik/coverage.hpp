// Coverage analysis: how much of a policy a set of traces exercised, and the
// coverage report records.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "ostik/policy.hpp"
#include "ostik/tool_gate.hpp"

namespace ostik {

// What the analyzer needs of one explained trace.
struct TraceSummary {
    std::vector<std::string> tools;  // every step's tool, in step order, repeats kept
    StringSet triggered_rules;       // every rule id evaluated at any step
};

struct ToolCoverage {
    std::uint64_t total_tools_in_policy = 0;
    std::uint64_t tools_seen_in_traces = 0;
    double coverage_pct = 0;
    std::vector<std::string> unseen_tools;
    std::vector<std::string> unexpected_tools;
};

struct RuleCoverage {
    std::uint64_t total_rules = 0;
    std::uint64_t rules_triggered = 0;
    double coverage_pct = 0;  // may exceed 100: tool-check ids count too
    std::vector<std::string> untriggered_rules;
};

struct HighRiskGap {
    std::string tool;
    std::string reason;
    std::string severity;
};

// Part of the report format; nothing produces them, so their lists stay empty.
struct PolicyViolation {
    std::string trace_id;
    std::string tool;
    std::string error_code;
    std::string reason;
};

struct PolicyWarning {
    std::string trace_id;
    std::string tool;
    std::string warning_code;
    std::string reason;
};

struct CoverageReport {
    ToolCoverage tool_coverage;
    RuleCoverage rule_coverage;
    std::vector<HighRiskGap> high_risk_gaps;
    std::vector<PolicyViolation> policy_violations;
    std::vector<PolicyWarning> policy_warnings;
    double overall_coverage_pct = 0;
    bool meets_threshold = false;
    double threshold = 0;
};

class CoverageAnalyzer {
public:
    static CoverageAnalyzer from_policy(const Policy& policy);

    bool is_policy_tool(std::string_view tool) const;
    // `seen` holds the tool names called in the traces; an alias counts as seen
    // through any member, and a member through the alias name.
    bool is_tool_seen(std::string_view tool, const StringSet& seen) const;
    CoverageReport analyze(std::span<const TraceSummary> summaries, double threshold) const;

    // One id per sequence rule, in policy order, duplicates kept.
    const std::vector<std::string>& rule_ids() const { return rule_ids_; }

private:
    using AliasIndex = std::unordered_map<std::string, NameList, StringHash, std::equal_to<>>;

    std::vector<std::string> rule_ids_;
    StringSet policy_tools_;
    StringSet high_risk_tools_;
    AliasIndex aliases_;
    // The inverse of `aliases_`: member name -> the aliases listing it.
    AliasIndex aliases_of_member_;
};

// Builds the summaries of the traces of one analyze call. Holds the tool gate
// of the policy, so make one per call and summarize every trace with it.
class TraceSummarizer {
public:
    TraceSummarizer(const Policy& policy, const CoverageAnalyzer& analyzer);

    // `tools` is the tool name of every step of one trace, in order.
    TraceSummary summarize(std::vector<std::string> tools) const;

    // Joins one more trace into `all`, the summary of the traces before it:
    // the trace's tools are those appended to all.tools from `first_tool` on
    // (tools already in `all` may be left out: a repeat changes nothing).
    // analyze() reports the same for the joined summary as for the traces'
    // own, since it only joins them itself (the tools in order of first
    // appearance, the ids as a set). `all` must be built by this alone.
    void summarize_into(TraceSummary& all, std::size_t first_tool) const;

private:
    ToolGate gate_;
    StringSet policy_rule_ids_;
};

// Appends the report as compact JSON text.
void write_report(std::string& out, const CoverageReport& report);

}  // namespace ostik
