// Reading one rule of `sequences`.
//
// Rules are read in two passes: first the whole rule node is buffered (tag
// checked as soon as it is met), then the kind's fields are taken from the
// buffer. Errors of the second pass are therefore reported at the rule itself.
// A rule ignores keys that are not fields of its kind, values and all, so a
// core tag that does not fit under such a key is no error; while the kind is
// not yet known, such errors wait with their node until it is.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ostik/policy.hpp"
#include "ostik/policy_loader.hpp"
#include "yaml_nodes.hpp"

namespace ostik::loader {

// One key of a rule mapping with its value, kept until the kind is known.
struct RuleEntry {
    Content key;
    Content value;
    std::optional<Error> deferred;  // the first tag error in the value, positioned at its node
    std::string_view written;       // the key's text as written (empty for a non-scalar key)
    Mark mark;                      // the key's position
};

struct FieldSpec {
    const char* name;
    enum class Type { text, u32, boolean, text_list } type;
    bool has_default;
};

// The kinds of rule, each built from its fields by name.
enum class RuleKind : std::uint8_t { require, eventually, max_calls, before, after, never_after, sequence, blocklist };

struct KindSpec {
    RuleKind kind;
    const char* tag;          // the value of `type`: "after"
    const char* struct_text;  // "struct variant SequenceRule::After"
    std::vector<FieldSpec> fields;
};

class RuleReader {
public:
    // With `ignored_keys`, the keys that rules drop are listed there.
    RuleReader(NodeReader& in, std::vector<IgnoredKey>* ignored_keys) : in_(in), ignored_(ignored_keys) {}

    // The rule at `index` of the policy's sequences.
    bool read_rule(std::size_t& pos, const Path& path, std::size_t index, SequenceRule& out);

private:
    NodeReader& in_;
    std::vector<IgnoredKey>* ignored_;

    // A field's value lands in one of these slots, then moves into the rule.
    struct FieldSlots {
        std::string text[2];
        std::uint32_t number = 0;
        bool flag = false;
        NameList list;
    };

    // The tag value: taken as written and matched exactly.
    bool read_tag(std::size_t& pos, const Path& path, const KindSpec*& kind);

    // ---- field values from buffered nodes -----------------------------------

    bool content_text(const Content& c, std::string& out);
    bool content_u32(const Content& c, std::uint32_t& out);
    bool content_bool(const Content& c, bool& out);
    bool content_text_list(const Content& c, NameList& out);

    bool set_field(const FieldSpec& spec, std::size_t index, const Content& c, FieldSlots& slots);
    static SequenceRule build_rule(RuleKind kind, FieldSlots& s);
    static FieldSlots defaults();

    // The field a rule key names: by name, or by its position; the number of
    // fields for a key that names none (unknown, or not a field identifier).
    static std::size_t field_of(const KindSpec& spec, const Content& key);
    static bool is_field_identifier(const Content& key);

    // Once the kind is known: the first held-back tag error under a key that
    // is one of its fields.
    bool check_deferred(const KindSpec& spec, std::vector<RuleEntry>& entries);

    bool rule_from_map(const KindSpec& spec, const std::vector<RuleEntry>& entries, std::size_t index,
                       SequenceRule& out);
    bool rule_from_items(const KindSpec& spec, const std::vector<Content>& items, SequenceRule& out);
};

}  // namespace ostik::loader
