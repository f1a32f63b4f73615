// Random argument rules and call arguments for the guard's checks: tools and
// aliases that calls use, constraints of every operator, and arguments of
// every shape. What each rule means is held against a plain
// restatement by the Python property tests.
#pragma once

#include <random>
#include <string>
#include <vector>

#include "ostik/explain.hpp"
#include "ostik/policy.hpp"

namespace ostik::testing {

// Tools and alias names from random_traces.hpp, and argument names that the
// random calls below use (one never present).
inline const std::vector<std::string> argument_tools = {"a", "b", "c", "g", "k", "h", "\xce\xa3x"};
inline const std::vector<std::string> argument_names = {"a", "s", "\xc3\xa9", "z\n", "never"};

inline Value random_operand(std::mt19937& rng) {
    switch (rng() % 9) {
        case 0: return Value(std::uint64_t{rng() % 6});
        case 1: return Value(1.5);
        case 2: return Value(std::int64_t{-1});
        case 3: return Value("\xe2\x82\xac");
        case 4: return Value("x");
        case 5: return Value("");
        case 6: return Value(true);
        case 7: return Value(Array{Value(std::uint64_t{1}), Value(std::uint64_t{2})});
        default: return Value();
    }
}

inline Value random_constraint(std::mt19937& rng) {
    if (rng() % 4 == 0) return random_operand(rng);
    Object ops;
    const int n = 1 + static_cast<int>(rng() % 3);
    for (int i = 0; i < n; ++i) {
        switch (rng() % 11) {
            case 9: ops.set("matches", Value("x\"|\xe2\x82\xac$")); break;
            case 10: ops.set("not_matches", Value("^abc")); break;
            case 0: ops.set("equals", random_operand(rng)); break;
            case 1: ops.set("one_of", Value(Array{random_operand(rng), random_operand(rng)})); break;
            case 2: ops.set("not_one_of", Value(Array{random_operand(rng)})); break;
            case 3: ops.set("contains", rng() % 2 ? Value("\xe2\x82\xac") : Value(Array{Value("b"), Value("x")})); break;
            case 4: ops.set("not_contains", Value("x")); break;
            case 5: ops.set("min", rng() % 2 ? Value(std::uint64_t{rng() % 6}) : Value(1.5)); break;
            case 6: ops.set("max", rng() % 2 ? Value(std::int64_t{-1}) : Value(std::uint64_t{rng() % 8})); break;
            default: ops.set("max_length", Value(std::uint64_t{rng() % 4})); break;
        }
    }
    return Value(std::move(ops));
}

inline void add_argument_rules(std::mt19937& rng, Policy& p) {
    auto pick = [&](const std::vector<std::string>& v) { return v[rng() % v.size()]; };
    if (rng() % 2) {
        std::unordered_map<std::string, NameList> required;
        for (unsigned i = rng() % 3; i > 0; --i) {
            NameList names;
            for (unsigned j = rng() % 3; j > 0; --j) names.push_back(pick(argument_names));
            required[pick(argument_tools)] = names;
        }
        p.tools.require_args = required;
    }
    if (rng() % 2) {
        std::unordered_map<std::string, std::unordered_map<std::string, Value>> constraints;
        for (unsigned i = 1 + rng() % 3; i > 0; --i) {
            auto& args = constraints[pick(argument_tools)];
            for (unsigned j = rng() % 3; j > 0; --j) args[pick(argument_names)] = random_constraint(rng);
        }
        p.tools.arg_constraints = constraints;
    }
}

// Arguments of every shape: absent, not an object, objects of mixed values.
inline void add_random_arguments(std::mt19937& rng, std::vector<ToolCall>& steps) {
    for (ToolCall& call : steps) {
        switch (rng() % 5) {
            case 0: call.args.reset(); break;
            case 1: call.args = rng() % 2 ? Value("a") : Value(Array{Value(std::uint64_t{1})}); break;
            default: {
                Object o;
                for (unsigned j = rng() % 4; j > 0; --j) {
                    Value v;
                    switch (rng() % 8) {
                        case 0: v = Value(std::uint64_t{rng() % 8}); break;
                        case 1: v = Value(1.5); break;
                        case 2: v = Value("abc\xe2\x82\xac"); break;
                        case 3: v = Value(std::string(100 + rng() % 3, 'x') + "\"\xe2\x82\xac"); break;
                        case 4: v = Value(Array{Value(std::uint64_t{1}), Value(std::uint64_t{2})}); break;
                        case 5: v = Value(true); break;
                        case 6: v = Value(std::int64_t{-1}); break;
                        default: v = random_operand(rng); break;
                    }
                    o.set(argument_names[rng() % 4], std::move(v));
                }
                call.args = Value(std::move(o));
            }
        }
    }
}

}  // namespace ostik::testing
