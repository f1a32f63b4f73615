// The event layer under the policy reader: libyaml's events for the first
// document of a stream, with aliases resolved to the index of their anchored
// node. A syntax error (or an alias of an undefined anchor) ends the list; the
// error is kept and reported when the reader runs past the last event.
//
// A policy can be tens of megabytes of tiny scalars, so the events are kept
// compact: a 16-byte record each, all scalar texts in one shared arena.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ostik::yaml {

// Mappings and sequences nest at most this deep in a policy.
inline constexpr std::size_t max_nesting = 128;

struct Mark {
    std::size_t index = 0;
    std::size_t line = 0;    // 0-based
    std::size_t column = 0;  // 0-based
};

// " at line L column C", or " at position N", or nothing: the position suffix
// of every message.
std::string format_mark(const Mark& m);

enum class EventKind : std::uint8_t { scalar, sequence_start, sequence_end, mapping_start, mapping_end, alias, void_ };

// A scalar's tag, by what it means to resolution.
enum class Tag : std::uint8_t {
    none,
    null,        // tag:yaml.org,2002:null
    boolean,     // tag:yaml.org,2002:bool
    integer,     // tag:yaml.org,2002:int
    float_,      // tag:yaml.org,2002:float
    core_other,  // any other tag:yaml.org,2002: tag (!!str, !!binary, ...)
    local,       // a tag starting with "!"
    other,       // any other global tag
};

// One event as the reader sees it, decoded from the document's storage. The
// text points into the document and lives as long as it does.
struct Event {
    EventKind kind = EventKind::void_;
    bool plain = false;          // a plain (unquoted, non-block) scalar
    Tag tag = Tag::none;         // scalars only
    std::string_view value;      // scalar text
    std::size_t target = 0;      // alias: index of the anchored node's first event
    std::size_t children = 0;    // sequence or mapping start: the nodes directly inside (keys count too)
    Mark mark;
};

// The events of a document, in order.
class EventLog {
public:
    explicit EventLog(std::size_t text_size = 0);

    std::size_t size() const { return size_; }
    Event operator[](std::size_t i) const;

    void push_scalar(const Mark& mark, std::string_view value, Tag tag, bool plain);
    void push_alias(const Mark& mark, std::size_t target);
    void push(const Mark& mark, EventKind kind);  // start, end and void events
    // A start event's count of direct children, once its end is met.
    void set_children(std::size_t start, std::size_t children);

    // Frees the records before event `i` that no alias can replay: a reader
    // of the complete log that will not look back before `i` again calls
    // this as it goes, so the records of a large document do not all stay
    // to the end. The texts stay.
    void release_before(std::size_t i) {
        if ((std::min(i, first_target_) >> block_bits) > released_) release_blocks(std::min(i, first_target_) >> block_bits);
    }

private:
    // line and column as 32 bits; the payload word holds a 48-bit payload
    // (arena offset of a scalar's text, an alias's target, a start event's
    // children), a scalar's length when short and the kind, tag and flags.
    struct Record {
        std::uint32_t line;
        std::uint32_t column;
        std::uint64_t word;
    };
    static constexpr std::size_t block_bits = 16;  // records per block: 65,536 (1 MiB)
    static constexpr std::size_t block_size = std::size_t(1) << block_bits;

    // Blocks are mapped from the system directly, so a released block goes
    // back to it at once: from the C heap it would often stay with the
    // process, and the release would save nothing.
    struct Unmap {
        void operator()(Record* block) const;
    };
    using Block = std::unique_ptr<Record[], Unmap>;

    Record& append(const Mark& mark, EventKind kind, std::uint64_t payload, std::uint64_t short_length,
                   Tag tag, bool plain);
    void release_blocks(std::size_t end);
    const Record& at(std::size_t i) const { return blocks_[i >> block_bits][i & (block_size - 1)]; }

    // Fixed-size blocks: growing never copies what is already stored.
    std::vector<Block> blocks_;
    std::size_t size_ = 0;
    std::size_t released_ = 0;  // blocks freed, from the first
    std::size_t first_target_ = static_cast<std::size_t>(-1);  // the lowest event an alias refers to
    std::string arena_;  // scalar texts; a long one is preceded by its 8-byte length
    // Marks that 32 bits cannot hold, and those at line 1 column 1, whose
    // message form needs the offset: by event index, in event order.
    std::vector<std::pair<std::size_t, Mark>> wide_marks_;
};

// The error that stopped event collection, already formatted.
struct StreamError {
    std::string message;
};

struct Document {
    EventLog events;
    std::optional<StreamError> error;
};

class EventSource {
public:
    explicit EventSource(std::string_view text);
    ~EventSource();
    EventSource(const EventSource&) = delete;
    EventSource& operator=(const EventSource&) = delete;

    // The events of the first document. A stream without any document gives
    // a single void event.
    void first_document(Document& doc);

    // After the first document: what follows it. Null when the stream ends
    // cleanly; otherwise the error to report (a second document or a syntax
    // error after the first document).
    std::optional<std::string> rest_of_stream();

private:
    struct Impl;
    Impl* impl_;
    std::size_t text_size_;
};

}  // namespace ostik::yaml
