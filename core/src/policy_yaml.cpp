// Maps the YAML event stream of a policy document onto the policy records.
//
// The reader walks the events with a cursor. An alias replays the events of
// its anchored node through a second cursor. Every message carries the path
// of the node it is about and the node's position; a message gets both at the
// innermost read that fails, and outer reads leave them alone.
//
// The pieces: the cursor, alias replay and buffered nodes (yaml_cursor.hpp),
// the shapes of nodes and records (yaml_nodes.hpp), one rule (rule_reader.hpp),
// the tools section (tools_reader.hpp); here, the root record, whose keys
// stand in one table of sections.
#include <array>
#include <span>
#include <string>
#include <vector>

#include "ostik/policy_loader.hpp"
#include "language_reader.hpp"
#include "rule_reader.hpp"
#include "tools_reader.hpp"
#include "yaml_events.hpp"
#include "yaml_nodes.hpp"

namespace ostik {

namespace {

using loader::Event;
using loader::EventKind;
using loader::Mark;
using loader::Path;

constexpr std::array<const char*, 2> on_error_values = {"block", "allow"};

class PolicyReader;

// A key of the root mapping and how its value is read into the policy.
struct RootSection {
    const char* key;
    bool required;
    bool (*read)(PolicyReader& reader, std::size_t& pos, const Path& path, Policy& out);
};

class PolicyReader {
public:
    // With `ignored_keys`, the keys that rules drop are listed there; with
    // `marks`, the positions of the nodes under tools.arg_constraints. The
    // root's keys are those of `sections`, in the order messages list them.
    PolicyReader(yaml::Document& doc, std::vector<IgnoredKey>* ignored_keys, std::vector<NodeMark>* marks,
                 std::span<const RootSection> sections)
        : in_(doc),
          rules_(in_, ignored_keys),
          tools_(in_, marks),
          language_(in_, marks),
          sections_(sections),
          keys_(loader::keys_of(sections)) {}

    // The root sections of the policy language as specified.
    static std::span<const RootSection> specified_sections();
    // Those of the whole language: the specified ones, then the guard's own.
    static std::span<const RootSection> whole_sections();

    bool read_policy(Policy& out) {
        std::size_t pos = 0;
        Path root;
        return read_root(pos, root, out);
    }

    const loader::Error& error() const { return in_.error(); }

private:
    bool read_root(std::size_t& pos, const Path& path, Policy& out) {
        out = Policy{};
        return in_.read_record(
            pos, path, "struct Policy", keys_,
            [&](std::size_t f, std::size_t& p, const Path& vp) { return sections_[f].read(*this, p, vp, out); },
            [&](const std::vector<bool>& seen) {
                for (std::size_t f = 0; f < sections_.size(); ++f) {
                    if (sections_[f].required && !seen[f]) {
                        return in_.fail(std::string("missing field `") + sections_[f].key + "`");
                    }
                }
                return true;
            });
    }

    bool read_sequences(std::size_t& pos, const Path& path, Policy& out) {
        out.sequences.clear();
        return in_.read_sequence(pos, path, [&](std::size_t& q, const Path& ip) {
            SequenceRule r;
            if (!rules_.read_rule(q, ip, out.sequences.size(), r)) return false;
            out.sequences.push_back(std::move(r));
            return true;
        });
    }

    bool read_on_error(std::size_t& pos, const Path& path, ErrorPolicy& out) {
        Event ev;
        if (!in_.peek(pos, ev)) return false;
        if (ev.kind == EventKind::sequence_start || ev.kind == EventKind::mapping_start) {
            ++pos;
            in_.invalid_type(ev, "enum ErrorPolicy");
            return in_.fix(ev.mark, path);
        }
        std::string text;
        const Mark mark = ev.mark;
        if (!in_.read_text(pos, path, text, "enum ErrorPolicy")) return false;
        if (text == "block") {
            out = ErrorPolicy::block;
        } else if (text == "allow") {
            out = ErrorPolicy::allow;
        } else {
            in_.fail("unknown variant `" + text + "`, expected " + loader::name_list(on_error_values));
            return in_.fix(in_.resolved_mark(mark, pos), path);
        }
        return true;
    }

    loader::NodeReader in_;
    loader::RuleReader rules_;
    loader::ToolsReader tools_;
    loader::LanguageReader language_;
    std::span<const RootSection> sections_;
    std::vector<const char*> keys_;
};

// A reader of a larger language than the specified one gives the reader a
// longer table; nothing else in it knows the root's keys.
std::span<const RootSection> PolicyReader::specified_sections() {
    using R = PolicyReader;
    static const std::array<RootSection, 7> table = {{
        {"version", true, [](R& r, std::size_t& p, const Path& vp, Policy& out) {
             return r.in_.read_text(p, vp, out.version);
         }},
        {"name", false, [](R& r, std::size_t& p, const Path& vp, Policy& out) {
             return r.in_.read_text(p, vp, out.name);
         }},
        {"metadata", false, [](R& r, std::size_t& p, const Path& vp, Policy& out) {
             return r.in_.read_nullable(p, vp, out.metadata, [&](std::size_t& q, const Path& qp, Value& v) {
                 return r.in_.read_value(q, qp, v);
             });
         }},
        {"tools", false, [](R& r, std::size_t& p, const Path& vp, Policy& out) {
             return r.tools_.read_tools(p, vp, out.tools);
         }},
        {"sequences", false, [](R& r, std::size_t& p, const Path& vp, Policy& out) {
             return r.read_sequences(p, vp, out);
         }},
        {"aliases", false, [](R& r, std::size_t& p, const Path& vp, Policy& out) {
             return r.in_.read_name_list_map(p, vp, out.aliases);
         }},
        {"on_error", false, [](R& r, std::size_t& p, const Path& vp, Policy& out) {
             return r.read_on_error(p, vp, out.on_error);
         }},
    }};
    return table;
}

std::span<const RootSection> PolicyReader::whole_sections() {
    using R = PolicyReader;
    static const std::vector<RootSection> table = [] {
        const std::span<const RootSection> specified = specified_sections();
        std::vector<RootSection> t(specified.begin(), specified.end());
        t.push_back({"ask", false, [](R& r, std::size_t& p, const Path& vp, Policy& out) {
                         return r.language_.read_ask(p, vp, out.ask);
                     }});
        t.push_back({"limits", false, [](R& r, std::size_t& p, const Path& vp, Policy& out) {
                         return r.language_.read_limits(p, vp, out.limits);
                     }});
        t.push_back({"labels", false, [](R& r, std::size_t& p, const Path& vp, Policy& out) {
                         return r.language_.read_labels(p, vp, out.labels);
                     }});
        t.push_back({"taint", false, [](R& r, std::size_t& p, const Path& vp, Policy& out) {
                         return r.language_.read_taint(p, vp, out.taint);
                     }});
        t.push_back({"flows", false, [](R& r, std::size_t& p, const Path& vp, Policy& out) {
                         return r.language_.read_flows(p, vp, out.flows);
                     }});
        return t;
    }();
    return table;
}

}  // namespace
std::expected<Policy, LoadError> parse_policy(std::string_view text, std::vector<IgnoredKey>* ignored_keys,
                                              std::vector<NodeMark>* constraint_marks, Language language) {
    yaml::EventSource source(text);
    yaml::Document doc;
    source.first_document(doc);
    Policy policy;
    std::vector<IgnoredKey> ignored;
    std::vector<NodeMark> marks;
    PolicyReader reader(doc, ignored_keys ? &ignored : nullptr, constraint_marks ? &marks : nullptr,
                        language == Language::whole ? PolicyReader::whole_sections()
                                                    : PolicyReader::specified_sections());
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
