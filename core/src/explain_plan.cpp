#include "explain_plan.hpp"

#include <algorithm>

#include "ostik/json_writer.hpp"
#include "ostik/rule_ids.hpp"

namespace ostik::detail {

NameText name_text(std::string_view raw) {
    NameText t{std::string(raw), {}};
    json::write_string(t.json, raw);
    t.json.pop_back();
    t.json.erase(0, 1);
    return t;
}

unsigned char top_byte(std::string_view s) {
    unsigned char top = 0;
    for (char c : s) top = std::max(top, static_cast<unsigned char>(c));
    return top;
}

namespace {
// Below this length a linear scan beats a binary search.
constexpr std::size_t short_set = 16;
}  // namespace

NameId ExplainPlan::intern(const std::string& name) {
    auto [it, inserted] = names_.try_emplace(name, static_cast<NameId>(names_.size()));
    return it->second;
}

NameSet ExplainPlan::resolve(const std::string& name) {
    NameSet set;
    auto alias = policy.aliases.find(name);
    if (alias == policy.aliases.end()) {
        set.ids.push_back(intern(name));
        return set;
    }
    for (const std::string& member : alias->second) set.ids.push_back(intern(member));
    if (set.ids.size() > short_set) {
        set.sorted = set.ids;
        std::sort(set.sorted.begin(), set.sorted.end());
        set.sorted.erase(std::unique(set.sorted.begin(), set.sorted.end()), set.sorted.end());
    }
    return set;
}

std::size_t ExplainPlan::id_index_for(const std::string& id) {
    auto [it, inserted] = id_indices_.try_emplace(id, ids.size());
    if (inserted) ids.push_back(name_text(id));
    return it->second;
}

NameId ExplainPlan::name_id(std::string_view tool) const {
    auto it = names_.find(tool);
    return it == names_.end() ? no_name : it->second;
}

std::vector<std::uint32_t> ExplainPlan::failable_rules(NameId id, std::string_view tool) const {
    std::vector<std::uint32_t> out = failable[id == no_name ? names_.size() : id];
    for (std::uint32_t k : blocklists) {
        if (tool.find(rules[k].text_a.raw) != std::string_view::npos) out.push_back(k);
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::optional<std::size_t> ExplainPlan::find_id(std::string_view id) const {
    auto it = id_indices_.find(id);
    if (it == id_indices_.end()) return std::nullopt;
    return it->second;
}

ExplainPlan::ExplainPlan(const Policy& p) : policy(p), gate(p) {
    rules.reserve(policy.sequences.size());
    for (const SequenceRule& rule : policy.sequences) {
        PlannedRule& r = rules.emplace_back();
        r.rule = &rule;
        r.kind = rule.index();
        r.id = name_text(rule_id_for(rule));
        r.id_index = id_index_for(r.id.raw);
        r.json_head = "{\"rule_id\":\"" + r.id.json + "\",\"rule_type\":\"" + kind_name(rule) + "\",\"passed\":";

        auto names = [&](const std::string& a, const std::string* b) {
            r.text_a = name_text(a);
            r.set_a = resolve(a);
            if (b) {
                r.text_b = name_text(*b);
                r.set_b = resolve(*b);
            }
        };
        if (auto* x = std::get_if<rule::Require>(&rule)) {
            names(x->tool, nullptr);
        } else if (auto* x = std::get_if<rule::Eventually>(&rule)) {
            names(x->tool, nullptr);
            r.number = x->within;
        } else if (auto* x = std::get_if<rule::MaxCalls>(&rule)) {
            names(x->tool, nullptr);
            r.number = x->max;
        } else if (auto* x = std::get_if<rule::Before>(&rule)) {
            names(x->first, &x->then);
            r.first_itself = intern(x->first);
        } else if (auto* x = std::get_if<rule::After>(&rule)) {
            names(x->trigger, &x->then);
            r.number = x->within;
        } else if (auto* x = std::get_if<rule::NeverAfter>(&rule)) {
            names(x->trigger, &x->forbidden);
        } else if (auto* x = std::get_if<rule::Sequence>(&rule)) {
            r.strict = x->strict;
            for (std::uint32_t j = 0; j < x->tools.size(); ++j) {
                r.elements.push_back(name_text(x->tools[j]));
                r.element_sets.push_back(resolve(x->tools[j]));
                for (NameId id : r.element_sets.back().ids) r.last_element.emplace_back(id, j);
            }
            // Keep the highest element index per id.
            std::sort(r.last_element.begin(), r.last_element.end(),
                      [](const auto& l, const auto& rr) { return l.first < rr.first || (l.first == rr.first && l.second > rr.second); });
            r.last_element.erase(std::unique(r.last_element.begin(), r.last_element.end(),
                                             [](const auto& l, const auto& rr) { return l.first == rr.first; }),
                                 r.last_element.end());
        } else if (auto* x = std::get_if<rule::Blocklist>(&rule)) {
            r.text_a = name_text(x->pattern);
        }
    }
    stateful_rules.resize(names_.size());
    for (std::uint32_t k = 0; k < rules.size(); ++k) {
        const PlannedRule& r = rules[k];
        if (r.kind != 4 && r.kind != 5 && r.kind != 6) continue;
        std::vector<NameId> ids = r.set_a.ids;
        ids.insert(ids.end(), r.set_b.ids.begin(), r.set_b.ids.end());
        for (const NameSet& e : r.element_sets) ids.insert(ids.end(), e.ids.begin(), e.ids.end());
        std::sort(ids.begin(), ids.end());
        ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
        for (NameId id : ids) stateful_rules[id].push_back(k);
    }
    settling_rules.resize(names_.size());
    for (std::uint32_t k = 0; k < rules.size(); ++k) {
        const PlannedRule& r = rules[k];
        if (r.kind != 1 && r.kind != 3) continue;
        std::vector<NameId> ids = r.set_a.ids;
        if (r.kind == 3 && r.first_itself != no_name) ids.push_back(r.first_itself);
        std::sort(ids.begin(), ids.end());
        ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
        for (NameId id : ids) settling_rules[id].push_back(k);
    }

    counting_rules.resize(names_.size());
    for (std::uint32_t k = 0; k < rules.size(); ++k) {
        if (rules[k].kind != 2) continue;
        for (NameId id : rules[k].set_a.ids) {
            auto& counted = counting_rules[id];
            if (!counted.empty() && counted.back().first == k) ++counted.back().second;
            else counted.emplace_back(k, 1);
        }
    }

    // What each kind can fail on (rule_evaluator.hpp): require never; before
    // and never_after only on a call of `then` / `forbidden`; eventually only
    // on a call of another tool; a non-strict sequence only on a call of one
    // of its elements; max_calls, after and a strict sequence on any call.
    failable.resize(names_.size() + 1);
    for (std::uint32_t k = 0; k < rules.size(); ++k) {
        const PlannedRule& r = rules[k];
        if (r.kind == 7) {
            blocklists.push_back(k);
            continue;
        }
        for (NameId id = 0; id <= names_.size(); ++id) {
            const NameId name = id == names_.size() ? no_name : id;
            bool can_fail = false;
            switch (r.kind) {
                case 0: break;
                case 1: can_fail = !r.set_a.contains(name); break;
                case 3:
                case 5: can_fail = r.set_b.contains(name); break;
                case 6:
                    can_fail = r.strict || std::any_of(r.element_sets.begin(), r.element_sets.end(),
                                                       [&](const NameSet& e) { return e.contains(name); });
                    break;
                default: can_fail = true; break;
            }
            if (can_fail) failable[id].push_back(k);
        }
    }

    deny_id_index = id_index_for("deny_list");
    allow_id_index = id_index_for("allow_list");

    report_head = "{\"policy_name\":";
    json::write_string(report_head, policy.name);
    report_head += ",\"policy_version\":";
    json::write_string(report_head, policy.version);
    report_head += ",\"total_steps\":";
    head_top = top_byte(report_head);
    for (const PlannedRule& r : rules) {
        for (const NameText* t : {&r.id, &r.text_a, &r.text_b}) rules_top = std::max(rules_top, top_byte(t->json));
        for (const NameText& e : r.elements) rules_top = std::max(rules_top, top_byte(e.json));
    }
}

}  // namespace ostik::detail
