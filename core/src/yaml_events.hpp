// The event layer under the policy reader: libyaml's events for the first
// document of a stream, with aliases resolved to the index of their anchored
// node. A syntax error (or an alias of an undefined anchor) ends the list; the
// error is kept and reported when the reader runs past the last event.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
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

struct Event {
    EventKind kind;
    bool plain = false;        // a plain (unquoted, non-block) scalar
    std::string value;         // scalar text
    std::string tag;           // scalar tag as libyaml expands it, empty when none
    std::size_t target = 0;    // alias: index of the anchored node's first event
    Mark mark;
};

// The error that stopped event collection, already formatted.
struct StreamError {
    std::string message;
};

struct Document {
    std::vector<Event> events;
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
};

}  // namespace ostik::yaml
