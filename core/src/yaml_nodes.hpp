// The shapes a policy is made of, read from the events: text, mappings,
// sequences, values that may be null, lists of names, JSON values, and nodes
// buffered whole for the fields of a rule.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "ostik/policy.hpp"
#include "ostik/policy_loader.hpp"
#include "yaml_cursor.hpp"

namespace ostik::loader {

// A buffered node, for the fields of a rule.
struct Content {
    enum class Kind : std::uint8_t { unit, boolean, uint, int_, big, float_, string, seq, map } kind = Kind::unit;
    Scalar scalar;         // scalars: as resolved
    std::string text;      // strings: owned text
    std::vector<Content> items;  // seq items; map keys and values alternating

    std::string describe() const {
        switch (kind) {
            case Kind::seq: return "sequence";
            case Kind::map: return "map";
            case Kind::string: return "string " + yaml::quote_debug(text);
            default: return yaml::describe(scalar);
        }
    }
};

// "`a`", "`a` or `b`", "one of `a`, `b`, `c`".
template <std::size_t N>
std::string name_list(const std::array<const char*, N>& names) {
    if constexpr (N == 1) {
        return std::string("`") + names[0] + "`";
    } else if constexpr (N == 2) {
        return std::string("`") + names[0] + "` or `" + names[1] + "`";
    } else {
        std::string out = "one of ";
        for (std::size_t i = 0; i < N; ++i) {
            if (i) out += ", ";
            out += std::string("`") + names[i] + "`";
        }
        return out;
    }
}

class NodeReader : public EventCursor {
public:
    // With `marks`, the positions of the values read while `marking_` is set.
    NodeReader(yaml::Document& doc, std::vector<NodeMark>* marks) : EventCursor(doc), marks_(marks) {}

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

    // ---- values ----------------------------------------------------------

    bool read_value(std::size_t& pos, const Path& path, Value& out);

    // ---- buffered nodes (rule fields) ---------------------------------------

    // A node, buffered. With `deferred`, a core tag that does not fit its
    // scalar is no failure: the first such error is kept there, and the
    // scalar reads as a unit value.
    bool read_content(std::size_t& pos, const Path& path, Content& out, std::optional<Error>* deferred = nullptr);

    template <std::size_t N>
    bool field_index(std::size_t& pos, const Path& map_path, const std::array<const char*, N>& names,
                     std::size_t& index) {
        std::string name;
        Event ev;
        if (!peek(pos, ev)) return false;
        const Mark mark = ev.mark;
        if (!read_field_name(pos, map_path, name)) return false;
        for (std::size_t i = 0; i < N; ++i) {
            if (name == names[i]) {
                index = i;
                return true;
            }
        }
        fail("unknown field `" + name + "`, expected " + name_list(names));
        return fix(resolved_mark(mark, pos), map_path);
    }

protected:
    std::vector<NodeMark>* marks_;
    bool marking_ = false;  // reading the values of tools.arg_constraints, with marks_ set
};

}  // namespace ostik::loader
