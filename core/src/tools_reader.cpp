// Maps the YAML event stream of a policy document onto the policy records.
//
// The reader walks the events with a cursor. An alias replays the events of
// its anchored node through a second cursor. Every message carries the path
// of the node it is about and the node's position; a message gets both at the
// innermost read that fails, and outer reads leave them alone.
//
// Rules are read in two passes: first the whole rule node is buffered (tag
// checked as soon as it is met), then the kind's fields are taken from the
// buffer. Errors of the second pass are therefore reported at the rule itself.
// A rule ignores keys that are not fields of its kind, values and all, so a
// core tag that does not fit under such a key is no error; while the kind is
// not yet known, such errors wait with their node until it is.
#include <array>
#include <cmath>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "ostik/policy_loader.hpp"
#include "yaml_events.hpp"
#include "yaml_scalar.hpp"

namespace ostik {

namespace {

using yaml::Event;
using yaml::EventKind;
using yaml::Mark;
using yaml::Scalar;

constexpr int max_depth = static_cast<int>(yaml::max_nesting);
constexpr std::size_t repetition_factor = 100;

// Where a node lies, as a chain of frames on the reader's stack.
struct Path {
    enum class Kind { root, seq, map } kind = Kind::root;
    const Path* parent = nullptr;
    std::size_t index = 0;
    std::string_view key;

    Path child(std::size_t i) const { return Path{Kind::seq, this, i, {}}; }
    Path child(std::string_view k) const { return Path{Kind::map, this, 0, k}; }

    std::string text() const {
        switch (kind) {
            case Kind::root: return ".";
            case Kind::seq: return parent->text() + "[" + std::to_string(index) + "]";
            case Kind::map:
                if (parent->kind == Kind::root) return std::string(key);
                return parent->text() + "." + std::string(key);
        }
        return ".";
    }
};

struct Error {
    std::string message;
    bool positioned = false;  // a located message: path and mark are final
    bool framed = false;      // text complete as it stands (stream-level errors)
    Mark mark;
    std::string path;

    std::string text() const {
        if (framed) return message;
        std::string out;
        if (positioned && path != ".") out += path + ": ";
        out += message;
        if (positioned) out += yaml::format_mark(mark);
        return out;
    }
};

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

const std::array<KindSpec, 8>& kind_specs() {
    using T = FieldSpec::Type;
    static const std::array<KindSpec, 8> specs = {{
        {"struct variant SequenceRule::Require", {{"tool", T::text, false}}},
        {"struct variant SequenceRule::Eventually", {{"tool", T::text, false}, {"within", T::u32, false}}},
        {"struct variant SequenceRule::MaxCalls", {{"tool", T::text, false}, {"max", T::u32, false}}},
        {"struct variant SequenceRule::Before", {{"first", T::text, false}, {"then", T::text, false}}},
        {"struct variant SequenceRule::After",
         {{"trigger", T::text, false}, {"then", T::text, false}, {"within", T::u32, true}}},
        {"struct variant SequenceRule::NeverAfter", {{"trigger", T::text, false}, {"forbidden", T::text, false}}},
        {"struct variant SequenceRule::Sequence", {{"tools", T::text_list, false}, {"strict", T::boolean, true}}},
        {"struct variant SequenceRule::Blocklist", {{"pattern", T::text, false}}},
    }};
    return specs;
}

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

constexpr std::array<const char*, 7> policy_keys = {"version", "name",    "metadata", "tools",
                                                    "sequences", "aliases", "on_error"};
constexpr std::array<const char*, 4> tools_keys = {"allow", "deny", "require_args", "arg_constraints"};
constexpr std::array<const char*, 8> tag_values = {"require", "eventually", "max_calls", "before",
                                                   "after", "never_after", "sequence", "blocklist"};
constexpr std::array<const char*, 2> on_error_values = {"block", "allow"};

class Reader {
public:
    // With `ignored_keys`, the keys that rules drop are listed there; with
    // `marks`, the positions of the nodes under tools.arg_constraints.
    Reader(yaml::Document& doc, std::vector<IgnoredKey>* ignored_keys, std::vector<NodeMark>* marks)
        : doc_(doc), ignored_(ignored_keys), marks_(marks) {
        budget_ = doc.events.size() * repetition_factor;
    }

    bool read_policy(Policy& out) {
        std::size_t pos = 0;
        Path root;
        return read_policy_node(pos, root, out);
    }

    const Error& error() const { return err_; }

private:
    yaml::Document& doc_;
    std::vector<IgnoredKey>* ignored_;
    std::vector<NodeMark>* marks_;
    bool marking_ = false;        // reading the values of tools.arg_constraints, with marks_ set
    std::size_t rule_index_ = 0;  // the rule being read, for ignored keys
    Error err_;
    int remaining_depth_ = max_depth;
    std::size_t budget_ = 0;
    std::size_t expansions_ = 0;
    std::size_t replayed_ = 0;
    int replaying_ = 0;

    // ---- errors ----------------------------------------------------------

    bool fail(std::string message) {
        err_ = Error{};
        err_.message = std::move(message);
        return false;
    }
    bool fail_framed(std::string message) {
        fail(std::move(message));
        err_.framed = true;
        return false;
    }
    // Gives a message its node: only the innermost failing read does.
    bool fix(const Mark& mark, const Path& path) {
        if (!err_.framed && !err_.positioned) {
            err_.positioned = true;
            err_.mark = mark;
            err_.path = path.text();
        }
        return false;
    }
    static Error located(std::string message, const Mark& mark, const Path& path) {
        Error e;
        e.message = std::move(message);
        e.positioned = true;
        e.mark = mark;
        e.path = path.text();
        return e;
    }
    bool invalid_type(const Event& ev, const char* expected) {
        switch (ev.kind) {
            case EventKind::sequence_start: return fail(std::string("invalid type: sequence, expected ") + expected);
            case EventKind::mapping_start: return fail(std::string("invalid type: map, expected ") + expected);
            case EventKind::void_: return fail_framed("EOF while parsing a value");
            default: break;
        }
        Scalar s;
        std::string tag_error;
        if (!yaml::resolve(ev, s, tag_error)) return fail(std::move(tag_error));
        return fail("invalid type: " + yaml::describe(s) + ", expected " + expected);
    }

    // ---- cursor ----------------------------------------------------------

    bool next(std::size_t& pos, Event& ev) {
        if (pos >= doc_.events.size()) {
            if (doc_.error) return fail_framed(doc_.error->message);
            return fail_framed("EOF while parsing a value");
        }
        if (replaying_ > 0 && ++replayed_ > budget_) return fail_framed("repetition limit exceeded");
        ev = doc_.events[pos++];
        // Outside a replay the reader never goes back more than one event,
        // except to what aliases refer to, which the log keeps.
        if (replaying_ == 0) doc_.events.release_before(pos - 1);
        return true;
    }
    bool peek(std::size_t pos, Event& ev) {
        if (pos >= doc_.events.size()) {
            if (doc_.error) return fail_framed(doc_.error->message);
            return fail_framed("EOF while parsing a value");
        }
        ev = doc_.events[pos];
        return true;
    }

    // Reads the anchored node of an alias event with `read(pos, path)`.
    template <class F>
    bool expand(const Event& alias, const Path& path, F&& read) {
        if (++expansions_ > budget_) return fail_framed("repetition limit exceeded");
        std::size_t pos = alias.target;
        ++replaying_;
        bool ok = read(pos, path);
        --replaying_;
        return ok;
    }

    bool enter(const Mark& mark) {
        if (remaining_depth_ == 0) return fail_framed("recursion limit exceeded" + yaml::format_mark(mark));
        --remaining_depth_;
        return true;
    }
    void leave() { ++remaining_depth_; }

    static bool is_empty_plain(const Event& ev) {
        return ev.kind == EventKind::scalar && ev.plain && ev.tag == yaml::Tag::none && ev.value.empty();
    }

    // ---- generic shapes --------------------------------------------------

    // Any scalar, taken as written.
    bool read_text(std::size_t& pos, const Path& path, std::string& out, const char* expected = "a string") {
        Event ev;
        if (!next(pos, ev)) return false;
        bool ok;
        if (ev.kind == EventKind::scalar) {
            out = ev.value;
            return true;
        } else if (ev.kind == EventKind::alias) {
            ok = expand(ev, path, [&](std::size_t& p, const Path& ap) { return read_text(p, ap, out, expected); });
        } else {
            ok = invalid_type(ev, expected);
        }
        return ok || fix(ev.mark, path);
    }

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
    bool read_field_name(std::size_t& pos, const Path& map_path, std::string& name) {
        return read_text(pos, map_path, name, "field identifier");
    }

    // A scalar's text as written, through an alias too; empty for anything else.
    std::string_view written_text(const Event& ev) const {
        const Event node = ev.kind == EventKind::alias ? doc_.events[ev.target] : ev;
        return node.kind == EventKind::scalar ? node.value : std::string_view();
    }

    // The path of a mapping value: keyed by the key's text when the key is a
    // scalar written in place.
    static std::string_view value_key(const Event& key_event) {
        return key_event.kind == EventKind::scalar ? key_event.value : std::string_view("?");
    }

    bool read_name_list(std::size_t& pos, const Path& path, NameList& out) {
        out.clear();
        return read_sequence(pos, path, [&](std::size_t& p, const Path& ip) {
            std::string s;
            if (!read_text(p, ip, s)) return false;
            out.push_back(std::move(s));
            return true;
        });
    }

    bool read_name_list_map(std::size_t& pos, const Path& path, std::unordered_map<std::string, NameList>& out) {
        out.clear();
        return read_mapping(
            pos, path, "a map",
            [&](std::size_t& p, const Event& key_ev, const Path& mp) {
                std::string key;
                if (!read_text(p, mp, key)) return false;
                NameList list;
                if (!read_name_list(p, mp.child(value_key(key_ev)), list)) return false;
                out.insert_or_assign(std::move(key), std::move(list));
                return true;
            },
            [] { return true; });
    }

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

    bool read_value(std::size_t& pos, const Path& path, Value& out) {
        Event ev;
        if (!next(pos, ev)) return false;
        // An alias's node is marked where its anchor wrote it, by the expansion.
        if (marking_ && ev.kind != EventKind::alias) {
            marks_->push_back(NodeMark{path.text(), ev.mark.line + 1, ev.mark.column + 1});
        }
        bool ok = true;
        switch (ev.kind) {
            case EventKind::alias:
                ok = expand(ev, path, [&](std::size_t& p, const Path& ap) { return read_value(p, ap, out); });
                break;
            case EventKind::scalar: {
                Scalar s;
                std::string tag_error;
                if (!yaml::resolve(ev, s, tag_error)) {
                    ok = fail(std::move(tag_error));
                    break;
                }
                switch (s.kind) {
                    case Scalar::Kind::null: out = Value(); break;
                    case Scalar::Kind::boolean: out = Value(s.b); break;
                    case Scalar::Kind::uint: out = Value(s.u); break;
                    case Scalar::Kind::int_: out = Value(s.i); break;
                    case Scalar::Kind::big_uint:
                    case Scalar::Kind::big_int: ok = fail("JSON number out of range"); break;
                    case Scalar::Kind::float_: out = std::isfinite(s.f) ? Value(s.f) : Value(); break;
                    case Scalar::Kind::string: out = Value(ev.value); break;
                }
                break;
            }
            case EventKind::sequence_start: {
                Array items;
                items.reserve(ev.children);  // no regrowth: a long list is most of a large policy
                ok = nested(pos, ev, [&](std::size_t& p, const Event&, std::size_t i) {
                    items.emplace_back();
                    return read_value(p, path.child(i), items.back());
                });
                if (ok) out = Value(std::move(items));
                break;
            }
            case EventKind::mapping_start: {
                std::vector<Member> members;
                members.reserve(ev.children / 2);
                ok = nested(pos, ev, [&](std::size_t& p, const Event& key_ev, std::size_t) {
                    if (marking_) {
                        marks_->push_back(NodeMark{path.child(value_key(key_ev)).text(), key_ev.mark.line + 1,
                                                   key_ev.mark.column + 1, true});
                    }
                    Member m;
                    if (!read_text(p, path, m.key) || !read_value(p, path.child(value_key(key_ev)), m.value)) return false;
                    members.push_back(std::move(m));
                    return true;
                });
                if (ok) out = Value(Object::from_members(std::move(members)));
                break;
            }
            default:
                ok = invalid_type(ev, "any valid JSON value");
        }
        return ok || fix(ev.mark, path);
    }

    bool consume(std::size_t& pos) {
        ++pos;
        if (replaying_ > 0 && ++replayed_ > budget_) return fail_framed("repetition limit exceeded");
        return true;
    }

    // The body of a mapping or sequence whose start event was just read at
    // `start`: `item(pos, first_event, index)` reads one entry (a key and its
    // value, or one item) until the closing event, which is consumed too.
    template <class Item>
    bool nested(std::size_t& pos, const Event& start, Item&& item) {
        if (!enter(start.mark)) return false;
        const EventKind end =
            start.kind == EventKind::mapping_start ? EventKind::mapping_end : EventKind::sequence_end;
        bool ok = true;
        for (std::size_t i = 0;; ++i) {
            Event e;
            if (!peek(pos, e)) {
                ok = false;
                break;
            }
            if (e.kind == end) {
                ok = consume(pos);
                break;
            }
            if (!item(pos, e, i)) {
                ok = false;
                break;
            }
        }
        leave();
        return ok;
    }

    // ---- buffered nodes (rule fields) ---------------------------------------

    // A node, buffered. With `deferred`, a core tag that does not fit its
    // scalar is no failure: the first such error is kept there, and the
    // scalar reads as a unit value.
    bool read_content(std::size_t& pos, const Path& path, Content& out, std::optional<Error>* deferred = nullptr) {
        Event ev;
        if (!next(pos, ev)) return false;
        bool ok = true;
        switch (ev.kind) {
            case EventKind::alias:
                ok = expand(ev, path,
                            [&](std::size_t& p, const Path& ap) { return read_content(p, ap, out, deferred); });
                break;
            case EventKind::scalar: {
                std::string tag_error;
                if (!yaml::resolve(ev, out.scalar, tag_error)) {
                    if (!deferred) {
                        ok = fail(std::move(tag_error));
                    } else if (!*deferred) {
                        *deferred = located(std::move(tag_error), ev.mark, path);
                    }
                    out.scalar = Scalar{};
                    out.kind = Content::Kind::unit;
                    break;
                }
                switch (out.scalar.kind) {
                    case Scalar::Kind::null: out.kind = Content::Kind::unit; break;
                    case Scalar::Kind::boolean: out.kind = Content::Kind::boolean; break;
                    case Scalar::Kind::uint: out.kind = Content::Kind::uint; break;
                    case Scalar::Kind::int_: out.kind = Content::Kind::int_; break;
                    case Scalar::Kind::big_uint:
                    case Scalar::Kind::big_int: out.kind = Content::Kind::big; break;
                    case Scalar::Kind::float_: out.kind = Content::Kind::float_; break;
                    case Scalar::Kind::string:
                        out.kind = Content::Kind::string;
                        out.text = ev.value;
                        break;
                }
                out.scalar.text = {};  // the buffer must not point into events it outlives
                break;
            }
            case EventKind::sequence_start:
                out.kind = Content::Kind::seq;
                out.items.reserve(ev.children);
                ok = nested(pos, ev, [&](std::size_t& p, const Event&, std::size_t i) {
                    out.items.emplace_back();
                    return read_content(p, path.child(i), out.items.back(), deferred);
                });
                break;
            case EventKind::mapping_start:
                out.kind = Content::Kind::map;
                out.items.reserve(ev.children);
                ok = nested(pos, ev, [&](std::size_t& p, const Event& key_ev, std::size_t) {
                    out.items.emplace_back();
                    if (!read_content(p, path, out.items.back(), deferred)) return false;
                    out.items.emplace_back();
                    return read_content(p, path.child(value_key(key_ev)), out.items.back(), deferred);
                });
                break;
            default:
                ok = invalid_type(ev, "any value");
        }
        return ok || fix(ev.mark, path);
    }

    // The tag value: taken as written and matched exactly.
    bool read_tag(std::size_t& pos, const Path& path, std::size_t& kind) {
        std::string text;
        Event ev;
        if (!peek(pos, ev)) return false;
        const Mark mark = ev.mark;
        if (!read_text(pos, path, text, "variant identifier")) return false;
        for (std::size_t k = 0; k < tag_values.size(); ++k) {
            if (text == tag_values[k]) {
                kind = k;
                return true;
            }
        }
        fail("unknown variant `" + text + "`, expected " + name_list(tag_values));
        return fix(resolved_mark(mark, pos), path);
    }

    // The mark of the node just read: for an alias, its anchored node.
    Mark resolved_mark(const Mark& mark, std::size_t pos_after) const {
        const Event ev = doc_.events[pos_after - 1];
        if (ev.kind == EventKind::alias) return doc_.events[ev.target].mark;
        return mark;
    }

    // ---- field values from buffered nodes -----------------------------------

    bool content_text(const Content& c, std::string& out) {
        if (c.kind != Content::Kind::string) return fail("invalid type: " + c.describe() + ", expected a string");
        out = c.text;
        return true;
    }

    bool content_u32(const Content& c, std::uint32_t& out) {
        switch (c.kind) {
            case Content::Kind::uint:
                if (c.scalar.u <= std::numeric_limits<std::uint32_t>::max()) {
                    out = static_cast<std::uint32_t>(c.scalar.u);
                    return true;
                }
                return fail("invalid value: " + c.describe() + ", expected u32");
            case Content::Kind::int_:
                if (c.scalar.i == 0) {
                    out = 0;
                    return true;
                }
                return fail("invalid value: " + c.describe() + ", expected u32");
            case Content::Kind::big: return fail("invalid value: " + c.describe() + ", expected u32");
            default: return fail("invalid type: " + c.describe() + ", expected u32");
        }
    }

    bool content_bool(const Content& c, bool& out) {
        if (c.kind != Content::Kind::boolean) return fail("invalid type: " + c.describe() + ", expected a boolean");
        out = c.scalar.b;
        return true;
    }

    bool content_text_list(const Content& c, NameList& out) {
        if (c.kind != Content::Kind::seq) return fail("invalid type: " + c.describe() + ", expected a sequence");
        out.clear();
        for (const Content& item : c.items) {
            std::string s;
            if (!content_text(item, s)) return false;
            out.push_back(std::move(s));
        }
        return true;
    }

    // A field's value lands in one of these slots, then moves into the rule.
    struct FieldSlots {
        std::string text[2];
        std::uint32_t number = 0;
        bool flag = false;
        NameList list;
    };

    bool set_field(const FieldSpec& spec, std::size_t index, const Content& c, FieldSlots& slots) {
        switch (spec.type) {
            case FieldSpec::Type::text: return content_text(c, slots.text[index < 2 ? index : 1]);
            case FieldSpec::Type::u32: return content_u32(c, slots.number);
            case FieldSpec::Type::boolean: return content_bool(c, slots.flag);
            case FieldSpec::Type::text_list: return content_text_list(c, slots.list);
        }
        return false;
    }

    static SequenceRule build_rule(std::size_t kind, FieldSlots& s) {
        switch (kind) {
            case 0: return rule::Require{std::move(s.text[0])};
            case 1: return rule::Eventually{std::move(s.text[0]), s.number};
            case 2: return rule::MaxCalls{std::move(s.text[0]), s.number};
            case 3: return rule::Before{std::move(s.text[0]), std::move(s.text[1])};
            case 4: return rule::After{std::move(s.text[0]), std::move(s.text[1]), s.number};
            case 5: return rule::NeverAfter{std::move(s.text[0]), std::move(s.text[1])};
            case 6: return rule::Sequence{std::move(s.list), s.flag};
            default: return rule::Blocklist{std::move(s.text[0])};
        }
    }

    static FieldSlots defaults() {
        FieldSlots s;
        s.number = 1;  // After.within
        return s;
    }

    // The field a rule key names: by name, or by its position; the number of
    // fields for a key that names none (unknown, or not a field identifier).
    static std::size_t field_of(const KindSpec& spec, const Content& key) {
        if (key.kind == Content::Kind::string) {
            for (std::size_t f = 0; f < spec.fields.size(); ++f) {
                if (key.text == spec.fields[f].name) return f;
            }
        } else if (key.kind == Content::Kind::uint) {
            // A field may also be named by its position.
            if (key.scalar.u < spec.fields.size()) return static_cast<std::size_t>(key.scalar.u);
        }
        return spec.fields.size();
    }

    static bool is_field_identifier(const Content& key) {
        return key.kind == Content::Kind::string || key.kind == Content::Kind::uint;
    }

    // Once the kind is known: the first held-back tag error under a key that
    // is one of its fields.
    bool check_deferred(std::size_t kind, std::vector<RuleEntry>& entries) {
        const KindSpec& spec = kind_specs()[kind];
        for (RuleEntry& e : entries) {
            if (e.deferred && field_of(spec, e.key) != spec.fields.size()) {
                err_ = std::move(*e.deferred);
                return false;
            }
        }
        return true;
    }

    bool rule_from_map(std::size_t kind, const std::vector<RuleEntry>& entries, SequenceRule& out) {
        const KindSpec& spec = kind_specs()[kind];
        FieldSlots slots = defaults();
        bool seen[3] = {false, false, false};
        for (const RuleEntry& e : entries) {
            if (!is_field_identifier(e.key)) {
                return fail("invalid type: " + e.key.describe() + ", expected field identifier");
            }
            const std::size_t field = field_of(spec, e.key);
            if (field == spec.fields.size()) {  // unknown keys of a rule are dropped
                if (ignored_) {
                    ignored_->push_back(IgnoredKey{rule_index_, std::string(e.written), e.mark.line + 1, e.mark.column + 1});
                }
                continue;
            }
            if (seen[field]) return fail(std::string("duplicate field `") + spec.fields[field].name + "`");
            seen[field] = true;
            if (!set_field(spec.fields[field], field, e.value, slots)) return false;
        }
        for (std::size_t f = 0; f < spec.fields.size(); ++f) {
            if (!seen[f] && !spec.fields[f].has_default) {
                return fail(std::string("missing field `") + spec.fields[f].name + "`");
            }
        }
        out = build_rule(kind, slots);
        return true;
    }

    bool rule_from_items(std::size_t kind, const std::vector<Content>& items, SequenceRule& out) {
        const KindSpec& spec = kind_specs()[kind];
        const std::size_t n = spec.fields.size();
        FieldSlots slots = defaults();
        for (std::size_t f = 0; f < n; ++f) {
            if (f >= items.size()) {
                if (spec.fields[f].has_default) continue;
                return fail("invalid length " + std::to_string(f) + ", expected " + spec.struct_text + " with " +
                            std::to_string(n) + (n == 1 ? " element" : " elements"));
            }
            if (!set_field(spec.fields[f], f, items[f], slots)) return false;
        }
        if (items.size() > n) {
            return fail("invalid length " + std::to_string(items.size()) + ", expected " + std::to_string(n) +
                        (n == 1 ? " element in sequence" : " elements in sequence"));
        }
        out = build_rule(kind, slots);
        return true;
    }

    bool read_rule(std::size_t& pos, const Path& path, SequenceRule& out) {
        Event ev;
        if (!next(pos, ev)) return false;
        bool ok = true;
        switch (ev.kind) {
            case EventKind::alias:
                ok = expand(ev, path, [&](std::size_t& p, const Path& ap) { return read_rule(p, ap, out); });
                break;
            case EventKind::mapping_start: {
                // The whole rule is buffered first; the tag is checked where it stands.
                std::optional<std::size_t> kind;
                std::vector<RuleEntry> entries;
                ok = nested(pos, ev, [&](std::size_t& p, const Event& key_ev, std::size_t) {
                    RuleEntry entry;
                    entry.written = written_text(key_ev);
                    entry.mark = key_ev.mark;
                    if (!read_content(p, path, entry.key)) return false;
                    const Path value_path = path.child(value_key(key_ev));
                    if (entry.key.kind == Content::Kind::string && entry.key.text == "type") {
                        if (kind) return fail("duplicate field `type`");
                        std::size_t k = 0;
                        if (!read_tag(p, value_path, k)) return false;
                        kind = k;
                        return check_deferred(k, entries);
                    }
                    // A field of a known kind is checked as it is read; any
                    // other value may turn out to be ignored.
                    const bool field =
                        kind && field_of(kind_specs()[*kind], entry.key) != kind_specs()[*kind].fields.size();
                    if (!read_content(p, value_path, entry.value, field ? nullptr : &entry.deferred)) return false;
                    entries.push_back(std::move(entry));
                    return true;
                });
                if (ok) ok = kind ? rule_from_map(*kind, entries, out) : fail("missing field `type`");
                break;
            }
            case EventKind::sequence_start: {
                // The first item is the tag, the rest are the kind's fields in order.
                std::optional<std::size_t> kind;
                std::vector<Content> items;
                ok = nested(pos, ev, [&](std::size_t& p, const Event&, std::size_t i) {
                    if (i == 0) {
                        std::size_t k = 0;
                        if (!read_tag(p, path.child(i), k)) return false;
                        kind = k;
                        return true;
                    }
                    items.emplace_back();
                    return read_content(p, path.child(i), items.back());
                });
                if (ok) ok = kind ? rule_from_items(*kind, items, out) : fail("missing field `type`");
                break;
            }
            default:
                ok = invalid_type(ev, "internally tagged enum SequenceRule");
        }
        return ok || fix(ev.mark, path);
    }

    // ---- records ---------------------------------------------------------

    bool read_on_error(std::size_t& pos, const Path& path, ErrorPolicy& out) {
        Event ev;
        if (!peek(pos, ev)) return false;
        if (ev.kind == EventKind::sequence_start || ev.kind == EventKind::mapping_start) {
            ++pos;
            invalid_type(ev, "enum ErrorPolicy");
            return fix(ev.mark, path);
        }
        std::string text;
        const Mark mark = ev.mark;
        if (!read_text(pos, path, text, "enum ErrorPolicy")) return false;
        if (text == "block") {
            out = ErrorPolicy::block;
        } else if (text == "allow") {
            out = ErrorPolicy::allow;
        } else {
            fail("unknown variant `" + text + "`, expected " + name_list(on_error_values));
            return fix(resolved_mark(mark, pos), path);
        }
        return true;
    }

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

    bool read_tools(std::size_t& pos, const Path& path, ToolsPolicy& out) {
        bool seen[4] = {};
        out = ToolsPolicy{};
        return read_mapping(
            pos, path, "struct ToolsPolicy",
            [&](std::size_t& p, const Event& key_ev, const Path& mp) {
                std::size_t f = 0;
                if (!field_index(p, mp, tools_keys, f)) return false;
                if (seen[f]) return fail(std::string("duplicate field `") + tools_keys[f] + "`");
                seen[f] = true;
                const Path vp = mp.child(value_key(key_ev));
                bool present = false;
                switch (f) {
                    case 0:
                    case 1: {
                        NameList list;
                        if (!read_optional(p, vp, present, [&](std::size_t& q, const Path& qp) {
                                return read_name_list(q, qp, list);
                            }))
                            return false;
                        auto& slot = f == 0 ? out.allow : out.deny;
                        if (present) slot = std::move(list); else slot.reset();
                        return true;
                    }
                    case 2: {
                        std::unordered_map<std::string, NameList> m;
                        if (!read_optional(p, vp, present, [&](std::size_t& q, const Path& qp) {
                                return read_name_list_map(q, qp, m);
                            }))
                            return false;
                        if (present) out.require_args = std::move(m); else out.require_args.reset();
                        return true;
                    }
                    default: {
                        std::unordered_map<std::string, std::unordered_map<std::string, Value>> m;
                        marking_ = marks_ != nullptr;
                        const bool ok = read_optional(p, vp, present, [&](std::size_t& q, const Path& qp) {
                            return read_constraints(q, qp, m);
                        });
                        marking_ = false;
                        if (!ok) return false;
                        if (present) out.arg_constraints = std::move(m); else out.arg_constraints.reset();
                        return true;
                    }
                }
            },
            [] { return true; });
    }

    bool read_constraints(std::size_t& pos, const Path& path,
                          std::unordered_map<std::string, std::unordered_map<std::string, Value>>& out) {
        out.clear();
        return read_mapping(
            pos, path, "a map",
            [&](std::size_t& p, const Event& key_ev, const Path& mp) {
                std::string tool;
                if (!read_text(p, mp, tool)) return false;
                std::unordered_map<std::string, Value> args;
                if (!read_mapping(
                        p, mp.child(value_key(key_ev)), "a map",
                        [&](std::size_t& q, const Event& arg_key, const Path& ap) {
                            std::string name;
                            Value v;
                            if (!read_text(q, ap, name) || !read_value(q, ap.child(value_key(arg_key)), v))
                                return false;
                            args.insert_or_assign(std::move(name), std::move(v));
                            return true;
                        },
                        [] { return true; }))
                    return false;
                out.insert_or_assign(std::move(tool), std::move(args));
                return true;
            },
            [] { return true; });
    }

    bool read_policy_node(std::size_t& pos, const Path& path, Policy& out) {
        bool seen[7] = {};
        out = Policy{};
        return read_mapping(
            pos, path, "struct Policy",
            [&](std::size_t& p, const Event& key_ev, const Path& mp) {
                std::size_t f = 0;
                if (!field_index(p, mp, policy_keys, f)) return false;
                if (seen[f]) return fail(std::string("duplicate field `") + policy_keys[f] + "`");
                seen[f] = true;
                const Path vp = mp.child(value_key(key_ev));
                switch (f) {
                    case 0: return read_text(p, vp, out.version);
                    case 1: return read_text(p, vp, out.name);
                    case 2: {
                        bool present = false;
                        Value v;
                        if (!read_optional(p, vp, present,
                                           [&](std::size_t& q, const Path& qp) { return read_value(q, qp, v); }))
                            return false;
                        if (present) out.metadata = std::move(v); else out.metadata.reset();
                        return true;
                    }
                    case 3: return read_tools(p, vp, out.tools);
                    case 4:
                        out.sequences.clear();
                        return read_sequence(p, vp, [&](std::size_t& q, const Path& ip) {
                            rule_index_ = out.sequences.size();
                            SequenceRule r;
                            if (!read_rule(q, ip, r)) return false;
                            out.sequences.push_back(std::move(r));
                            return true;
                        });
                    case 5: return read_name_list_map(p, vp, out.aliases);
                    default: return read_on_error(p, vp, out.on_error);
                }
            },
            [&] { return seen[0] || fail("missing field `version`"); });
    }
};

}  // namespace

std::expected<Policy, LoadError> parse_policy(std::string_view text, std::vector<IgnoredKey>* ignored_keys,
                                              std::vector<NodeMark>* constraint_marks) {
    yaml::EventSource source(text);
    yaml::Document doc;
    source.first_document(doc);
    Policy policy;
    std::vector<IgnoredKey> ignored;
    std::vector<NodeMark> marks;
    Reader reader(doc, ignored_keys ? &ignored : nullptr, constraint_marks ? &marks : nullptr);
    if (!reader.read_policy(policy)) {
        return std::unexpected(LoadError{LoadError::Kind::parse, reader.error().text()});
    }
    if (doc.error) return std::unexpected(LoadError{LoadError::Kind::parse, doc.error->message});
    if (auto rest = source.rest_of_stream()) return std::unexpected(LoadError{LoadError::Kind::parse, *rest});
    if (ignored_keys) *ignored_keys = std::move(ignored);
    if (constraint_marks) *constraint_marks = std::move(marks);
    return policy;
}

}  // namespace ostik
