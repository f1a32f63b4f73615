// Reading the `tools` section: the allow and deny lists, the arguments each
// tool requires and the constraints on arguments.
#pragma once

#include <string>
#include <unordered_map>

#include "ostik/policy.hpp"
#include "rule_reader.hpp"

namespace ostik::loader {

inline constexpr std::array<const char*, 4> tools_keys = {"allow", "deny", "require_args", "arg_constraints"};

class ToolsReader : public RuleReader {
public:
    using RuleReader::RuleReader;

    bool read_tools(std::size_t& pos, const Path& path, ToolsPolicy& out);
    bool read_constraints(std::size_t& pos, const Path& path,
                          std::unordered_map<std::string, std::unordered_map<std::string, Value>>& out);
};

}  // namespace ostik::loader
