#include "yaml_nodes.hpp"

#include <cmath>

namespace ostik::loader {

std::string name_list(Names names) {
    auto quoted = [](const char* name) { return std::string("`") + name + "`"; };
    if (names.size() == 1) return quoted(names[0]);
    if (names.size() == 2) return quoted(names[0]) + " or " + quoted(names[1]);
    std::string out = "one of ";
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i) out += ", ";
        out += quoted(names[i]);
    }
    return out;
}

bool NodeReader::read_text(std::size_t& pos, const Path& path, std::string& out, const char* expected) {
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

bool NodeReader::read_field_name(std::size_t& pos, const Path& map_path, std::string& name) {
    return read_text(pos, map_path, name, "field identifier");
}

bool NodeReader::read_name_list(std::size_t& pos, const Path& path, NameList& out) {
    out.clear();
    return read_sequence(pos, path, [&](std::size_t& p, const Path& ip) {
        std::string s;
        if (!read_text(p, ip, s)) return false;
        out.push_back(std::move(s));
        return true;
    });
}

bool NodeReader::read_name_list_map(std::size_t& pos, const Path& path,
                                    std::unordered_map<std::string, NameList>& out) {
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

bool NodeReader::read_value(std::size_t& pos, const Path& path, Value& out, std::vector<NodeMark>* marks) {
    Event ev;
    if (!next(pos, ev)) return false;
    // An alias's node is marked where its anchor wrote it, by the expansion.
    if (marks && ev.kind != EventKind::alias) {
        marks->push_back(NodeMark{path.text(), ev.mark.line + 1, ev.mark.column + 1});
    }
    bool ok = true;
    switch (ev.kind) {
        case EventKind::alias:
            ok = expand(ev, path, [&](std::size_t& p, const Path& ap) { return read_value(p, ap, out, marks); });
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
                return read_value(p, path.child(i), items.back(), marks);
            });
            if (ok) out = Value(std::move(items));
            break;
        }
        case EventKind::mapping_start: {
            std::vector<Member> members;
            members.reserve(ev.children / 2);
            ok = nested(pos, ev, [&](std::size_t& p, const Event& key_ev, std::size_t) {
                if (marks) {
                    marks->push_back(NodeMark{path.child(value_key(key_ev)).text(), key_ev.mark.line + 1,
                                               key_ev.mark.column + 1, true});
                }
                Member m;
                if (!read_text(p, path, m.key)) return false;
                if (!read_value(p, path.child(value_key(key_ev)), m.value, marks)) return false;
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

bool NodeReader::field_index(std::size_t& pos, const Path& map_path, Names names, std::size_t& index) {
    std::string name;
    Event ev;
    if (!peek(pos, ev)) return false;
    const Mark mark = ev.mark;
    if (!read_field_name(pos, map_path, name)) return false;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (name == names[i]) {
            index = i;
            return true;
        }
    }
    fail("unknown field `" + name + "`, expected " + name_list(names));
    return fix(resolved_mark(mark, pos), map_path);
}

}  // namespace ostik::loader
