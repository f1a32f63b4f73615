// The argument rules of a policy made ready once per guard: every constraint
// checked and its regular expressions compiled, the rules a call of each tool
// name meets listed in judging order, rule ids interned beside the
// explainer's. Judging a call that passes allocates nothing.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "explain_plan.hpp"
#include "ostik/argument_rules.hpp"
#include "ostik/value.hpp"
#include "pattern_budget.hpp"

namespace ostik::detail {

// In the order a constraint's operators are tried: the first that fails is
// the one reported.
enum class ArgOp : std::uint8_t {
    equals, one_of, not_one_of, contains, not_contains, matches, not_matches, min, max, max_length,
};
inline constexpr const char* arg_op_names[] = {
    "equals", "one_of", "not_one_of", "contains", "not_contains", "matches", "not_matches", "min", "max", "max_length",
};

struct ArgOperator {
    ArgOp op = ArgOp::equals;
    NameText name;                            // the operator's name, for texts
    const Value* operand = nullptr;           // into the policy: equals, one_of, not_one_of, min, max
    std::vector<std::string_view> substrings;  // contains, not_contains: into the policy
    Regex regex;                              // matches, not_matches
    std::uint64_t length = 0;                 // max_length
};

struct ArgumentRule {
    bool required = false;            // a require_args entry; otherwise a constraint
    NameText tool;                    // the policy's key, as written
    NameText id;
    std::size_t id_index = 0;         // equal ids share an index (see ArgumentPlan::id)
    std::vector<NameText> arguments;  // require_args: the list; a constraint: its one argument
    std::vector<ArgOperator> ops;     // a constraint: in ArgOp order

    const char* rule_type() const { return required ? "require_args" : "arg_constraint"; }
};

// A failed argument rule: which, and what failed.
struct ArgumentFailure {
    std::uint32_t rule = 0;        // index into ArgumentPlan::rules()
    std::uint32_t item = 0;        // require_args: the missing argument's place in the list; a constraint: the operator's in `ops`
    const Value* value = nullptr;  // a constraint: the argument's value, in the call
};

class LanguagePlan;

// One constraint (a plain value, or a map of operators) read into its
// operators, in the order they are tried; `path` names it in messages. The
// operators refer to `constraint`, which must outlive them.
std::optional<ArgumentRuleError> read_constraint(const Value& constraint, const std::string& path,
                                                 std::vector<ArgOperator>& ops);
// Whether `value` meets every operator.
bool meets(const std::vector<ArgOperator>& ops, const Value& value);

class ArgumentPlan {
public:
    // Reads the policy of `plan`, which must outlive the result.
    static std::expected<std::unique_ptr<const ArgumentPlan>, ArgumentRuleError> compile(const ExplainPlan& plan);

    bool empty() const { return rules_.empty(); }
    std::span<const ArgumentRule> rules() const { return rules_; }

    // The rules a call of `tool` meets (exactly that name, or a member of the
    // alias a rule names), by index in judging order.
    std::span<const std::uint32_t> rules_for(std::string_view tool) const;

    enum class Judged : std::uint8_t { not_reached, passed, failed };
    // Judges rule `k` against a call's arguments. A constraint is not reached
    // when the call has no such argument; a require_args entry always is.
    Judged judge(std::uint32_t k, const std::optional<Value>& args, ArgumentFailure& failure) const;

    // The id index of "on_error", which blocks calls whose arguments cannot
    // be judged.
    std::size_t on_error_id_index() const { return on_error_id_index_; }

    // The policy's ask and limit entries made ready, their ids interned
    // after the argument rules' (never null; empty for the specified
    // language).
    const LanguagePlan& language() const { return *language_; }

    // Rule ids by id index: the explainer's (ExplainPlan::ids), then those
    // only argument rules have, then "on_error" unless a rule has it.
    std::size_t id_count() const { return plan_->ids.size() + extra_ids_.size(); }
    const NameText& id(std::size_t index) const {
        return index < plan_->ids.size() ? plan_->ids[index] : extra_ids_[index - plan_->ids.size()];
    }

private:
    explicit ArgumentPlan(const ExplainPlan& plan) : plan_(&plan) {}

    const ExplainPlan* plan_;
    std::vector<ArgumentRule> rules_;
    std::vector<NameText> extra_ids_;
    std::size_t on_error_id_index_ = 0;
    std::shared_ptr<const LanguagePlan> language_;
    std::vector<std::uint32_t> applicable_;  // runs of rule indices, one run per tool name
    struct Run {
        std::uint32_t first = 0;
        std::uint32_t count = 0;
    };
    std::unordered_map<std::string, Run, StringHash, std::equal_to<>> by_tool_;
};

// The rule id of id index `index`, with or without argument rules.
inline const NameText& id_text(const ExplainPlan& plan, const ArgumentPlan* arguments, std::size_t index) {
    return arguments ? arguments->id(index) : plan.ids[index];
}
inline std::size_t id_count(const ExplainPlan& plan, const ArgumentPlan* arguments) {
    return arguments ? arguments->id_count() : plan.ids.size();
}

// Adds a call to `counts` (one entry per rule of `plan`, in its order): each
// rule the call meets is reached, unless a constraint finds no such argument,
// and violated when it fails.
void count_call(const ArgumentPlan& plan, std::string_view tool, const std::optional<Value>& args,
                std::span<ArgumentRuleCount> counts);

// The JSON text of an argument's value as explanations show it: at most 80
// characters, a longer text cut to its first 77 and "...". A number that is
// not finite (only the guard's own readers keep one) reads "NaN (not a finite
// number)", "Infinity (...)" or "-Infinity (...)".
std::string shown_value(const Value& value);

}  // namespace ostik::detail
