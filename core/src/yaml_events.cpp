#include "yaml_events.hpp"

#include <sys/mman.h>
#include <yaml.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
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

// ---- compact storage ------------------------------------------------------

namespace {

constexpr std::uint64_t payload_bits = 48;
constexpr std::uint64_t payload_mask = (std::uint64_t(1) << payload_bits) - 1;
constexpr std::uint64_t long_text = 255;  // the length stands in the arena before the text
constexpr int length_shift = 48;
constexpr int kind_shift = 56;   // 3 bits
constexpr int tag_shift = 59;    // 3 bits
constexpr int plain_shift = 62;
constexpr int wide_shift = 63;

}  // namespace

void EventLog::Unmap::operator()(Record* block) const { ::munmap(block, block_size * sizeof(Record)); }

EventLog::EventLog(std::size_t text_size) {
    // Scalar texts are at most as long as the text they are written in; a
    // reservation that is never touched costs address space only.
    arena_.reserve(text_size);
}

EventLog::Record& EventLog::append(const Mark& mark, EventKind kind, std::uint64_t payload,
                                   std::uint64_t short_length, Tag tag, bool plain) {
    if ((size_ & (block_size - 1)) == 0) {
        blocks_.reserve(blocks_.size() + 1);  // nothing to leak if this throws
        void* block = ::mmap(nullptr, block_size * sizeof(Record), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                             -1, 0);
        if (block == MAP_FAILED) throw std::bad_alloc();
        blocks_.emplace_back(static_cast<Record*>(block));
    }
    constexpr std::size_t narrow = std::numeric_limits<std::uint32_t>::max();
    const bool wide = mark.line > narrow || mark.column > narrow || (mark.line == 0 && mark.column == 0);
    if (wide) wide_marks_.emplace_back(size_, mark);
    Record& r = blocks_[size_ >> block_bits][size_ & (block_size - 1)];
    r.line = wide ? 0 : static_cast<std::uint32_t>(mark.line);
    r.column = wide ? 0 : static_cast<std::uint32_t>(mark.column);
    r.word = (payload & payload_mask) | short_length << length_shift |
             static_cast<std::uint64_t>(kind) << kind_shift | static_cast<std::uint64_t>(tag) << tag_shift |
             static_cast<std::uint64_t>(plain) << plain_shift | static_cast<std::uint64_t>(wide) << wide_shift;
    ++size_;
    return r;
}

void EventLog::push_scalar(const Mark& mark, std::string_view value, Tag tag, bool plain) {
    const std::size_t offset = arena_.size();
    std::uint64_t length = value.size();
    if (length >= long_text) {
        char bytes[sizeof length];
        std::memcpy(bytes, &length, sizeof length);
        arena_.append(bytes, sizeof bytes);
        length = long_text;
    }
    arena_.append(value);
    append(mark, EventKind::scalar, offset, length, tag, plain);
}

void EventLog::push_alias(const Mark& mark, std::size_t target) {
    first_target_ = std::min(first_target_, target);
    append(mark, EventKind::alias, target, 0, Tag::none, false);
}

void EventLog::push(const Mark& mark, EventKind kind) { append(mark, kind, 0, 0, Tag::none, false); }

void EventLog::set_children(std::size_t start, std::size_t children) {
    Record& r = blocks_[start >> block_bits][start & (block_size - 1)];
    r.word = (r.word & ~payload_mask) | (std::min<std::uint64_t>(children, payload_mask));
}

void EventLog::release_blocks(std::size_t end) {
    for (; released_ < end; ++released_) blocks_[released_].reset();
}

Event EventLog::operator[](std::size_t i) const {
    const Record& r = at(i);
    Event ev;
    ev.kind = static_cast<EventKind>(r.word >> kind_shift & 7);
    const std::uint64_t payload = r.word & payload_mask;
    switch (ev.kind) {
        case EventKind::scalar: {
            ev.tag = static_cast<Tag>(r.word >> tag_shift & 7);
            ev.plain = (r.word >> plain_shift & 1) != 0;
            std::uint64_t length = r.word >> length_shift & 0xff;
            std::size_t offset = payload;
            if (length == long_text) {
                std::memcpy(&length, arena_.data() + offset, sizeof length);
                offset += sizeof length;
            }
            ev.value = std::string_view(arena_.data() + offset, length);
            break;
        }
        case EventKind::alias: ev.target = payload; break;
        case EventKind::sequence_start:
        case EventKind::mapping_start: ev.children = payload; break;
        default: break;
    }
    if (r.word >> wide_shift) {
        auto it = std::lower_bound(wide_marks_.begin(), wide_marks_.end(), i,
                                   [](const std::pair<std::size_t, Mark>& w, std::size_t k) { return w.first < k; });
        ev.mark = it->second;
    } else {
        ev.mark = Mark{0, r.line, r.column};
    }
    return ev;
}

// ---- collection from libyaml ---------------------------------------------

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

EventSource::EventSource(std::string_view text) : impl_(new Impl), text_size_(text.size()) {
    yaml_parser_initialize(&impl_->parser);
    yaml_parser_set_input_string(&impl_->parser, reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

EventSource::~EventSource() {
    yaml_parser_delete(&impl_->parser);
    delete impl_;
}

namespace {

Tag tag_of(const yaml_char_t* tag) {
    if (!tag) return Tag::none;
    std::string_view t = reinterpret_cast<const char*>(tag);
    constexpr std::string_view core = "tag:yaml.org,2002:";
    if (t.starts_with(core)) {
        t.remove_prefix(core.size());
        if (t == "null") return Tag::null;
        if (t == "bool") return Tag::boolean;
        if (t == "int") return Tag::integer;
        if (t == "float") return Tag::float_;
        return Tag::core_other;
    }
    return t.starts_with('!') ? Tag::local : Tag::other;
}

// A libyaml event, deleted however its loop round ends (std::bad_alloc too).
struct OwnedEvent {
    yaml_event_t ev{};
    OwnedEvent() = default;
    OwnedEvent(const OwnedEvent&) = delete;
    OwnedEvent& operator=(const OwnedEvent&) = delete;
    ~OwnedEvent() { yaml_event_delete(&ev); }
};

}  // namespace

void EventSource::first_document(Document& doc) {
    doc.events = EventLog(text_size_);
    EventLog& events = doc.events;
    std::unordered_map<std::string, std::size_t> anchors;
    // The open mappings and sequences: start event index and children so far.
    std::vector<std::pair<std::size_t, std::size_t>> open;
    // libyaml's work per token grows with the flow nesting depth, so a deeply
    // nested document costs quadratic time to scan. No reader accepts more
    // than max_nesting levels: stop at the first node past that depth. The
    // reader meets that node and reports the recursion limit itself.
    auto node = [&](const yaml_char_t* anchor) {
        if (anchor) anchors[reinterpret_cast<const char*>(anchor)] = events.size();
        if (!open.empty()) ++open.back().second;
    };
    for (;;) {
        OwnedEvent owned;
        yaml_event_t& ev = owned.ev;
        if (!impl_->next(ev)) {
            doc.error = StreamError{impl_->failure};
            return;
        }
        const Mark mark = to_mark(ev.start_mark);
        bool done = false;
        switch (ev.type) {
            case YAML_STREAM_START_EVENT:
            case YAML_DOCUMENT_START_EVENT:
            case YAML_NO_EVENT:
                break;
            case YAML_STREAM_END_EVENT:
                impl_->finished = true;
                done = true;
                if (events.size() == 0) events.push(mark, EventKind::void_);
                break;
            case YAML_DOCUMENT_END_EVENT:
                done = true;
                break;
            case YAML_ALIAS_EVENT: {
                auto it = anchors.find(reinterpret_cast<const char*>(ev.data.alias.anchor));
                if (it == anchors.end()) {
                    doc.error = StreamError{"unknown anchor" + format_mark(mark)};
                    return;
                }
                node(nullptr);
                events.push_alias(mark, it->second);
                break;
            }
            case YAML_SCALAR_EVENT:
                node(ev.data.scalar.anchor);
                events.push_scalar(mark,
                                   std::string_view(reinterpret_cast<const char*>(ev.data.scalar.value),
                                                    ev.data.scalar.length),
                                   tag_of(ev.data.scalar.tag), ev.data.scalar.style == YAML_PLAIN_SCALAR_STYLE);
                break;
            case YAML_SEQUENCE_START_EVENT:
            case YAML_MAPPING_START_EVENT: {
                const bool sequence = ev.type == YAML_SEQUENCE_START_EVENT;
                node(sequence ? ev.data.sequence_start.anchor : ev.data.mapping_start.anchor);
                open.emplace_back(events.size(), 0);
                events.push(mark, sequence ? EventKind::sequence_start : EventKind::mapping_start);
                break;
            }
            case YAML_SEQUENCE_END_EVENT:
            case YAML_MAPPING_END_EVENT:
                events.set_children(open.back().first, open.back().second);
                open.pop_back();
                events.push(mark, ev.type == YAML_SEQUENCE_END_EVENT ? EventKind::sequence_end : EventKind::mapping_end);
                break;
        }
        if (done) return;
        if (open.size() > max_nesting) {
            doc.error = StreamError{"recursion limit exceeded" + format_mark(events[events.size() - 1].mark)};
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
