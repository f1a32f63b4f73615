#include "ostik/rule_ids.hpp"

#include "ostik/text.hpp"

namespace ostik {

namespace {

struct IdBuilder {
    std::string id;

    void operator()(const rule::Require& r) { name("require_", r.tool); }
    void operator()(const rule::Eventually& r) { name("eventually_", r.tool); number(r.within); }
    void operator()(const rule::MaxCalls& r) { name("max_calls_", r.tool); number(r.max); }
    void operator()(const rule::Before& r) { name("before_", r.first); name("_then_", r.then); }
    void operator()(const rule::After& r) { name("after_", r.trigger); name("_then_", r.then); }
    void operator()(const rule::NeverAfter& r) { name("never_after_", r.trigger); name("_forbidden_", r.forbidden); }
    void operator()(const rule::Sequence& r) {
        // Lower-cased as one joined string: the final-sigma rule sees the joins.
        std::string joined;
        for (std::size_t i = 0; i < r.tools.size(); ++i) {
            if (i) joined += '_';
            joined += r.tools[i];
        }
        name("sequence_", joined);
    }
    void operator()(const rule::Blocklist& r) { name("blocklist_", r.pattern); }

    void name(const char* prefix, const std::string& text) {
        id += prefix;
        append_lower(id, text);
    }
    void number(std::uint32_t n) {
        id += '_';
        id += std::to_string(n);
    }
};

}  // namespace

std::string rule_id_for(const SequenceRule& rule) {
    IdBuilder b;
    std::visit(b, rule);
    return std::move(b.id);
}

std::string flow_rule_id_for(const FlowEntry& flow) {
    // Each side lower-cased as one joined string, as a sequence rule's names are.
    auto joined = [](const NameList& names) {
        std::string out;
        for (std::size_t i = 0; i < names.size(); ++i) {
            if (i) out += '_';
            out += names[i];
        }
        return out;
    };
    IdBuilder b;
    b.name("flow_", joined(flow.from));
    b.name("_", joined(flow.to));
    return std::move(b.id);
}

}  // namespace ostik
