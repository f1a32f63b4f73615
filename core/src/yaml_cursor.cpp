#include "yaml_cursor.hpp"

namespace ostik::loader {

bool EventCursor::read_content(std::size_t& pos, const Path& path, Content& out, std::optional<Error>* deferred) {
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

}  // namespace ostik::loader
