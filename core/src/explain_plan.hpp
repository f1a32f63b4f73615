// What an explainer computes once from its policy, so that the per-step work
// is lookups by small integer ids: the names every rule stands for (aliases
// resolved), the rule ids, and the texts the report repeats, already escaped.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "ostik/policy.hpp"
#include "ostik/tool_gate.hpp"

namespace ostik::detail {

// Id of a tool name that some rule names (directly or as an alias member).
using NameId = std::uint32_t;
inline constexpr NameId no_name = std::numeric_limits<NameId>::max();

// A text as written, and its JSON-escaped form (without the quotes). The
// escaping works character by character, so pieces escaped apart and then
// joined equal the joined text escaped.
struct NameText {
    std::string raw;
    std::string json;
};
NameText name_text(std::string_view raw);

// The highest byte of a text (0 for the empty one).
unsigned char top_byte(std::string_view s);

// The tool names one name of a rule stands for. Duplicates from the alias
// member list are kept: max_calls sums over the list as written.
struct NameSet {
    std::vector<NameId> ids;
    std::vector<NameId> sorted;  // unique ids in order, only for long lists

    // Asked for every rule at every step: inline, and a plain scan of the
    // few ids most names stand for.
    bool contains(NameId id) const {
        if (id == no_name) return false;
        if (sorted.empty()) {
            for (NameId x : ids) {
                if (x == id) return true;
            }
            return false;
        }
        return std::binary_search(sorted.begin(), sorted.end(), id);
    }
};

struct PlannedRule {
    const SequenceRule* rule = nullptr;  // into the explainer's policy
    std::size_t kind = 0;                // the variant index
    NameText id;
    std::size_t id_index = 0;            // equal ids share an index
    std::string json_head;               // {"rule_id":...,"rule_type":...,"passed":

    // The rule's names as written and what they stand for:
    //   require, eventually, max_calls: a = tool
    //   before: a = first, b = then; after, never_after: a = trigger, b = then / forbidden
    //   blocklist: a = pattern (text only; patterns are not names)
    NameText text_a, text_b;
    NameSet set_a, set_b;
    NameId first_itself = no_name;       // before: `first` counts when called by that exact name
    std::uint32_t number = 0;            // within or max
    bool strict = false;

    // sequence: the elements, and for each name id the last element it matches
    // (sorted by id), which answers "does the tool match a later element".
    std::vector<NameText> elements;
    std::vector<NameSet> element_sets;
    std::vector<std::pair<NameId, std::uint32_t>> last_element;
};

class ExplainPlan {
public:
    explicit ExplainPlan(const Policy& policy);

    const Policy& policy;
    ToolGate gate;
    std::vector<PlannedRule> rules;
    std::vector<NameText> ids;           // by id index: every distinct rule id, then the tool-check ids
    std::size_t deny_id_index = 0;
    std::size_t allow_id_index = 0;
    std::string report_head;             // {"policy_name":...,"policy_version":...,"total_steps":
    // The highest byte of the report head, and of the rules' texts: every
    // rule's id and names are written at least once in a report with steps.
    unsigned char head_top = 0;
    unsigned char rules_top = 0;

    // The after, never_after and sequence rules (by index, in policy order)
    // that name the tool somewhere: the only rules a call of it can move.
    std::vector<std::vector<std::uint32_t>> stateful_rules;  // by name id

    // The eventually and before rules that a call of the tool settles: from
    // then on they pass at every step, whatever comes (by name id).
    std::vector<std::vector<std::uint32_t>> settling_rules;

    // The max_calls rules a call of the tool adds to, each with how many
    // times its list names the tool (by name id): what keeps a rule's total
    // of calls without summing it at every step.
    std::vector<std::vector<std::pair<std::uint32_t, std::uint32_t>>> counting_rules;

    // The rules a call of the tool can fail at all, whatever the state, in
    // policy order (by name id; the last entry for names no rule names).
    // Blocklists are left out: they depend on the whole name, and
    // failable_rules() adds those that match it. Judging only these gives
    // the same failures as judging every rule.
    std::vector<std::vector<std::uint32_t>> failable;
    std::vector<std::uint32_t> blocklists;
    std::vector<std::uint32_t> failable_rules(NameId id, std::string_view tool) const;

    NameId name_id(std::string_view tool) const;
    // The id index of a rule id that some rule or check of the plan has.
    std::optional<std::size_t> find_id(std::string_view id) const;
    std::size_t name_count() const { return names_.size(); }

private:
    NameId intern(const std::string& name);
    NameSet resolve(const std::string& name);
    std::size_t id_index_for(const std::string& id);

    std::unordered_map<std::string, NameId, StringHash, std::equal_to<>> names_;
    std::unordered_map<std::string, std::size_t, StringHash, std::equal_to<>> id_indices_;
};

}  // namespace ostik::detail
