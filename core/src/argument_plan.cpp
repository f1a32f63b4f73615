#include "argument_plan.hpp"

#include <algorithm>
#include <cmath>
#include <compare>
#include <utility>

#include "language_plan.hpp"
#include "ostik/json_writer.hpp"
#include "ostik/text.hpp"
#include "yaml_scalar.hpp"

namespace ostik::detail {

namespace {

// "`equals`, `one_of`, ..., `max_length`"
std::string operator_names() {
    std::string out;
    for (std::size_t i = 0; i < std::size(arg_op_names); ++i) {
        if (i) out += ", ";
        out += '`';
        out += arg_op_names[i];
        out += '`';
    }
    return out;
}

// A value as loading messages describe what they found.
std::string describe(const Value& v) {
    if (v.is<bool>()) return v.as<bool>() ? "boolean `true`" : "boolean `false`";
    if (v.is<std::uint64_t>()) return "integer `" + std::to_string(v.as<std::uint64_t>()) + "`";
    if (v.is<std::int64_t>()) return "integer `" + std::to_string(v.as<std::int64_t>()) + "`";
    if (v.is<double>()) return "floating point `" + yaml::float_text(v.as<double>()) + "`";
    if (v.is<std::string>()) return "string " + yaml::quote_debug(v.as<std::string>());
    if (v.is<Array>()) return "sequence";
    if (v.is<Object>()) return "map";
    return "unit value";
}

bool is_number(const Value& v) { return v.is<std::uint64_t>() || v.is<std::int64_t>() || v.is<double>(); }

using i128 = __int128;

// An integer against a finite double, exactly: no rounding of either.
std::partial_ordering compare(i128 n, double d) {
    if (std::isnan(d)) return std::partial_ordering::unordered;
    // Every integer a Value holds lies in [-2^63, 2^64).
    if (d >= 0x1p64) return std::partial_ordering::less;
    if (d < -0x1p63) return std::partial_ordering::greater;
    const double whole = std::trunc(d);
    const auto w = static_cast<i128>(whole);  // exact: |whole| <= 2^64
    if (n != w) return n < w ? std::partial_ordering::less : std::partial_ordering::greater;
    const double fraction = d - whole;  // exact
    if (fraction > 0) return std::partial_ordering::less;
    if (fraction < 0) return std::partial_ordering::greater;
    return std::partial_ordering::equivalent;
}

// Two numbers of any kinds compared as the numbers they are: 1 and 1.0 are
// equivalent here, although as Values they differ.
std::partial_ordering compare_numbers(const Value& a, const Value& b) {
    auto integral = [](const Value& v, i128& out) {
        if (v.is<std::uint64_t>()) out = v.as<std::uint64_t>();
        else if (v.is<std::int64_t>()) out = v.as<std::int64_t>();
        else return false;
        return true;
    };
    i128 x = 0, y = 0;
    const bool xi = integral(a, x), yi = integral(b, y);
    if (xi && yi) return x <=> y;
    if (xi) return compare(x, b.as<double>());
    if (yi) return 0 <=> compare(y, a.as<double>());
    return a.as<double>() <=> b.as<double>();
}

bool holds(const ArgOperator& op, const Value& v) {
    switch (op.op) {
        case ArgOp::equals:
            return v == *op.operand;
        case ArgOp::one_of:
        case ArgOp::not_one_of: {
            const Array& items = op.operand->as<Array>();
            const bool found = std::find(items.begin(), items.end(), v) != items.end();
            return found == (op.op == ArgOp::one_of);
        }
        case ArgOp::contains:
        case ArgOp::not_contains: {
            // A substring test needs a string: any other argument fails both.
            if (!v.is<std::string>()) return false;
            const std::string_view text = v.as<std::string>();
            const bool found = std::any_of(op.substrings.begin(), op.substrings.end(),
                                           [&](std::string_view s) { return text.find(s) != std::string_view::npos; });
            return found == (op.op == ArgOp::contains);
        }
        case ArgOp::matches:
        case ArgOp::not_matches: {
            if (!v.is<std::string>()) return false;
            return finds(*op.regex, v.as<std::string>()) == (op.op == ArgOp::matches);
        }
        case ArgOp::min:
        case ArgOp::max: {
            if (!is_number(v)) return false;
            const std::partial_ordering c = compare_numbers(v, *op.operand);
            return op.op == ArgOp::min ? c >= 0 : c <= 0;
        }
        case ArgOp::max_length:
            if (v.is<std::string>()) return code_points(v.as<std::string>()) <= op.length;
            if (v.is<Array>()) return v.as<Array>().size() <= op.length;
            return false;
    }
    return false;
}

// Reads one constraint (a plain value, or a map of operators) into `rule`.
class ConstraintReader {
public:
    explicit ConstraintReader(std::string path) : path_(std::move(path)) {}

    std::optional<ArgumentRuleError> read(const Value& constraint, std::vector<ArgOperator>& ops) {
        if (!constraint.is<Object>()) {
            ArgOperator& op = ops.emplace_back();
            op.op = ArgOp::equals;
            op.operand = &constraint;
            return std::nullopt;
        }
        const Object& map = constraint.as<Object>();
        if (map.empty()) return error(path_, "empty operator map, expected one or more of " + operator_names());
        for (const Member& m : map) {
            const auto* name = std::find_if(std::begin(arg_op_names), std::end(arg_op_names),
                                            [&](const char* n) { return m.key == n; });
            const std::string op_path = path_ + "." + m.key;
            if (name == std::end(arg_op_names)) {
                return ArgumentRuleError{path_, "unknown operator `" + m.key + "`, expected one of " + operator_names(),
                                         op_path, true};
            }
            ArgOperator& op = ops.emplace_back();
            op.op = static_cast<ArgOp>(name - std::begin(arg_op_names));
            if (auto e = read_operand(op, m.value, op_path)) return e;
        }
        std::sort(ops.begin(), ops.end(), [](const ArgOperator& a, const ArgOperator& b) { return a.op < b.op; });
        return std::nullopt;
    }

private:
    static ArgumentRuleError error(const std::string& path, std::string message) {
        return ArgumentRuleError{path, std::move(message), path, false};
    }
    static ArgumentRuleError wrong_type(const std::string& path, const Value& v, const char* expected) {
        return error(path, "invalid type: " + describe(v) + ", expected " + expected);
    }

    std::optional<ArgumentRuleError> read_operand(ArgOperator& op, const Value& v, const std::string& path) {
        switch (op.op) {
            case ArgOp::equals:
                op.operand = &v;
                return std::nullopt;
            case ArgOp::one_of:
            case ArgOp::not_one_of:
                if (!v.is<Array>()) return wrong_type(path, v, "a sequence");
                op.operand = &v;
                return std::nullopt;
            case ArgOp::contains:
            case ArgOp::not_contains:
                if (v.is<std::string>()) {
                    op.substrings.emplace_back(v.as<std::string>());
                    return std::nullopt;
                }
                if (!v.is<Array>()) return wrong_type(path, v, "a string or a sequence of strings");
                for (std::size_t i = 0; i < v.as<Array>().size(); ++i) {
                    const Value& item = v.as<Array>()[i];
                    if (!item.is<std::string>()) {
                        return wrong_type(path + "[" + std::to_string(i) + "]", item, "a string");
                    }
                    op.substrings.emplace_back(item.as<std::string>());
                }
                return std::nullopt;
            case ArgOp::matches:
            case ArgOp::not_matches: {
                if (!v.is<std::string>()) return wrong_type(path, v, "a string");
                auto compiled = compile_pattern(v.as<std::string>());
                if (!compiled) {
                    // A limit is the constraint's to state, located at the pattern.
                    if (compiled.error().starts_with("pattern too large")) {
                        return ArgumentRuleError{path_, std::move(compiled.error()), path, false};
                    }
                    return error(path, std::move(compiled.error()));
                }
                op.regex = std::move(*compiled);
                return std::nullopt;
            }
            case ArgOp::min:
            case ArgOp::max:
                if (!is_number(v)) return wrong_type(path, v, "a number");
                op.operand = &v;
                return std::nullopt;
            case ArgOp::max_length:
                if (v.is<std::int64_t>()) {
                    return error(path, "invalid value: " + describe(v) + ", expected a non-negative integer");
                }
                if (!v.is<std::uint64_t>()) return wrong_type(path, v, "a non-negative integer");
                op.length = v.as<std::uint64_t>();
                return std::nullopt;
        }
        return std::nullopt;
    }

    std::string path_;
};

}  // namespace

std::optional<ArgumentRuleError> read_constraint(const Value& constraint, const std::string& path,
                                                 std::vector<ArgOperator>& ops) {
    ConstraintReader reader(path);
    if (auto e = reader.read(constraint, ops)) return e;
    for (ArgOperator& op : ops) op.name = name_text(arg_op_names[static_cast<std::size_t>(op.op)]);
    return std::nullopt;
}

bool meets(const std::vector<ArgOperator>& ops, const Value& value) {
    return std::all_of(ops.begin(), ops.end(), [&](const ArgOperator& op) { return holds(op, value); });
}

namespace {

template <class Map>
std::vector<typename Map::const_pointer> by_key(const Map& map) {
    std::vector<typename Map::const_pointer> entries;
    entries.reserve(map.size());
    for (const auto& entry : map) entries.push_back(&entry);
    std::sort(entries.begin(), entries.end(), [](auto* a, auto* b) { return a->first < b->first; });
    return entries;
}

}  // namespace

std::expected<std::unique_ptr<const ArgumentPlan>, ArgumentRuleError> ArgumentPlan::compile(const ExplainPlan& plan) {
    std::unique_ptr<ArgumentPlan> result(new ArgumentPlan(plan));
    ArgumentPlan& out = *result;
    const ToolsPolicy& tools = plan.policy.tools;
    std::unordered_map<std::string, std::size_t> extra;
    auto add_rule = [&](bool required, const std::string& tool, std::string id) -> ArgumentRule& {
        ArgumentRule& r = out.rules_.emplace_back();
        r.required = required;
        r.tool = name_text(tool);
        if (auto known = plan.find_id(id)) {
            r.id_index = *known;
        } else {
            auto [it, inserted] = extra.try_emplace(id, plan.ids.size() + out.extra_ids_.size());
            if (inserted) out.extra_ids_.push_back(name_text(id));
            r.id_index = it->second;
        }
        r.id = name_text(id);
        return r;
    };

    if (tools.require_args) {
        for (const auto* entry : by_key(*tools.require_args)) {
            std::string id = "require_args_";
            append_lower(id, entry->first);
            ArgumentRule& r = add_rule(true, entry->first, std::move(id));
            for (const std::string& name : entry->second) r.arguments.push_back(name_text(name));
        }
    }
    if (tools.arg_constraints) {
        for (const auto* tool : by_key(*tools.arg_constraints)) {
            for (const auto* arg : by_key(tool->second)) {
                std::string id = "arg_";
                append_lower(id, tool->first);
                id += '_';
                append_lower(id, arg->first);
                ArgumentRule& r = add_rule(false, tool->first, std::move(id));
                r.arguments.push_back(name_text(arg->first));
                ConstraintReader reader("tools.arg_constraints." + tool->first + "." + arg->first);
                if (auto e = reader.read(arg->second, r.ops)) return std::unexpected(std::move(*e));
                for (ArgOperator& op : r.ops) op.name = name_text(arg_op_names[static_cast<std::size_t>(op.op)]);
            }
        }
    }

    if (auto known = plan.find_id("on_error")) {
        out.on_error_id_index_ = *known;
    } else if (auto it = extra.find("on_error"); it != extra.end()) {
        out.on_error_id_index_ = it->second;
    } else {
        out.on_error_id_index_ = plan.ids.size() + out.extra_ids_.size();
        out.extra_ids_.push_back(name_text("on_error"));
    }

    // The ask and limit entries' ids come after every argument rule's, and
    // are made unique against all of them.
    auto unique_id = [&](const std::string& base) -> std::pair<NameText, std::size_t> {
        std::string id = base;
        for (std::size_t n = 2; plan.find_id(id) || extra.contains(id); ++n) id = base + "_" + std::to_string(n);
        const std::size_t index = plan.ids.size() + out.extra_ids_.size();
        extra.emplace(id, index);
        out.extra_ids_.push_back(name_text(id));
        return {name_text(id), index};
    };
    auto language = LanguagePlan::compile(plan.policy, unique_id);
    if (!language) return std::unexpected(std::move(language.error()));
    out.language_ = std::move(*language);

    // Which rules each tool name meets: a rule names a tool or an alias, as
    // sequence rules do.
    std::unordered_map<std::string, std::vector<std::uint32_t>> meets;
    for (std::uint32_t k = 0; k < out.rules_.size(); ++k) {
        const std::string& name = out.rules_[k].tool.raw;
        auto add = [&](const std::string& tool) {
            std::vector<std::uint32_t>& list = meets[tool];
            if (list.empty() || list.back() != k) list.push_back(k);
        };
        if (auto alias = plan.policy.aliases.find(name); alias != plan.policy.aliases.end()) {
            for (const std::string& member : alias->second) add(member);
        } else {
            add(name);
        }
    }
    for (auto& [tool, list] : meets) {
        out.by_tool_.emplace(tool, Run{static_cast<std::uint32_t>(out.applicable_.size()),
                                       static_cast<std::uint32_t>(list.size())});
        out.applicable_.insert(out.applicable_.end(), list.begin(), list.end());
    }
    return result;
}

std::span<const std::uint32_t> ArgumentPlan::rules_for(std::string_view tool) const {
    if (by_tool_.empty()) return {};
    const auto it = by_tool_.find(tool);
    if (it == by_tool_.end()) return {};
    return std::span<const std::uint32_t>(applicable_).subspan(it->second.first, it->second.count);
}

ArgumentPlan::Judged ArgumentPlan::judge(std::uint32_t k, const std::optional<Value>& args,
                                         ArgumentFailure& failure) const {
    const ArgumentRule& r = rules_[k];
    const Object* object = args && args->is<Object>() ? &args->as<Object>() : nullptr;
    if (r.required) {
        // Arguments that are not an object hold no argument at all.
        for (std::uint32_t i = 0; i < r.arguments.size(); ++i) {
            if (!object || !object->find(r.arguments[i].raw)) {
                failure = ArgumentFailure{k, i, nullptr};
                return Judged::failed;
            }
        }
        return Judged::passed;
    }
    const Value* value = object ? object->find(r.arguments.front().raw) : nullptr;
    if (!value) return Judged::not_reached;
    for (std::uint32_t i = 0; i < r.ops.size(); ++i) {
        if (!holds(r.ops[i], *value)) {
            failure = ArgumentFailure{k, i, value};
            return Judged::failed;
        }
    }
    return Judged::passed;
}

std::string shown_value(const Value& value) {
    constexpr std::size_t limit = 80;
    constexpr std::size_t kept = limit - 3;
    std::string text;
    if (value.is<double>() && !std::isfinite(value.as<double>())) {
        // JSON has no text for it, and "null" would say it was null.
        const double d = value.as<double>();
        return std::string(std::isnan(d) ? "NaN" : d > 0 ? "Infinity" : "-Infinity") + " (not a finite number)";
    }
    if (value.is<std::string>()) {
        // Only the start can be shown: a long string is escaped no further
        // than its first limit + 1 characters, which is enough to cut it.
        const std::string_view s = value.as<std::string>();
        std::size_t end = 0;
        for (std::size_t chars = 0; end < s.size() && chars <= limit; ++chars) {
            ++end;
            while (end < s.size() && (static_cast<unsigned char>(s[end]) & 0xC0) == 0x80) ++end;
        }
        json::write_string(text, s.substr(0, end));
    } else {
        json::write_value(text, value);
    }
    std::size_t chars = 0;
    std::size_t cut = text.size();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
        if (chars == kept) cut = i;
        ++chars;
    }
    if (chars <= limit) return text;
    text.resize(cut);
    text += "...";
    return text;
}

}  // namespace ostik::detail
