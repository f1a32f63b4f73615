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

void ArgumentTally::add(const ToolCall& call) {
    const detail::ArgumentPlan& plan = guard_.arguments();
    if (plan.empty()) return;
    for (const std::uint32_t k : plan.rules_for(call.tool)) {
        detail::ArgumentFailure failure;
        switch (plan.judge(k, call.args, failure)) {
            case detail::ArgumentPlan::Judged::not_reached: break;
            case detail::ArgumentPlan::Judged::failed: ++counts_[k].violated; [[fallthrough]];
            case detail::ArgumentPlan::Judged::passed: ++counts_[k].reached; break;
        }
    }
}

}  // namespace ostik
