// The shapes a policy is made of, read from the events: text, mappings,
// sequences, values that may be null, lists of names, JSON values, and
// records whose fields stand in a table.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "ostik/policy.hpp"
#include "ostik/policy_loader.hpp"
#include "yaml_cursor.hpp"

namespace ostik::loader {

// A list of the names a value may take, as messages give it: "`a`",
// "`a` or `b`", "one of `a`, `b`, `c`".
using Names = std::span<const char* const>;
std::string name_list(Names names);

template <class Table>
std::vector<const char*> keys_of(const Table& table) {
    std::vector<const char*> keys;
    for (const auto& field : table) keys.push_back(field.key);
    return keys;
}

class NodeReader : public EventCursor {
public:
    using EventCursor::EventCursor;

    // ---- generic shapes --------------------------------------------------

    // Any scalar, taken as written.
    bool read_text(std::size_t& pos, const Path& path, std::string& out, const char* expected = "a string");

    // A mapping whose entries are read by `entry(pos, key_event, map_path)`;
    // an empty plain scalar reads as an empty mapping. `finish` runs at the
    // end, for missing-field checks.
    template <class Entry, class Finish>
    bool read_mapping(std::size_t& pos, const Path& path, const char* expected, Entry&& entry, Finish&& finish) {
        Event ev;
        if (!next(pos, ev)) return false;
        bool ok;
        switch (ev.kind) {
            case EventKind::alias:
                ok = expand(ev, path, [&](std::size_t& p, const Path& ap) {
                    return read_mapping(p, ap, expected, entry, finish);
                });
                break;
            case EventKind::mapping_start:
                ok = nested(pos, ev, [&](std::size_t& p, const Event& key, std::size_t) { return entry(p, key, path); }) &&
                     finish();
                break;
            default:
                if (is_empty_plain(ev)) {
                    ok = finish();
                } else {
                    ok = invalid_type(ev, expected);
                }
        }
        return ok || fix(ev.mark, path);
    }

    // A sequence whose items are read by `item(pos, item_path)`; an empty plain
    // scalar reads as an empty sequence.
    template <class Item>
    bool read_sequence(std::size_t& pos, const Path& path, Item&& item) {
        Event ev;
        if (!next(pos, ev)) return false;
        bool ok;
        switch (ev.kind) {
            case EventKind::alias:
                ok = expand(ev, path, [&](std::size_t& p, const Path& ap) { return read_sequence(p, ap, item); });
                break;
            case EventKind::sequence_start:
                ok = nested(pos, ev, [&](std::size_t& p, const Event&, std::size_t i) { return item(p, path.child(i)); });
                break;
            default:
                ok = is_empty_plain(ev) ? true : invalid_type(ev, "a sequence");
        }
        return ok || fix(ev.mark, path);
    }

    // A key of a record: its text, or a message for a non-scalar key.
    bool read_field_name(std::size_t& pos, const Path& map_path, std::string& name);

    bool read_name_list(std::size_t& pos, const Path& path, NameList& out);

    bool read_name_list_map(std::size_t& pos, const Path& path, std::unordered_map<std::string, NameList>& out);

    // Nothing for a null scalar (empty, "~", "null"); otherwise `read`.
    template <class F>
    bool read_optional(std::size_t& pos, const Path& path, bool& present, F&& read) {
        Event ev;
        if (!peek(pos, ev)) return false;
        if (ev.kind == EventKind::alias) {
            return consume(pos) && expand(ev, path, [&](std::size_t& p, const Path& ap) {
                       return read_optional(p, ap, present, read);
                   });
        }
        if (ev.kind == EventKind::void_) {
            ++pos;
            present = false;
            return true;
        }
        if (ev.kind == EventKind::scalar && ev.plain) {
            bool null = false;
            if (ev.tag == yaml::Tag::none) {
                null = ev.value.empty() || yaml::is_null_text(ev.value);
            } else if (ev.tag == yaml::Tag::null) {
                Scalar s;
                std::string tag_error;
                if (!yaml::resolve(ev, s, tag_error)) {
                    fail(std::move(tag_error));
                    return fix(ev.mark, path);
                }
                null = true;
            }
            if (null) {
                present = false;
                return consume(pos);
            }
        }
        present = true;
        return read(pos, path);
    }

    // A field that a null leaves absent: otherwise `read(pos, path, value)` gives its value.
    template <class T, class F>
    bool read_nullable(std::size_t& pos, const Path& path, std::optional<T>& out, F&& read) {
        bool present = false;
        T value;
        if (!read_optional(pos, path, present, [&](std::size_t& p, const Path& vp) { return read(p, vp, value); }))
            return false;
        if (present) out = std::move(value); else out.reset();
        return true;
    }

    // ---- values ----------------------------------------------------------

    // With `marks`, the position of every node read, by its path.
    bool read_value(std::size_t& pos, const Path& path, Value& out, std::vector<NodeMark>* marks = nullptr);

    // ---- records ---------------------------------------------------------
    //
    // A record's fields stand in a table, one entry (with its `key`) a field,
    // in the order that messages list them; `keys_of` gives read_record the keys.

    // A key of a record that must be one of `names`: its index there.
    bool field_index(std::size_t& pos, const Path& map_path, Names names, std::size_t& index);

    // A mapping whose keys are fields named in `names`, each given at most
    // once: `field(index, pos, value_path)` reads a field's value, and
    // `finish(seen)` runs at the end with the fields that were given.
    template <class Field, class Finish>
    bool read_record(std::size_t& pos, const Path& path, const char* expected, Names names, Field&& field,
                     Finish&& finish) {
        std::vector<bool> seen(names.size());
        return read_mapping(
            pos, path, expected,
            [&](std::size_t& p, const Event& key_ev, const Path& mp) {
                std::size_t f = 0;
                if (!field_index(p, mp, names, f)) return false;
                if (seen[f]) return fail(std::string("duplicate field `") + names[f] + "`");
                seen[f] = true;
                return field(f, p, mp.child(value_key(key_ev)));
            },
            [&] { return finish(seen); });
    }
};

}  // namespace ostik::loader
