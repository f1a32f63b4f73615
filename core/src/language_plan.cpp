#include "language_plan.hpp"

#include <algorithm>

#include "ostik/rule_ids.hpp"
#include "ostik/text.hpp"

namespace ostik::detail {

bool glob_matches(std::string_view pattern, std::string_view name) {
    // Backtracking to the last star only: linear in practice, and never
    // worse than the product of the lengths.
    std::size_t p = 0, n = 0;
    std::size_t star = std::string_view::npos, resume = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == name[n])) {
            ++p;
            ++n;
        } else if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = n;
        } else if (star != std::string_view::npos) {
            p = star + 1;
            n = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

NameMatcher::NameMatcher(const NameList& names, const AliasMap& aliases) {
    auto add = [&](const std::string& name) {
        if (name == "*") everything_ = true;
        else if (is_pattern(name)) patterns_.push_back(name);
        else exact_.push_back(name);
    };
    for (const std::string& name : names) {
        if (auto alias = aliases.find(name); alias != aliases.end()) {
            for (const std::string& member : alias->second) add(member);
        } else {
            add(name);
        }
    }
    std::sort(exact_.begin(), exact_.end());
    exact_.erase(std::unique(exact_.begin(), exact_.end()), exact_.end());
}

bool NameMatcher::matches(std::string_view tool) const {
    return everything_ || names(tool);
}

bool NameMatcher::names(std::string_view tool) const {
    if (std::binary_search(exact_.begin(), exact_.end(), tool, std::less<>{})) return true;
    return std::any_of(patterns_.begin(), patterns_.end(), [&](const std::string& p) { return glob_matches(p, tool); });
}

namespace {

// 'a', 'b'
NameText quoted_names(const NameList& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i) out += i + 1 == names.size() ? " or " : ", ";
        out += '\'';
        out += names[i];
        out += '\'';
    }
    return name_text(out);
}

std::string joined_lower(const NameList& names) {
    std::string joined;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i) joined += '_';
        joined += names[i];
    }
    std::string out;
    append_lower(out, joined);
    return out;
}

// As written, spelled out: "60s" -> "60 s", "5m" -> "5 min", "1h" -> "1 h".
std::string duration_text(const std::string& written) {
    if (written.empty()) return written;
    const char unit = written.back();
    return written.substr(0, written.size() - 1) + (unit == 'm' ? " min" : unit == 'h' ? " h" : " s");
}

const NameList every_tool = {"*"};

}  // namespace

std::expected<std::unique_ptr<const LanguagePlan>, ArgumentRuleError> LanguagePlan::compile(const Policy& policy,
                                                                                            const IdMaker& unique_id) {
    auto out = std::make_unique<LanguagePlan>();
    for (std::size_t i = 0; i < policy.ask.size(); ++i) {
        const AskEntry& e = policy.ask[i];
        AskPlan& a = out->asks_.emplace_back();
        a.tools = NameMatcher(e.tools, policy.aliases);
        a.names = quoted_names(e.tools);
        if (e.after) {
            a.after = NameMatcher(*e.after, policy.aliases);
            a.after_names = quoted_names(*e.after);
        }
        if (e.args) {
            std::vector<const std::pair<const std::string, Value>*> args;
            for (const auto& entry : *e.args) args.push_back(&entry);
            std::sort(args.begin(), args.end(), [](auto* x, auto* y) { return x->first < y->first; });
            for (const auto* arg : args) {
                AskCondition& c = a.conditions.emplace_back();
                c.argument = name_text(arg->first);
                const std::string path = "ask[" + std::to_string(i) + "].args." + arg->first;
                if (auto error = read_constraint(arg->second, path, c.ops)) return std::unexpected(std::move(*error));
            }
        }
        std::tie(a.id, a.id_index) = unique_id("ask_" + joined_lower(e.tools));
        if (!a.conditions.empty()) out->conditional_asks_.push_back(static_cast<std::uint32_t>(i));
    }
    for (const LimitEntry& e : policy.limits) {
        LimitPlan& l = out->limits_.emplace_back();
        const NameList& tools = e.tools.empty() ? every_tool : e.tools;
        l.tools = NameMatcher(tools, policy.aliases);
        l.names = quoted_names(tools);
        std::string base;
        if (e.repeat) {
            l.repeat = *e.repeat;
            base = e.tools.empty() ? "repeat_" + std::to_string(l.repeat)
                                   : "repeat_" + joined_lower(e.tools) + "_" + std::to_string(l.repeat);
            out->repeats_ = true;
        } else {
            l.max = e.max.value_or(0);
            base = "limit_" + joined_lower(tools) + "_" + std::to_string(l.max);
            if (e.per) {
                l.per = *e.per;
                l.per_text = duration_text(e.per_text);
                base += "_per_" + e.per_text;
                out->windowed_ = true;
            }
        }
        std::tie(l.id, l.id_index) = unique_id(base);
    }
    // A flow's names: a label stands for its tools, a taint label for the
    // results that earned it; any other name is a tool, an alias or a pattern.
    auto tools_of = [&](const NameList& names) {
        NameList tools;
        for (const std::string& name : names) {
            if (auto label = policy.labels.find(name); label != policy.labels.end()) {
                tools.insert(tools.end(), label->second.begin(), label->second.end());
            } else if (std::none_of(policy.taint.begin(), policy.taint.end(),
                                    [&](const TaintEntry& t) { return t.label == name; })) {
                tools.push_back(name);
            }
        }
        return tools;
    };
    for (std::size_t i = 0; i < policy.taint.size(); ++i) {
        const TaintEntry& e = policy.taint[i];
        TaintPlan& t = out->taints_.emplace_back();
        t.label = e.label;
        auto compiled = compile_pattern(e.matches);
        if (!compiled) {
            const std::string path = "taint[" + std::to_string(i) + "].result.matches";
            return std::unexpected(ArgumentRuleError{path, std::move(compiled.error()), path, false});
        }
        t.regex = std::move(*compiled);
        if (e.tools) t.tools = NameMatcher(tools_of(*e.tools), policy.aliases);
    }
    NameList labelled;
    for (const auto& [label, tools] : policy.labels) labelled.insert(labelled.end(), tools.begin(), tools.end());
    out->labelled_ = NameMatcher(labelled, policy.aliases);
    for (const FlowEntry& e : policy.flows) {
        FlowPlan& f = out->flows_.emplace_back();
        f.from = NameMatcher(tools_of(e.from), policy.aliases);
        for (std::uint32_t k = 0; k < out->taints_.size(); ++k) {
            if (std::find(e.from.begin(), e.from.end(), out->taints_[k].label) != e.from.end()) {
                f.taints.push_back(k);
                out->taints_[k].used = true;
            }
        }
        f.to = NameMatcher(tools_of(e.to), policy.aliases);
        f.from_names = quoted_names(e.from);
        f.to_names = quoted_names(e.to);
        f.min_length = e.min_length.value_or(0);
        if (e.args) f.args = *e.args;
        f.ask = e.ask;
        if (f.value()) {
            f.value_index = out->value_flows_++;
            out->value_order_.push_back(static_cast<std::uint32_t>(out->flows_.size() - 1));
            out->min_lengths_.push_back(f.min_length);
        }
        std::tie(f.id, f.id_index) = unique_id(flow_rule_id_for(e));
    }
    std::sort(out->min_lengths_.begin(), out->min_lengths_.end());
    out->min_lengths_.erase(std::unique(out->min_lengths_.begin(), out->min_lengths_.end()), out->min_lengths_.end());
    return std::unique_ptr<const LanguagePlan>(std::move(out));
}

std::vector<std::string> LanguagePlan::condition_keys(std::string_view tool) const {
    std::vector<std::string> keys;
    for (const std::uint32_t k : conditional_asks_) {
        if (!asks_[k].tools.matches(tool)) continue;
        for (const AskCondition& c : asks_[k].conditions) keys.push_back(c.argument.raw);
    }
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    return keys;
}

bool LanguagePlan::names_tool(std::string_view tool) const {
    const auto named = [&](const NameMatcher& m) { return m.names(tool); };
    return labelled_.names(tool) ||
           std::any_of(asks_.begin(), asks_.end(),
                       [&](const AskPlan& a) { return named(a.tools) || (a.after && named(*a.after)); }) ||
           std::any_of(limits_.begin(), limits_.end(), [&](const LimitPlan& l) { return named(l.tools); }) ||
           std::any_of(taints_.begin(), taints_.end(), [&](const TaintPlan& t) { return t.tools && named(*t.tools); }) ||
           std::any_of(flows_.begin(), flows_.end(), [&](const FlowPlan& f) { return named(f.from) || named(f.to); });
}

ToolEntries LanguagePlan::entries_for(std::string_view tool) const {
    ToolEntries t;
    for (std::uint32_t k = 0; k < asks_.size(); ++k) {
        if (asks_[k].tools.matches(tool)) t.asks.push_back(k);
        if (asks_[k].after && asks_[k].after->matches(tool)) t.afters.push_back(k);
    }
    for (std::uint32_t k = 0; k < limits_.size(); ++k) {
        if (!limits_[k].tools.matches(tool)) continue;
        t.limits.push_back(k);
        t.windowed = t.windowed || limits_[k].windowed();
    }
    for (std::uint32_t k = 0; k < flows_.size(); ++k) {
        if (flows_[k].to.matches(tool)) t.flows.push_back(k);
        if (flows_[k].from.matches(tool)) t.feeds.push_back(k);
    }
    for (std::uint32_t k = 0; k < taints_.size(); ++k) {
        if (taints_[k].used && (!taints_[k].tools || taints_[k].tools->matches(tool))) t.taints.push_back(k);
    }
    return t;
}

}  // namespace ostik::detail
