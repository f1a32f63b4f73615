#include "yaml_events.hpp"

#include <yaml.h>

#include <unordered_map>

namespace ostik::yaml {

std::string format_mark(const Mark& m) {
    if (m.line != 0 || m.column != 0) {
        return " at line " + std::to_string(m.line + 1) + " column " + std::to_string(m.column + 1);
    }
    if (m.index != 0) return " at position " + std::to_string(m.index);
    return {};
}

namespace {

Mark to_mark(const yaml_mark_t& m) { return Mark{m.index, m.line, m.column}; }

// libyaml's problem and context, framed: "problem at line L column C, context
// at line L column C".
std::string syntax_error(const yaml_parser_t& p) {
    std::string out = p.problem ? p.problem : "unknown YAML error";
    Mark problem = to_mark(p.problem_mark);
    if (problem.line != 0 || problem.column != 0) {
        out += format_mark(problem);
    } else if (p.problem_offset != 0) {
        out += " at position " + std::to_string(p.problem_offset);
    }
    if (p.context) {
        out += ", ";
        out += p.context;
        Mark context = to_mark(p.context_mark);
        if ((context.line != 0 || context.column != 0) &&
            (context.line != problem.line || context.column != problem.column)) {
            out += format_mark(context);
        }
    }
    return out;
}

}  // namespace

struct EventSource::Impl {
    yaml_parser_t parser;
    bool failed = false;
    std::string failure;
    bool finished = false;

    // Next libyaml event, or false on a syntax error (kept in `failure`).
    bool next(yaml_event_t& ev) {
        if (failed) return false;
        if (!yaml_parser_parse(&parser, &ev)) {
            failed = true;
            failure = syntax_error(parser);
            return false;
        }
        return true;
    }
};

EventSource::EventSource(std::string_view text) : impl_(new Impl) {
    yaml_parser_initialize(&impl_->parser);
    yaml_parser_set_input_string(&impl_->parser, reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

EventSource::~EventSource() {
    yaml_parser_delete(&impl_->parser);
    delete impl_;
}

void EventSource::first_document(Document& doc) {
    std::unordered_map<std::string, std::size_t> anchors;
    // libyaml's work per token grows with the flow nesting depth, so a deeply
    // nested document costs quadratic time to scan. No reader accepts more
    // than max_nesting levels: stop at the first node past that depth. The
    // reader meets that node and reports the recursion limit itself.
    std::size_t depth = 0;
    auto anchor = [&](const yaml_char_t* name) {
        if (name) anchors[reinterpret_cast<const char*>(name)] = doc.events.size();
    };
    for (;;) {
        yaml_event_t ev;
        if (!impl_->next(ev)) {
            doc.error = StreamError{impl_->failure};
            return;
        }
        Event out{};
        out.mark = to_mark(ev.start_mark);
        bool keep = true;
        bool done = false;
        switch (ev.type) {
            case YAML_STREAM_START_EVENT:
            case YAML_DOCUMENT_START_EVENT:
            case YAML_NO_EVENT:
                keep = false;
                break;
            case YAML_STREAM_END_EVENT:
                impl_->finished = true;
                keep = false;
                done = true;
                if (doc.events.empty()) {
                    out.kind = EventKind::void_;
                    doc.events.push_back(std::move(out));
                }
                break;
            case YAML_DOCUMENT_END_EVENT:
                keep = false;
                done = true;
                break;
            case YAML_ALIAS_EVENT: {
                auto it = anchors.find(reinterpret_cast<const char*>(ev.data.alias.anchor));
                if (it == anchors.end()) {
                    doc.error = StreamError{"unknown anchor" + format_mark(out.mark)};
                    yaml_event_delete(&ev);
                    return;
                }
                out.kind = EventKind::alias;
                out.target = it->second;
                break;
            }
            case YAML_SCALAR_EVENT:
                anchor(ev.data.scalar.anchor);
                out.kind = EventKind::scalar;
                out.plain = ev.data.scalar.style == YAML_PLAIN_SCALAR_STYLE;
                out.value.assign(reinterpret_cast<const char*>(ev.data.scalar.value), ev.data.scalar.length);
                if (ev.data.scalar.tag) out.tag = reinterpret_cast<const char*>(ev.data.scalar.tag);
                break;
            case YAML_SEQUENCE_START_EVENT:
                anchor(ev.data.sequence_start.anchor);
                out.kind = EventKind::sequence_start;
                ++depth;
                break;
            case YAML_SEQUENCE_END_EVENT:
                out.kind = EventKind::sequence_end;
                --depth;
                break;
            case YAML_MAPPING_START_EVENT:
                anchor(ev.data.mapping_start.anchor);
                out.kind = EventKind::mapping_start;
                ++depth;
                break;
            case YAML_MAPPING_END_EVENT:
                out.kind = EventKind::mapping_end;
                --depth;
                break;
        }
        yaml_event_delete(&ev);
        if (keep) doc.events.push_back(std::move(out));
        if (done) return;
        if (depth > max_nesting) {
            doc.error = StreamError{"recursion limit exceeded" + format_mark(doc.events.back().mark)};
            return;
        }
    }
}

std::optional<std::string> EventSource::rest_of_stream() {
    if (impl_->finished) return std::nullopt;
    yaml_event_t ev;
    if (!impl_->next(ev)) return impl_->failure;
    const bool second = ev.type == YAML_DOCUMENT_START_EVENT;
    yaml_event_delete(&ev);
    if (second) return std::string("deserializing from YAML containing more than one document is not supported");
    return std::nullopt;
}

}  // namespace ostik::yaml
