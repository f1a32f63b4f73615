// The output of the walk that writes an object's JSON text directly: the
// caller's string, written through a pointer.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

#include "ostik/json_writer.hpp"

namespace ostik::py {

// The caller's string, written through a pointer with the room checked by
// the writer: the string is sized to its capacity while the walk writes, and
// cut to what was written at the end.
class Sink {
public:
    explicit Sink(std::string& s) : s_(s) {
        const std::size_t used = s_.size();
        open(used, std::max<std::size_t>(s_.capacity(), used + 256));
    }
    ~Sink() { s_.resize(offset()); }
    Sink(const Sink&) = delete;
    Sink& operator=(const Sink&) = delete;

    // Makes sure `n` more bytes fit at p.
    void room(std::size_t n) {
        if (static_cast<std::size_t>(end_ - p) < n) grow(n);
    }
    // (Writers work on a local copy of p: a store through a char pointer
    // could change p itself, as far as the compiler knows, and p would be
    // read again after every byte.)
    void put(char c) {
        room(1);
        char* q = p;
        *q = c;
        p = q + 1;
    }
    void put(const char* text, std::size_t n) {
        room(n);
        char* q = p;
        std::memcpy(q, text, n);
        p = q + n;
    }
    std::size_t offset() const { return static_cast<std::size_t>(p - s_.data()); }
    char* at(std::size_t offset) { return s_.data() + offset; }
    void rewind(std::size_t offset) { p = s_.data() + offset; }

    // A JSON string of UTF-8 text.
    void string(std::string_view text) {
        room(text.size() + 2);
        p = quoted(p, text, 0);
    }
    // A member's key and colon, after a comma unless it is the first.
    void key(std::string_view text, bool first) {
        room(text.size() + 4);
        char* q = p;
        if (!first) *q++ = ',';
        q = quoted(q, text, 1);
        *q++ = ':';
        p = q;
    }

    char* p = nullptr;  // where the next byte goes

private:
    // The string at q, with room for it unescaped and `after` more bytes;
    // returns its end.
    char* quoted(char* q, std::string_view text, std::size_t after) {
        const char* s = text.data();
        std::size_t left = text.size();
        *q++ = '"';
        for (;;) {
            const std::size_t run = json::copy_unescaped(q, s, left);
            q += run;
            if (run == left) break;
            s += run;
            left -= run;
            p = q;
            room(left + 6 + 1 + after);
            q = json::put_escape(p, static_cast<unsigned char>(*s));
            ++s;
            --left;
        }
        *q++ = '"';
        return q;
    }

    void open(std::size_t used, std::size_t size) {
        // The bytes past `used` are written before they are read.
        s_.resize_and_overwrite(size, [](char*, std::size_t n) { return n; });
        p = s_.data() + used;
        end_ = s_.data() + s_.size();
    }
    void grow(std::size_t n) {
        const std::size_t used = offset();
        s_.resize(used);
        open(used, std::max(s_.capacity() * 2, used + n + 256));
    }

    std::string& s_;
    char* end_ = nullptr;
};

}  // namespace ostik::py
