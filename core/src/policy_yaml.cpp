// Maps the YAML event stream of a policy document onto the policy records.
//
// The reader walks the events with a cursor. An alias replays the events of
// its anchored node through a second cursor. Every message carries the path
// of the node it is about and the node's position; a message gets both at the
// innermost read that fails, and outer reads leave them alone.
//
#include <array>
#include <string>
#include <vector>

#include "ostik/policy_loader.hpp"
#include "tools_reader.hpp"
#include "yaml_events.hpp"

namespace ostik {

namespace {

using loader::Event;
using loader::EventKind;
using loader::Mark;
using loader::name_list;
using loader::Path;

constexpr std::array<const char*, 7> policy_keys = {"version", "name",    "metadata", "tools",
                                                    "sequences", "aliases", "on_error"};
constexpr std::array<const char*, 2> on_error_values = {"block", "allow"};

class Reader : public loader::ToolsReader {
public:
    // With `ignored_keys`, the keys that rules drop are listed there; with
    // `marks`, the positions of the nodes under tools.arg_constraints.
    Reader(yaml::Document& doc, std::vector<IgnoredKey>* ignored_keys, std::vector<NodeMark>* marks)
        : ToolsReader(doc, ignored_keys, marks) {}

    bool read_policy(Policy& out) {
        std::size_t pos = 0;
        Path root;
        return read_policy_node(pos, root, out);
    }

private:
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
