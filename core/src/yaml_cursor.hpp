// The loader's walk over the events of a document: a cursor that replays an
// alias's anchored node, the limits on nesting and on replayed work, the
// located error that a failed read leaves, and nodes buffered whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "yaml_events.hpp"
#include "yaml_scalar.hpp"

namespace ostik::loader {

using yaml::Event;
using yaml::EventKind;
using yaml::Mark;
using yaml::Scalar;

inline constexpr int max_depth = static_cast<int>(yaml::max_nesting);
inline constexpr std::size_t repetition_factor = 100;

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

class EventCursor {
public:
    explicit EventCursor(yaml::Document& doc) : doc_(doc) { budget_ = doc.events.size() * repetition_factor; }

    const Error& error() const { return err_; }

    // ---- errors ----------------------------------------------------------

    bool fail(std::string message) {
        err_ = Error{};
        err_.message = std::move(message);
        return false;
    }
    // A message already located, such as one held back until it was known to matter.
    bool fail(Error located) {
        err_ = std::move(located);
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

    // The mark of the node just read: for an alias, its anchored node.
    Mark resolved_mark(const Mark& mark, std::size_t pos_after) const {
        const Event ev = doc_.events[pos_after - 1];
        if (ev.kind == EventKind::alias) return doc_.events[ev.target].mark;
        return mark;
    }

    // ---- buffered nodes (rule fields) ---------------------------------------

    // A node, buffered. With `deferred`, a core tag that does not fit its
    // scalar is no failure: the first such error is kept there, and the
    // scalar reads as a unit value.
    bool read_content(std::size_t& pos, const Path& path, Content& out, std::optional<Error>* deferred = nullptr);

private:
    yaml::Document& doc_;
    Error err_;
    int remaining_depth_ = max_depth;
    std::size_t budget_ = 0;
    std::size_t expansions_ = 0;
    std::size_t replayed_ = 0;
    int replaying_ = 0;
};

}  // namespace ostik::loader
