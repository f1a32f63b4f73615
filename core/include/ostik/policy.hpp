// The policy records: what a loaded policy document holds.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

#include "ostik/value.hpp"

namespace ostik {

using NameList = std::vector<std::string>;
using AliasMap = std::unordered_map<std::string, NameList>;

struct ToolsPolicy {
    // An absent list is distinct from a present but empty one.
    std::optional<NameList> allow;
    std::optional<NameList> deny;
    std::optional<std::unordered_map<std::string, NameList>> require_args;
    std::optional<std::unordered_map<std::string, std::unordered_map<std::string, Value>>> arg_constraints;
};

namespace rule {
struct Require { std::string tool; };
struct Eventually { std::string tool; std::uint32_t within = 0; };
struct MaxCalls { std::string tool; std::uint32_t max = 0; };
struct Before { std::string first; std::string then; };
struct After { std::string trigger; std::string then; std::uint32_t within = 1; };
struct NeverAfter { std::string trigger; std::string forbidden; };
struct Sequence { NameList tools; bool strict = false; };
struct Blocklist { std::string pattern; };
}  // namespace rule

// The variant index is the kind index; keep the order of kind_names below.
using SequenceRule = std::variant<rule::Require, rule::Eventually, rule::MaxCalls, rule::Before,
                                  rule::After, rule::NeverAfter, rule::Sequence, rule::Blocklist>;

inline constexpr const char* kind_names[] = {
    "require", "eventually", "max_calls", "before", "after", "never_after", "sequence", "blocklist",
};

inline const char* kind_name(const SequenceRule& r) { return kind_names[r.index()]; }

enum class ErrorPolicy { block = 0, allow = 1 };

// Entries of the whole language, beyond the specified one. A name in them
// may be a pattern (`*`, `?`) or an alias; `tools` holds one or more names.

// A call that needs a person's approval before it runs.
struct AskEntry {
    NameList tools;
    // Argument name -> constraint (the argument rules' operators); every one
    // must hold for the entry to apply.
    std::optional<std::unordered_map<std::string, Value>> args;
    // The entry applies only once one of these has run in the session.
    std::optional<NameList> after;
    friend bool operator==(const AskEntry&, const AskEntry&) = default;
};

// At most `max` calls of the tools, in the session or in any `per` seconds;
// or (`repeat`) no N-th consecutive call with the same tool and equal args.
struct LimitEntry {
    NameList tools;              // empty: every tool
    std::optional<std::uint64_t> max;
    std::optional<double> per;   // seconds
    std::string per_text;        // as written ("60s")
    std::optional<std::uint64_t> repeat;
    friend bool operator==(const LimitEntry&, const LimitEntry&) = default;
};

// A label a result earns by what it holds: a result (of `tools`, when
// given) with a string the RE2 pattern `matches` finds something in.
struct TaintEntry {
    std::string label;
    std::string matches;
    std::optional<NameList> tools;
    friend bool operator==(const TaintEntry&, const TaintEntry&) = default;
};

// Results of `from` (tools, aliases, labels, taint labels) reaching calls of
// `to`: once any is recorded (a taint flow), or with `min_length`, when a
// call's arguments (the `args` named, at any depth) hold a run of that many
// characters of one (a value flow).
struct FlowEntry {
    NameList from;
    NameList to;
    std::optional<std::uint64_t> min_length;
    std::optional<NameList> args;
    bool ask = false;  // effect: ask (else block)
    friend bool operator==(const FlowEntry&, const FlowEntry&) = default;
};

struct Policy {
    std::string version;
    std::string name;
    std::optional<Value> metadata;
    ToolsPolicy tools;
    std::vector<SequenceRule> sequences;
    AliasMap aliases;
    ErrorPolicy on_error = ErrorPolicy::block;
    std::vector<AskEntry> ask;
    std::vector<LimitEntry> limits;
    AliasMap labels;  // label -> tools (names, aliases, patterns)
    std::vector<TaintEntry> taint;
    std::vector<FlowEntry> flows;

    bool has_flows() const { return !labels.empty() || !taint.empty() || !flows.empty(); }
};

}  // namespace ostik
