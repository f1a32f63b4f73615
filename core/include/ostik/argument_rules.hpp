// Argument rules: the policy's `tools.require_args` and
// `tools.arg_constraints`, which the guard judges against each call's
// arguments (the explainer and the coverage analyzer leave them alone).
//
//   ArgumentRuleError  a constraint that cannot be understood; a guard is not
//                      made from a policy with one
//   ArgumentRuleInfo   one argument rule as the guard judges it
//   ArgumentTally      how often each rule was reached and violated by calls
//
// Rules are judged, and listed, in one fixed order: every require_args entry
// (by tool name in byte order), then every constraint (by tool name, then
// argument name, in byte order).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "ostik/explain.hpp"
#include "ostik/policy.hpp"
#include "ostik/policy_loader.hpp"

namespace ostik {

struct ArgumentRuleError {
    std::string path;     // "tools.arg_constraints.shell.command"
    std::string message;  // "unknown operator `matchs`, expected one of ..."
    std::string node;     // the path of the node whose position the message gives
    bool at_key = false;  // the position of its key (an unknown operator), not of its value

    // "PATH: MESSAGE", as Guard construction reports it.
    std::string text() const { return path + ": " + message; }
    // The text with " at line L column C" for the node, found in `marks` as
    // loading gives them; without it when the node has no mark.
    std::string located_text(std::span<const NodeMark> marks) const;
};

// Arguments that could not be read into a Value (a number no Value holds):
// which argument (empty when the arguments themselves are the problem) and
// what is wrong with it. A call with such arguments is judged by none of the
// argument rules its tool meets: under `on_error: block` (when it meets any)
// it is blocked by "on_error" instead, under `allow` it passes them.
struct UnjudgedArguments {
    std::string argument;
    std::string problem;  // "the integer 18446744073709551616 does not fit 64 bits"
};

struct ArgumentRuleInfo {
    std::string rule_id;          // "require_args_{tool}" or "arg_{tool}_{arg}", lower-cased
    const char* rule_type = "";   // "require_args" or "arg_constraint"
    std::string tool;             // as written in the policy (a tool or an alias name)
    NameList arguments;           // require_args: the names listed; arg_constraint: its argument
    std::vector<const char*> operators;  // arg_constraint: its operators in the order they are tried
};

struct ArgumentRuleCount {
    std::uint64_t reached = 0;   // calls the rule judged (for a constraint: calls holding its argument)
    std::uint64_t violated = 0;  // of those, the calls it failed
};

class Guard;

// Counts over any number of calls, by the guard's rules in their order
// (Guard::argument_rules()). Tallies of the same guard add up entry by entry.
// The guard must outlive the tally.
class ArgumentTally {
public:
    explicit ArgumentTally(const Guard& guard);

    void add(const ToolCall& call);
    const std::vector<ArgumentRuleCount>& counts() const { return counts_; }

private:
    const Guard& guard_;
    std::vector<ArgumentRuleCount> counts_;
};

}  // namespace ostik
