// The UTF-8 text of Python str objects, read without asking a str for its
// UTF-8 form where that can be helped: a str keeps that form for the rest of
// its life once asked, doubling the memory of non-ASCII text.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "ostik/json_writer.hpp"

namespace ostik::py {

// ASCII text is its own UTF-8, read in place.
inline std::string_view ascii_text(PyObject* str) {
    return {static_cast<const char*>(PyUnicode_DATA(str)), static_cast<std::size_t>(PyUnicode_GET_LENGTH(str))};
}

inline bool needs_escape(Py_UCS4 c) { return c < 0x20 || c == '"' || c == '\\'; }

// The UTF-8 bytes of code units of one width, escaped for JSON when asked,
// at `p` (room: 6 bytes per unit). Null at a surrogate, which has no UTF-8
// form.
template <bool escape, class Unit>
char* put_utf8(char* p, const Unit* units, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        const Py_UCS4 c = units[i];
        if (c < 0x80) {
            if (escape && needs_escape(c)) p = json::put_escape(p, static_cast<unsigned char>(c));
            else *p++ = static_cast<char>(c);
        } else if (c < 0x800) {
            *p++ = static_cast<char>(0xC0 | c >> 6);
            *p++ = static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            if (c >= 0xD800 && c <= 0xDFFF) return nullptr;
            *p++ = static_cast<char>(0xE0 | c >> 12);
            *p++ = static_cast<char>(0x80 | (c >> 6 & 0x3F));
            *p++ = static_cast<char>(0x80 | (c & 0x3F));
        } else {
            *p++ = static_cast<char>(0xF0 | c >> 18);
            *p++ = static_cast<char>(0x80 | (c >> 12 & 0x3F));
            *p++ = static_cast<char>(0x80 | (c >> 6 & 0x3F));
            *p++ = static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return p;
}

// The UTF-8 form of a non-ASCII str at `p`, escaped when asked; null (with
// the interpreter's encoding error raised) for a str that has none. The str
// is not asked for its UTF-8 form, which it would keep for its lifetime.
template <bool escape>
char* put_str_utf8(char* p, PyObject* str) {
    const void* data = PyUnicode_DATA(str);
    const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(str));
    char* end = nullptr;
    switch (PyUnicode_KIND(str)) {
        case PyUnicode_1BYTE_KIND: end = put_utf8<escape>(p, static_cast<const Py_UCS1*>(data), n); break;
        case PyUnicode_2BYTE_KIND: end = put_utf8<escape>(p, static_cast<const Py_UCS2*>(data), n); break;
        default: end = put_utf8<escape>(p, static_cast<const Py_UCS4*>(data), n); break;
    }
    if (!end) {
        // The interpreter's own encoder raises the error it would give.
        Py_ssize_t len = 0;
        if (PyUnicode_AsUTF8AndSize(str, &len)) {
            PyErr_SetString(PyExc_SystemError, "a str with a surrogate was encoded");
        }
    }
    return end;
}

// The UTF-8 form of a non-ASCII str, in `out` (its room reused); false (with
// the interpreter's encoding error raised) for a str that has none.
inline bool str_utf8_into(std::string& out, PyObject* str) {
    bool encoded = false;
    out.resize_and_overwrite(4 * static_cast<std::size_t>(PyUnicode_GET_LENGTH(str)), [&](char* p, std::size_t) {
        char* end = put_str_utf8<false>(p, str);
        encoded = end != nullptr;
        return encoded ? static_cast<std::size_t>(end - p) : std::size_t{0};
    });
    return encoded;
}

// Whether a non-ASCII str has a UTF-8 form; if not, the interpreter's
// encoding error is raised.
inline bool has_utf8_form(PyObject* str) {
    const int kind = PyUnicode_KIND(str);
    if (kind != PyUnicode_1BYTE_KIND) {
        const void* data = PyUnicode_DATA(str);
        const Py_ssize_t n = PyUnicode_GET_LENGTH(str);
        for (Py_ssize_t i = 0; i < n; ++i) {
            const Py_UCS4 c = PyUnicode_READ(kind, data, i);
            if (c >= 0xD800 && c <= 0xDFFF) {
                Py_ssize_t len = 0;
                return PyUnicode_AsUTF8AndSize(str, &len) != nullptr;
            }
        }
    }
    return true;
}

// A key's UTF-8, to order and to write: in place for ASCII, else the str's
// own UTF-8 form (kept by the str: keys are few and mostly ASCII). False with
// the interpreter's error raised when there is none.
inline bool key_text(PyObject* key, std::string_view& text) {
    if (PyUnicode_IS_ASCII(key)) {
        text = ascii_text(key);
        return true;
    }
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(key, &n);
    if (!p) return false;
    text = std::string_view(p, static_cast<std::size_t>(n));
    return true;
}

}  // namespace ostik::py
