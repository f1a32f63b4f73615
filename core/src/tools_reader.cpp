#include "tools_reader.hpp"

namespace ostik::loader {

bool ToolsReader::read_tools(std::size_t& pos, const Path& path, ToolsPolicy& out) {
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

bool ToolsReader::read_constraints(std::size_t& pos, const Path& path,
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

}  // namespace ostik::loader
