// Reading one rule of `sequences`.
//
// Rules are read in two passes: first the whole rule node is buffered (tag
// checked as soon as it is met), then the kind's fields are taken from the
// buffer. Errors of the second pass are therefore reported at the rule itself.
// A rule ignores keys that are not fields of its kind, values and all, so a
// core tag that does not fit under such a key is no error; while the kind is
// not yet known, such errors wait with their node until it is.
#pragma once

#include <array>
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

struct KindSpec {
    const char* struct_text;  // "struct variant SequenceRule::After"
    std::vector<FieldSpec> fields;
};

const std::array<KindSpec, 8>& kind_specs();

inline constexpr std::array<const char*, 8> tag_values = {"require", "eventually", "max_calls", "before",
                                                          "after", "never_after", "sequence", "blocklist"};

class RuleReader : public NodeReader {
public:
    // With `ignored_keys`, the keys that rules drop are listed there.
    RuleReader(yaml::Document& doc, std::vector<IgnoredKey>* ignored_keys, std::vector<NodeMark>* marks)
        : NodeReader(doc, marks), ignored_(ignored_keys) {}

    bool read_rule(std::size_t& pos, const Path& path, SequenceRule& out);

protected:
    std::size_t rule_index_ = 0;  // the rule being read, for ignored keys

private:
    std::vector<IgnoredKey>* ignored_;

    // A field's value lands in one of these slots, then moves into the rule.
    struct FieldSlots {
        std::string text[2];
        std::uint32_t number = 0;
        bool flag = false;
        NameList list;
    };

    // The tag value: taken as written and matched exactly.
    bool read_tag(std::size_t& pos, const Path& path, std::size_t& kind);

    // ---- field values from buffered nodes -----------------------------------

    bool content_text(const Content& c, std::string& out);
    bool content_u32(const Content& c, std::uint32_t& out);
    bool content_bool(const Content& c, bool& out);
    bool content_text_list(const Content& c, NameList& out);

    bool set_field(const FieldSpec& spec, std::size_t index, const Content& c, FieldSlots& slots);
    static SequenceRule build_rule(std::size_t kind, FieldSlots& s);
    static FieldSlots defaults();

    // The field a rule key names: by name, or by its position; the number of
    // fields for a key that names none (unknown, or not a field identifier).
    static std::size_t field_of(const KindSpec& spec, const Content& key);
    static bool is_field_identifier(const Content& key);

    // Once the kind is known: the first held-back tag error under a key that
    // is one of its fields.
    bool check_deferred(std::size_t kind, std::vector<RuleEntry>& entries);

    bool rule_from_map(std::size_t kind, const std::vector<RuleEntry>& entries, SequenceRule& out);
    bool rule_from_items(std::size_t kind, const std::vector<Content>& items, SequenceRule& out);
};

}  // namespace ostik::loader
