#include "tools_reader.hpp"

namespace ostik::loader {

const std::array<ToolsReader::Field, 4>& ToolsReader::fields() {
    static const std::array<Field, 4> table = {{
        {"allow", [](ToolsReader& r, std::size_t& p, const Path& vp, ToolsPolicy& out) {
             return r.in_.read_nullable(p, vp, out.allow, [&](std::size_t& q, const Path& qp, NameList& v) {
                 return r.in_.read_name_list(q, qp, v);
             });
         }},
        {"deny", [](ToolsReader& r, std::size_t& p, const Path& vp, ToolsPolicy& out) {
             return r.in_.read_nullable(p, vp, out.deny, [&](std::size_t& q, const Path& qp, NameList& v) {
                 return r.in_.read_name_list(q, qp, v);
             });
         }},
        {"require_args", [](ToolsReader& r, std::size_t& p, const Path& vp, ToolsPolicy& out) {
             return r.in_.read_nullable(p, vp, out.require_args, [&](std::size_t& q, const Path& qp, auto& v) {
                 return r.in_.read_name_list_map(q, qp, v);
             });
         }},
        {"arg_constraints", [](ToolsReader& r, std::size_t& p, const Path& vp, ToolsPolicy& out) {
             return r.in_.read_nullable(p, vp, out.arg_constraints, [&](std::size_t& q, const Path& qp, auto& v) {
                 return r.read_constraints(q, qp, v);
             });
         }},
    }};
    return table;
}

bool ToolsReader::read_tools(std::size_t& pos, const Path& path, ToolsPolicy& out) {
    static const std::vector<const char*> keys = keys_of(fields());
    out = ToolsPolicy{};
    return in_.read_record(
        pos, path, "struct ToolsPolicy", keys,
        [&](std::size_t f, std::size_t& p, const Path& vp) { return fields()[f].read(*this, p, vp, out); },
        [](const std::vector<bool>&) { return true; });
}

bool ToolsReader::read_constraints(std::size_t& pos, const Path& path, Constraints& out) {
    out.clear();
    return in_.read_mapping(
        pos, path, "a map",
        [&](std::size_t& p, const Event& key_ev, const Path& mp) {
            std::string tool;
            if (!in_.read_text(p, mp, tool)) return false;
            std::unordered_map<std::string, Value> args;
            if (!in_.read_mapping(
                    p, mp.child(in_.value_key(key_ev)), "a map",
                    [&](std::size_t& q, const Event& arg_key, const Path& ap) {
                        std::string name;
                        Value v;
                        if (!in_.read_text(q, ap, name)) return false;
                        if (!in_.read_value(q, ap.child(in_.value_key(arg_key)), v, marks_)) return false;
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
