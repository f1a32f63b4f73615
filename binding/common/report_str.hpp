// Python str objects from the large UTF-8 texts the core writes (reports).
//
// The interpreter's own decoder guesses the string's width as it goes and
// widens (copies) when it meets the first non-Latin-1 character, which every
// report with a check mark has. Here one pass over the bytes finds the length
// and the width first, so the str is allocated once at its final size and
// filled in a second pass.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>

#include "ostik/explain.hpp"
#include "ref.hpp"

namespace ostik::py {

// `utf8` must be valid UTF-8 (the core writes only that). Null with
// MemoryError set when the str cannot be allocated.
OwnedRef str_from_utf8(std::string_view utf8);

// The report buffer of this thread, kept between calls: a report written
// into memory that is already mapped skips most of its page faults. Only the
// native writer and the str it fills use it, with no Python code in between,
// so a nested call cannot meet it in use. Buffers past 4 MiB are given back
// when the handle goes: agents run for long, often with many threads, and must
// not hold a large report's memory per thread between calls.
class ReportBuffer {
public:
    ReportBuffer() = default;
    ReportBuffer(const ReportBuffer&) = delete;
    ReportBuffer& operator=(const ReportBuffer&) = delete;
    ~ReportBuffer();

    std::string& text();
};

// Builds a str from a report written in pieces, decoding each piece straight
// into the str's own storage, so that the UTF-8 text is never held whole
// beside it. The widest character must be known before the first piece (the
// report's outline gives it): a str's width is fixed when it is made, and it
// must be the narrowest that holds the text.
//
// A report that arrives in one piece is made like str_from_utf8 does. Longer
// ones go into storage that grows in place (large blocks are remapped, not
// copied) and is cut to size at the end; the untouched rest of the storage
// costs address space only.
class ReportStr final : public ostik::ReportSink {
public:
    // `top_byte`: the report's highest byte above ASCII, or 0 (ReportOutline).
    explicit ReportStr(unsigned char top_byte);

    // Throw std::bad_alloc (the Python error cleared) when the str cannot be
    // made or grown.
    void take(std::string_view piece) override;
    void take_last(std::string_view piece) override;
    // Makes the storage for that many characters at once (at most one per byte).
    void expect(std::uint64_t bytes) override;

    // The finished str, once the last piece was taken.
    OwnedRef result() { return std::move(str_); }

private:
    void reserve(Py_ssize_t chars);

    Py_UCS4 max_char_;
    OwnedRef str_;
    Py_ssize_t length_ = 0;
    Py_ssize_t capacity_ = 0;
};

}  // namespace ostik::py
