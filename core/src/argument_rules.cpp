// The public side of argument rules: located messages and the tally.
#include "ostik/argument_rules.hpp"

#include "argument_plan.hpp"
#include "ostik/guard.hpp"

namespace ostik {

std::string ArgumentRuleError::located_text(std::span<const NodeMark> marks) const {
    std::string out = text();
    // Of a path given twice, the later entry is the one the policy keeps.
    for (auto it = marks.rbegin(); it != marks.rend(); ++it) {
        if (it->path != node || it->key != at_key) continue;
        // Loading messages leave out the very first position, as here.
        if (it->line != 1 || it->column != 1) {
            out += " at line " + std::to_string(it->line) + " column " + std::to_string(it->column);
        }
        break;
    }
    return out;
}

ArgumentTally::ArgumentTally(const Guard& guard) : guard_(guard), counts_(guard.arguments().rules().size()) {}

void ArgumentTally::add(const ToolCall& call) { detail::count_call(guard_.arguments(), call.tool, call.args, counts_); }

namespace detail {

void count_call(const ArgumentPlan& plan, std::string_view tool, const std::optional<Value>& args,
                std::span<ArgumentRuleCount> counts) {
    if (plan.empty()) return;
    for (const std::uint32_t k : plan.rules_for(tool)) {
        ArgumentFailure failure;
        switch (plan.judge(k, args, failure)) {
            case ArgumentPlan::Judged::not_reached: break;
            case ArgumentPlan::Judged::failed: ++counts[k].violated; [[fallthrough]];
            case ArgumentPlan::Judged::passed: ++counts[k].reached; break;
        }
    }
}

}  // namespace detail

}  // namespace ostik
