// Random argument rules and call arguments, and a plain re-statement of what
// the guard must make of them: no plan, no precomputation, every rule tried
// for every call. Patterns are left out: the Python tests hold regular
// expressions against Python's re.
#pragma once

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "ostik/explain.hpp"
#include "ostik/json_writer.hpp"
#include "ostik/policy.hpp"
#include "ostik/text.hpp"

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
        switch (rng() % 9) {
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

struct ArgumentModel {
    const Policy& policy;

    bool meets(const std::string& rule_tool, const std::string& tool) const {
        auto it = policy.aliases.find(rule_tool);
        if (it == policy.aliases.end()) return rule_tool == tool;
        return std::find(it->second.begin(), it->second.end(), tool) != it->second.end();
    }

    static std::size_t chars(const std::string& s) {
        std::size_t n = 0;
        for (char c : s) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
        return n;
    }

    static std::string shown(const Value& v) {
        std::string text;
        json::write_value(text, v);
        if (chars(text) <= 80) return text;
        std::string out;
        std::size_t n = 0;
        for (char c : text) {
            if ((static_cast<unsigned char>(c) & 0xC0) != 0x80 && n++ == 77) break;
            out += c;
        }
        return out + "...";
    }

    static double number(const Value& v) {
        if (v.is<std::uint64_t>()) return static_cast<double>(v.as<std::uint64_t>());
        if (v.is<std::int64_t>()) return static_cast<double>(v.as<std::int64_t>());
        return v.as<double>();
    }
    static bool is_number(const Value& v) { return v.is<std::uint64_t>() || v.is<std::int64_t>() || v.is<double>(); }

    static bool holds(const std::string& op, const Value& operand, const Value& v) {
        const bool text = v.is<std::string>();
        auto has = [&](const std::string& s) { return text && v.as<std::string>().find(s) != std::string::npos; };
        auto any = [&]() {
            if (operand.is<std::string>()) return has(operand.as<std::string>());
            for (const Value& s : operand.as<Array>()) {
                if (has(s.as<std::string>())) return true;
            }
            return false;
        };
        if (op == "equals") return v == operand;
        if (op == "one_of" || op == "not_one_of") {
            const auto& items = operand.as<Array>();
            return (std::find(items.begin(), items.end(), v) != items.end()) == (op == "one_of");
        }
        if (op == "contains") return text && any();
        if (op == "not_contains") return text && !any();
        if (op == "min") return is_number(v) && number(v) >= number(operand);
        if (op == "max") return is_number(v) && number(v) <= number(operand);
        // max_length
        if (text) return chars(v.as<std::string>()) <= operand.as<std::uint64_t>();
        return v.is<Array>() && v.as<Array>().size() <= operand.as<std::uint64_t>();
    }

    static RuleEvaluation failure(std::string id, const char* type, std::string explanation, Object context) {
        RuleEvaluation e;
        e.rule_id = std::move(id);
        e.rule_type = type;
        e.passed = false;
        e.explanation = std::move(explanation);
        e.context = Value(std::move(context));
        return e;
    }

    // The failed argument rules of a call, in their order; with `reached`
    // and `violated` (by rule, in the same order) counted up.
    std::vector<RuleEvaluation> failures(const ToolCall& call, std::vector<std::uint64_t>* reached = nullptr,
                                         std::vector<std::uint64_t>* violated = nullptr) const {
        static const char* order[] = {"equals", "one_of", "not_one_of", "contains", "not_contains",
                                      "matches", "not_matches", "min", "max", "max_length"};
        std::vector<RuleEvaluation> out;
        const Object* args = call.args && call.args->is<Object>() ? &call.args->as<Object>() : nullptr;
        std::size_t k = 0;
        auto count = [&](bool failed) {
            if (reached) ++(*reached)[k];
            if (violated && failed) ++(*violated)[k];
        };
        if (policy.tools.require_args) {
            std::map<std::string, NameList> sorted(policy.tools.require_args->begin(), policy.tools.require_args->end());
            for (const auto& [tool, names] : sorted) {
                if (meets(tool, call.tool)) {
                    bool failed = false;
                    for (const std::string& name : names) {
                        if (args && args->find(name)) continue;
                        Object c;
                        c.set("argument", Value(name));
                        c.set("tool", Value(tool));
                        out.push_back(failure("require_args_" + to_lower(tool), "require_args",
                                              "Tool '" + tool + "' requires argument '" + name + "'", std::move(c)));
                        failed = true;
                        break;
                    }
                    count(failed);
                }
                ++k;
            }
        }
        if (policy.tools.arg_constraints) {
            std::map<std::string, std::map<std::string, Value>> sorted;
            for (const auto& [tool, by_arg] : *policy.tools.arg_constraints) sorted[tool].insert(by_arg.begin(), by_arg.end());
            for (const auto& [tool, by_arg] : sorted) {
                for (const auto& [arg, constraint] : by_arg) {
                    const Value* v = args ? args->find(arg) : nullptr;
                    if (v && meets(tool, call.tool)) {
                        std::vector<std::pair<std::string, const Value*>> ops;
                        if (!constraint.is<Object>()) {
                            ops.emplace_back("equals", &constraint);
                        } else {
                            for (const char* op : order) {
                                if (const Value* operand = constraint.as<Object>().find(op)) ops.emplace_back(op, operand);
                            }
                        }
                        bool failed = false;
                        for (const auto& [op, operand] : ops) {
                            if (holds(op, *operand, *v)) continue;
                            Object c;
                            c.set("argument", Value(arg));
                            c.set("operator", Value(op));
                            c.set("tool", Value(tool));
                            out.push_back(failure("arg_" + to_lower(tool) + "_" + to_lower(arg), "arg_constraint",
                                                  "Argument '" + arg + "' of '" + tool + "' violates " + op + ": " +
                                                      shown(*v),
                                                  std::move(c)));
                            failed = true;
                            break;
                        }
                        count(failed);
                    }
                    ++k;
                }
            }
        }
        return out;
    }
};

}  // namespace ostik::testing
