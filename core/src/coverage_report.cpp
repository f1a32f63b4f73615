// The coverage report as compact JSON: every key always written, in the
// order of the record fields.
#include "ostik/coverage.hpp"
#include "ostik/json_writer.hpp"

namespace ostik {

namespace {

template <class T, class Write>
void write_list(std::string& out, const std::vector<T>& items, Write write) {
    out += '[';
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i) out += ',';
        write(out, items[i]);
    }
    out += ']';
}

void write_strings(std::string& out, const std::vector<std::string>& items) {
    write_list(out, items, [](std::string& o, const std::string& s) { json::write_string(o, s); });
}

void write_tool_coverage(std::string& out, const ToolCoverage& tc) {
    out += "{\"total_tools_in_policy\":";
    json::write_uint(out, tc.total_tools_in_policy);
    out += ",\"tools_seen_in_traces\":";
    json::write_uint(out, tc.tools_seen_in_traces);
    out += ",\"coverage_pct\":";
    json::write_double(out, tc.coverage_pct);
    out += ",\"unseen_tools\":";
    write_strings(out, tc.unseen_tools);
    out += ",\"unexpected_tools\":";
    write_strings(out, tc.unexpected_tools);
    out += '}';
}

void write_rule_coverage(std::string& out, const RuleCoverage& rc) {
    out += "{\"total_rules\":";
    json::write_uint(out, rc.total_rules);
    out += ",\"rules_triggered\":";
    json::write_uint(out, rc.rules_triggered);
    out += ",\"coverage_pct\":";
    json::write_double(out, rc.coverage_pct);
    out += ",\"untriggered_rules\":";
    write_strings(out, rc.untriggered_rules);
    out += '}';
}

void write_gap(std::string& out, const HighRiskGap& gap) {
    out += "{\"tool\":";
    json::write_string(out, gap.tool);
    out += ",\"reason\":";
    json::write_string(out, gap.reason);
    out += ",\"severity\":";
    json::write_string(out, gap.severity);
    out += '}';
}

// Violations and warnings share a layout but for the name of the code key.
void write_finding(std::string& out, const std::string& trace_id, const std::string& tool, const char* code_key,
                   const std::string& code, const std::string& reason) {
    out += "{\"trace_id\":";
    json::write_string(out, trace_id);
    out += ",\"tool\":";
    json::write_string(out, tool);
    out += ",\"";
    out += code_key;
    out += "\":";
    json::write_string(out, code);
    out += ",\"reason\":";
    json::write_string(out, reason);
    out += '}';
}

}  // namespace

void write_report(std::string& out, const CoverageReport& report) {
    out += "{\"tool_coverage\":";
    write_tool_coverage(out, report.tool_coverage);
    out += ",\"rule_coverage\":";
    write_rule_coverage(out, report.rule_coverage);
    out += ",\"high_risk_gaps\":";
    write_list(out, report.high_risk_gaps, write_gap);
    out += ",\"policy_violations\":";
    write_list(out, report.policy_violations, [](std::string& o, const PolicyViolation& v) {
        write_finding(o, v.trace_id, v.tool, "error_code", v.error_code, v.reason);
    });
    out += ",\"policy_warnings\":";
    write_list(out, report.policy_warnings, [](std::string& o, const PolicyWarning& w) {
        write_finding(o, w.trace_id, w.tool, "warning_code", w.warning_code, w.reason);
    });
    out += ",\"overall_coverage_pct\":";
    json::write_double(out, report.overall_coverage_pct);
    out += ",\"meets_threshold\":";
    json::write_bool(out, report.meets_threshold);
    out += ",\"threshold\":";
    json::write_double(out, report.threshold);
    out += '}';
}

}  // namespace ostik
