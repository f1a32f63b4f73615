// Reading the sections of the whole language beyond the specified one: the
// `ask` entries, the `limits`, the `labels`, the `taint` entries and the
// `flows`. Each entry is a record whose fields stand
// in a table, as a rule's do; a tool field takes one name or a list.
#pragma once

#include <vector>

#include "ostik/policy.hpp"
#include "ostik/policy_loader.hpp"
#include "yaml_nodes.hpp"

namespace ostik::loader {

class LanguageReader {
public:
    // With `marks`, the position of every node under an ask entry's `args`,
    // so that a constraint found wrong later is located as a tools one is.
    LanguageReader(NodeReader& in, std::vector<NodeMark>* marks) : in_(in), marks_(marks) {}

    bool read_ask(std::size_t& pos, const Path& path, std::vector<AskEntry>& out);
    bool read_limits(std::size_t& pos, const Path& path, std::vector<LimitEntry>& out);
    bool read_labels(std::size_t& pos, const Path& path, AliasMap& out);
    bool read_taint(std::size_t& pos, const Path& path, std::vector<TaintEntry>& out);
    bool read_flows(std::size_t& pos, const Path& path, std::vector<FlowEntry>& out);

private:
    bool read_ask_entry(std::size_t& pos, const Path& path, AskEntry& out);
    bool read_limit_entry(std::size_t& pos, const Path& path, LimitEntry& out);
    bool read_taint_entry(std::size_t& pos, const Path& path, TaintEntry& out);
    bool read_taint_result(std::size_t& pos, const Path& path, std::string& matches);
    bool read_flow_entry(std::size_t& pos, const Path& path, FlowEntry& out);
    bool read_effect(std::size_t& pos, const Path& path, bool& ask);
    // One name, or a non-empty list of them.
    bool read_names(std::size_t& pos, const Path& path, NameList& out);
    bool read_count(std::size_t& pos, const Path& path, std::uint64_t& out, std::uint64_t least);
    bool read_duration(std::size_t& pos, const Path& path, double& seconds, std::string& text);
    bool read_args(std::size_t& pos, const Path& path, std::unordered_map<std::string, Value>& out);

    NodeReader& in_;
    std::vector<NodeMark>* marks_;
};

}  // namespace ostik::loader
