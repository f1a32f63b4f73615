#include "ostik/tool_gate.hpp"

namespace ostik {

ToolGate::ToolGate(const Policy& policy) {
    if (policy.tools.deny) {
        has_deny_ = true;
        deny_.insert(policy.tools.deny->begin(), policy.tools.deny->end());
    }
    if (policy.tools.allow) {
        has_allow_ = true;
        allowed_.insert(policy.tools.allow->begin(), policy.tools.allow->end());
        // Alias members pass the allow check whatever the alias is called and
        // whether or not its name is allowed.
        for (const auto& [alias, members] : policy.aliases) allowed_.insert(members.begin(), members.end());
    }
}

ToolVerdict ToolGate::check(std::string_view tool) const {
    if (has_deny_ && deny_.contains(tool)) return ToolVerdict::denied;
    if (has_allow_ && !allowed_.contains(tool)) return ToolVerdict::not_allowed;
    return ToolVerdict::pass;
}

}  // namespace ostik
