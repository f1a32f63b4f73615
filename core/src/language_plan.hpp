// The ask and limit entries of a policy made ready once per guard: tool-name
// patterns and aliases resolved into matchers, argument conditions compiled
// with the argument rules' operators, ids made. Which entries a tool name
// meets is worked out once per distinct name (LanguageState caches it), so a
// call pays for lookups, not for pattern matching.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "argument_plan.hpp"
#include "explain_plan.hpp"
#include "ostik/policy.hpp"
#include "pattern_budget.hpp"

namespace ostik::detail {

// Whether `name` is all of `pattern`, where `*` stands for any run of
// characters and `?` for any one (a byte: tool names are matched as bytes).
bool glob_matches(std::string_view pattern, std::string_view name);
inline bool is_pattern(std::string_view name) { return name.find_first_of("*?") != std::string_view::npos; }

// The tools some names stand for: each name a tool, an alias (its members)
// or a pattern.
class NameMatcher {
public:
    NameMatcher() = default;
    NameMatcher(const NameList& names, const AliasMap& aliases);
    bool matches(std::string_view tool) const;
    // Whether the names single `tool` out: as matches(), apart from a lone
    // "*", which stands for every tool and names none.
    bool names(std::string_view tool) const;

private:
    std::vector<std::string> exact_;
    std::vector<std::string> patterns_;
    bool everything_ = false;  // a lone "*"
};

struct AskCondition {
    NameText argument;
    std::vector<ArgOperator> ops;
};

struct AskPlan {
    NameMatcher tools;
    std::optional<NameMatcher> after;
    NameText names;        // the entry's tools as texts show them: 'a', 'b'
    NameText after_names;  // likewise its `after`
    std::vector<AskCondition> conditions;
    NameText id;
    std::size_t id_index = 0;
};

struct LimitPlan {
    NameMatcher tools;
    NameText names;
    std::uint64_t max = 0;
    double per = 0;        // seconds; 0 for the whole session
    std::string per_text;  // "60 s"
    std::uint64_t repeat = 0;  // a repeat entry: the run it refuses
    NameText id;
    std::size_t id_index = 0;

    bool windowed() const { return per > 0; }
    bool repeats() const { return repeat > 0; }
};

// A label a result earns by what it holds.
struct TaintPlan {
    std::string label;
    Regex regex;
    std::optional<NameMatcher> tools;  // only results of these
    bool used = false;                 // some flow follows the label
};

// Results of `from` reaching calls of `to`.
struct FlowPlan {
    NameMatcher from;                   // the tools whose results it follows (labels, aliases, patterns)
    std::vector<std::uint32_t> taints;  // the taint entries whose labels it follows
    NameMatcher to;
    NameText from_names;                // 'untrusted', 'secret': the entry's `from` as texts show it
    NameText to_names;
    std::uint64_t min_length = 0;       // 0: a taint flow
    std::vector<std::string> args;      // a value flow's arguments (at any depth); empty for all
    bool ask = false;                   // effect: ask, else block
    std::uint32_t value_index = 0;      // a value flow's number among the value flows
    NameText id;
    std::size_t id_index = 0;

    bool value() const { return min_length > 0; }
};

// The entries a call of one tool meets, by index.
struct ToolEntries {
    std::vector<std::uint32_t> asks;
    std::vector<std::uint32_t> limits;
    std::vector<std::uint32_t> afters;  // ask entries whose `after` names the tool
    std::vector<std::uint32_t> flows;   // flows whose `to` names the tool
    std::vector<std::uint32_t> feeds;   // flows whose `from` names the tool (its results are sources)
    std::vector<std::uint32_t> taints;  // taint entries that may label its results
    bool windowed = false;              // some of its limits count in a window of time
    bool empty() const { return asks.empty() && limits.empty() && afters.empty() && flows.empty(); }
};

class LanguagePlan {
public:
    // `unique_id(base)` gives an id not taken yet, from `base`, with its index.
    using IdMaker = std::function<std::pair<NameText, std::size_t>(const std::string& base)>;
    static std::expected<std::unique_ptr<const LanguagePlan>, ArgumentRuleError> compile(const Policy& policy,
                                                                                        const IdMaker& unique_id);

    bool empty() const { return asks_.empty() && limits_.empty() && flows_.empty(); }
    std::span<const AskPlan> asks() const { return asks_; }
    std::span<const LimitPlan> limits() const { return limits_; }
    std::span<const TaintPlan> taints() const { return taints_; }
    std::span<const FlowPlan> flows() const { return flows_; }
    bool has_flows() const { return !flows_.empty(); }
    // The value flows: how many, and their distinct min_length values, ascending.
    std::uint32_t value_flows() const { return value_flows_; }
    std::span<const std::uint64_t> min_lengths() const { return min_lengths_; }
    // The flow with value index `v`.
    std::uint32_t value_flow(std::uint32_t v) const { return value_order_[v]; }
    bool windowed() const { return windowed_; }  // some limit counts in a window of time
    bool repeats() const { return repeats_; }    // some limit refuses repeated calls

    ToolEntries entries_for(std::string_view tool) const;
    // Whether judging some call reads its arguments (see needs_arguments):
    // a repeat, an ask with conditions, a value flow.
    bool reads_arguments() const { return repeats_ || !conditional_asks_.empty() || value_flows_ > 0; }
    // Whether judging a call of `tool` reads its arguments: an ask entry
    // with argument conditions names it, or some limit compares arguments.
    bool needs_arguments(std::string_view tool) const {
        return repeats_ || reads_all_arguments(tool) || !condition_keys(tool).empty();
    }
    // What of them: all (a value flow follows any of them), or only the
    // values of some names, ascending (the ask entries' conditions), besides
    // the fingerprint a repeat compares.
    bool reads_all_arguments(std::string_view tool) const {
        for (const FlowPlan& f : flows_) {
            if (f.value() && f.to.matches(tool)) return true;
        }
        return false;
    }
    std::vector<std::string> condition_keys(std::string_view tool) const;
    // Whether some entry names `tool` (by name, alias, label or a pattern
    // other than a lone "*"): an ask (its tools or its `after`), a limit, a
    // label, a taint entry's tools, a flow's `from` or `to`.
    bool names_tool(std::string_view tool) const;

private:
    std::vector<AskPlan> asks_;
    std::vector<LimitPlan> limits_;
    std::vector<TaintPlan> taints_;
    std::vector<FlowPlan> flows_;
    std::uint32_t value_flows_ = 0;
    std::vector<std::uint32_t> value_order_;
    std::vector<std::uint64_t> min_lengths_;
    bool windowed_ = false;
    bool repeats_ = false;
    std::vector<std::uint32_t> conditional_asks_;
    NameMatcher labelled_;  // the tools of every label
};

}  // namespace ostik::detail
