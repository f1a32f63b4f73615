// Random policies and traces for the core's checks, chosen to stress the
// explainer's shortcuts: interned names, alias member lists long and short,
// duplicate members, names that need JSON escaping.
#pragma once

#include <random>
#include <string>
#include <vector>

#include "ostik/explain.hpp"
#include "ostik/policy.hpp"

namespace ostik::testing {

inline const std::vector<std::string> tool_names = {
    "a", "b", "c", "d", "e", "\xce\xa3x", "q\"uote", "back\\slash", "tab\tname", "ctl\x01", "g", "", "m3",
    "caf\xc3\xa9", "\xf0\x9f\x98\x80",
};
inline const std::vector<std::string> rule_names = {"a", "b", "c", "d", "g", "h", "k", "big", "\xce\xa3x", "q\"uote", "zz"};

// When set, policies and traces keep to the first five (ASCII) names, so that
// the check mark alone decides the width of the report's text.
inline bool ascii_only = false;

inline AliasMap make_aliases() {
    AliasMap aliases;
    aliases["g"] = {"a", "b"};
    aliases["h"] = {};
    aliases["k"] = {"c", "c", "d"};
    NameList big;
    for (int i = 0; i < 20; ++i) {
        std::string name = "m";
        name += std::to_string(i);
        big.push_back(name);
    }
    big.push_back("e");
    aliases["big"] = big;
    return aliases;
}

inline Policy random_policy(std::mt19937& rng) {
    auto pick = [&](const std::vector<std::string>& v) { return v[rng() % (ascii_only ? 5 : v.size())]; };
    Policy p;
    p.version = "1";
    p.name = "rand\"om";
    p.aliases = make_aliases();
    if (rng() % 3 == 0) p.tools.deny = NameList{pick(tool_names)};
    if (rng() % 3 == 0) p.tools.allow = NameList{pick(tool_names), pick(tool_names)};
    const int n = 1 + static_cast<int>(rng() % 8);
    for (int i = 0; i < n; ++i) {
        const std::uint32_t num = rng() % 4;
        switch (rng() % 8) {
            case 0: p.sequences.push_back(rule::Require{pick(rule_names)}); break;
            case 1: p.sequences.push_back(rule::Eventually{pick(rule_names), num}); break;
            case 2: p.sequences.push_back(rule::MaxCalls{pick(rule_names), num}); break;
            case 3: p.sequences.push_back(rule::Before{pick(rule_names), pick(rule_names)}); break;
            case 4: p.sequences.push_back(rule::After{pick(rule_names), pick(rule_names), num}); break;
            case 5: p.sequences.push_back(rule::NeverAfter{pick(rule_names), pick(rule_names)}); break;
            case 6: {
                NameList tools;
                for (std::uint32_t j = 0; j < num + 1; ++j) tools.push_back(pick(rule_names));
                p.sequences.push_back(rule::Sequence{tools, rng() % 2 == 0});
                break;
            }
            default: p.sequences.push_back(rule::Blocklist{rng() % 4 == 0 ? "" : pick(tool_names).substr(0, 1)});
        }
    }
    return p;
}

inline std::vector<ToolCall> random_trace(std::mt19937& rng) {
    std::vector<ToolCall> steps(rng() % 14);
    for (ToolCall& call : steps) {
        call.tool = tool_names[rng() % (ascii_only ? 5 : tool_names.size())];
        if (rng() % 3 == 0) {
            Object o;
            o.set("z\n", Value(std::uint64_t{rng() % 10}));
            o.set("a", Value(1.5));
            if (!ascii_only && rng() % 2 == 0) o.set("\xc3\xa9", Value("\xe2\x82\xac"));
            if (rng() % 2 == 0) o.set("path", Value(rng() % 2 ? "/tmp" : "/"));
            call.args = Value(std::move(o));
        }
    }
    return steps;
}

}  // namespace ostik::testing
