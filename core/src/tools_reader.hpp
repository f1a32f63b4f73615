// Reading the `tools` section: the allow and deny lists, the arguments each
// tool requires and the constraints on arguments.
#pragma once

#include <array>
#include <string>
#include <unordered_map>
#include <vector>

#include "ostik/policy.hpp"
#include "ostik/policy_loader.hpp"
#include "yaml_nodes.hpp"

namespace ostik::loader {

class ToolsReader {
public:
    // With `marks`, the position of every node under `arg_constraints`.
    ToolsReader(NodeReader& in, std::vector<NodeMark>* marks) : in_(in), marks_(marks) {}

    bool read_tools(std::size_t& pos, const Path& path, ToolsPolicy& out);

private:
    using Constraints = std::unordered_map<std::string, std::unordered_map<std::string, Value>>;

    // A field of the section: its key and how its value is read.
    struct Field {
        const char* key;
        bool (*read)(ToolsReader& reader, std::size_t& pos, const Path& path, ToolsPolicy& out);
    };
    // In the order that messages list them.
    static const std::array<Field, 4>& fields();

    bool read_constraints(std::size_t& pos, const Path& path, Constraints& out);

    NodeReader& in_;
    std::vector<NodeMark>* marks_;
};

}  // namespace ostik::loader
