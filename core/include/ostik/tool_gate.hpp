// The allow/deny check of a step's tool name, with its lookup sets built once
// per policy.
#pragma once

#include <string>
#include <string_view>
#include <unordered_set>

#include "ostik/policy.hpp"

namespace ostik {

struct StringHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};
using StringSet = std::unordered_set<std::string, StringHash, std::equal_to<>>;

enum class ToolVerdict {
    pass,
    denied,       // in the deny list ("deny_list")
    not_allowed,  // an allow list exists and neither it nor any alias lists the tool ("allow_list")
};

class ToolGate {
public:
    explicit ToolGate(const Policy& policy);
    ToolVerdict check(std::string_view tool) const;

private:
    bool has_deny_ = false;
    bool has_allow_ = false;
    StringSet deny_;
    StringSet allowed_;  // the allow list plus every member of every alias
};

}  // namespace ostik
