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

// The entries a call of one tool meets, by index.
struct ToolEntries {
    std::vector<std::uint32_t> asks;
    std::vector<std::uint32_t> limits;
    std::vector<std::uint32_t> afters;  // ask entries whose `after` names the tool
    bool empty() const { return asks.empty() && limits.empty() && afters.empty(); }
};

class LanguagePlan {
public:
    // `unique_id(base)` gives an id not taken yet, from `base`, with its index.
    using IdMaker = std::function<std::pair<NameText, std::size_t>(const std::string& base)>;
    static std::expected<std::unique_ptr<const LanguagePlan>, ArgumentRuleError> compile(const Policy& policy,
                                                                                        const IdMaker& unique_id);

    bool empty() const { return asks_.empty() && limits_.empty(); }
    std::span<const AskPlan> asks() const { return asks_; }
    std::span<const LimitPlan> limits() const { return limits_; }
    bool windowed() const { return windowed_; }  // some limit counts in a window of time
    bool repeats() const { return repeats_; }    // some limit refuses repeated calls

    ToolEntries entries_for(std::string_view tool) const;
    // Whether judging some call reads its arguments (see needs_arguments).
    bool reads_arguments() const { return repeats_ || !conditional_asks_.empty(); }
    // Whether judging a call of `tool` reads its arguments: an ask entry
    // with argument conditions names it, or some limit compares arguments.
    bool needs_arguments(std::string_view tool) const {
        if (repeats_) return true;
        for (const std::uint32_t k : conditional_asks_) {
            if (asks_[k].tools.matches(tool)) return true;
        }
        return false;
    }

private:
    std::vector<AskPlan> asks_;
    std::vector<LimitPlan> limits_;
    bool windowed_ = false;
    bool repeats_ = false;
    std::vector<std::uint32_t> conditional_asks_;
};

}  // namespace ostik::detail
