#include "report_str.hpp"

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace ostik::py {

namespace {

constexpr std::uint64_t high_bits = 0x8080808080808080ull;

inline std::uint64_t load8(const unsigned char* p) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}

struct Shape {
    std::size_t continuation = 0;  // bytes 10xxxxxx
    unsigned char top = 0;         // the highest byte
};

// Reports are mostly ASCII: whole words without a high bit are skipped.
Shape measure(const unsigned char* p, const unsigned char* end) {
    Shape s;
    for (; end - p >= 8; p += 8) {
        if ((load8(p) & high_bits) == 0) continue;
        for (int i = 0; i < 8; ++i) {
            s.continuation += (p[i] & 0xC0) == 0x80;
            s.top = p[i] > s.top ? p[i] : s.top;
        }
    }
    for (; p < end; ++p) {
        s.continuation += (*p & 0xC0) == 0x80;
        s.top = *p > s.top ? *p : s.top;
    }
    return s;
}

// Copies the ASCII run at the start of [p, end) widened to T; returns how
// many bytes it took.
template <class T>
std::size_t ascii_run(const unsigned char* p, const unsigned char* end, T* out) {
    const unsigned char* start = p;
#if defined(__SSE2__)
    if constexpr (sizeof(T) == 2) {
        const __m128i zero = _mm_setzero_si128();
        while (end - p >= 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            if (_mm_movemask_epi8(v) != 0) break;
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi8(v, zero));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), _mm_unpackhi_epi8(v, zero));
            p += 16;
            out += 16;
        }
    }
#endif
    while (end - p >= 8 && (load8(p) & high_bits) == 0) {
        for (int i = 0; i < 8; ++i) out[i] = p[i];
        p += 8;
        out += 8;
    }
    return static_cast<std::size_t>(p - start);
}

// Decodes valid UTF-8 into code units of type T.
template <class T>
void decode(const unsigned char* p, const unsigned char* end, T* out) {
    while (p < end) {
        const std::size_t n = ascii_run(p, end, out);
        p += n;
        out += n;
        if (p == end) break;
        const unsigned char c = *p;
        std::uint32_t cp;
        if (c < 0x80) {
            cp = c;
            p += 1;
        } else if (c < 0xE0) {
            cp = (c & 0x1Fu) << 6 | (p[1] & 0x3Fu);
            p += 2;
        } else if (c < 0xF0) {
            cp = (c & 0x0Fu) << 12 | (p[1] & 0x3Fu) << 6 | (p[2] & 0x3Fu);
            p += 3;
        } else {
            cp = (c & 0x07u) << 18 | (p[1] & 0x3Fu) << 12 | (p[2] & 0x3Fu) << 6 | (p[3] & 0x3Fu);
            p += 4;
        }
        *out++ = static_cast<T>(cp);
    }
}

}  // namespace

OwnedRef str_from_utf8(std::string_view utf8) {
    const auto* begin = reinterpret_cast<const unsigned char*>(utf8.data());
    const auto* end = begin + utf8.size();
    // Code points are the bytes that are not continuation bytes. The highest
    // byte gives the width, and the canonical one: a lead byte from 0xC4 on
    // starts a code point above 0xFF, one from 0xF0 on a code point above 0xFFFF.
    const Shape shape = measure(begin, end);
    const auto length = static_cast<Py_ssize_t>(utf8.size() - shape.continuation);
    const unsigned char top = shape.top;
    const Py_UCS4 max_char = top < 0x80 ? 0x7F : top < 0xC4 ? 0xFF : top < 0xF0 ? 0xFFFF : 0x10FFFF;
    OwnedRef str = OwnedRef::steal(PyUnicode_New(length, max_char));
    if (!str) return str;
    void* data = PyUnicode_DATA(str.get());
    switch (PyUnicode_KIND(str.get())) {
        case PyUnicode_1BYTE_KIND:
            if (max_char == 0x7F) std::memcpy(data, begin, utf8.size());
            else decode(begin, end, static_cast<Py_UCS1*>(data));
            break;
        case PyUnicode_2BYTE_KIND:
            decode(begin, end, static_cast<Py_UCS2*>(data));
            break;
        default:
            decode(begin, end, static_cast<Py_UCS4*>(data));
            break;
    }
    return str;
}

}  // namespace ostik::py
