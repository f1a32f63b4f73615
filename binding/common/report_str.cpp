#include "report_str.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>

#include <sys/mman.h>

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

// Decodes valid UTF-8 into code units of type T; returns the end of the output.
template <class T>
T* decode(const unsigned char* p, const unsigned char* end, T* out) {
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
    return out;
}

Py_UCS4 max_char_for(unsigned char top) {
    return top < 0x80 ? 0x7F : top < 0xC4 ? 0xFF : top < 0xF0 ? 0xFFFF : 0x10FFFF;
}

// Storage is first made this large (in bytes, beyond what malloc serves from
// its heap), so that growing it remaps pages instead of copying them.
constexpr std::size_t first_storage_bytes = (std::size_t{32} << 20) + 4096;

// Asks for huge pages under the first 2 GiB of the storage: a report of tens
// of MiB written into fresh 4 KiB pages spends most of its time in page faults
// (a third of it with huge pages), while beyond a few GiB the kernel must
// gather huge pages first and they cost more than they save (measured here:
// a 3.4 GB str in 8 to 12 s with huge pages throughout, 4 to 6 s with none,
// 4 s with the first 2 GiB). Advice only.
constexpr std::uintptr_t huge_pages_at_most = std::uintptr_t{2048} << 20;

void advise_huge_pages(void* data, std::size_t bytes) {
#if defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t huge = std::uintptr_t{2} << 20;
    const auto begin = (reinterpret_cast<std::uintptr_t>(data) + huge - 1) & ~(huge - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(data) + bytes) & ~(huge - 1);
    const auto stop = std::min(end, begin + huge_pages_at_most);
    if (begin < stop) ::madvise(reinterpret_cast<void*>(begin), stop - begin, MADV_HUGEPAGE);
#else
    (void)data;
    (void)bytes;
#endif
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
    const Py_UCS4 max_char = max_char_for(top);
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

namespace {
thread_local std::string report_buffer;
constexpr std::size_t kept_buffer_bytes = std::size_t{4} << 20;
}  // namespace

std::string& ReportBuffer::text() { return report_buffer; }

ReportBuffer::~ReportBuffer() {
    if (report_buffer.capacity() > kept_buffer_bytes) std::string().swap(report_buffer);
}

ReportStr::ReportStr(unsigned char top_byte) : max_char_(max_char_for(top_byte)) {}

void ReportStr::reserve(Py_ssize_t chars) {
    if (chars <= capacity_) return;
    const auto unit = static_cast<Py_ssize_t>(max_char_ < 0x100 ? 1 : max_char_ < 0x10000 ? 2 : 4);
    const Py_ssize_t capacity =
        std::max({chars, capacity_ * 2, static_cast<Py_ssize_t>(first_storage_bytes) / unit});
    if (!str_) {
        str_ = OwnedRef::steal(PyUnicode_New(capacity, max_char_));
    } else {
        PyObject* p = str_.release();
        const int r = PyUnicode_Resize(&p, capacity);
        str_ = OwnedRef::steal(p);  // unchanged when the resize failed
        if (r < 0) str_ = OwnedRef();
    }
    if (!str_) {
        PyErr_Clear();
        throw std::bad_alloc();
    }
    capacity_ = capacity;
    advise_huge_pages(PyUnicode_DATA(str_.get()), static_cast<std::size_t>(capacity * unit));
}

void ReportStr::expect(std::uint64_t bytes) {
    if (bytes < static_cast<std::uint64_t>(PY_SSIZE_T_MAX / 4)) reserve(static_cast<Py_ssize_t>(bytes));
}

void ReportStr::take(std::string_view piece) {
    // At most one character per byte.
    reserve(length_ + static_cast<Py_ssize_t>(piece.size()));
    const auto* begin = reinterpret_cast<const unsigned char*>(piece.data());
    const auto* end = begin + piece.size();
    void* data = PyUnicode_DATA(str_.get());
    Py_ssize_t written;
    switch (PyUnicode_KIND(str_.get())) {
        case PyUnicode_1BYTE_KIND:
            if (max_char_ == 0x7F) {
                std::memcpy(static_cast<Py_UCS1*>(data) + length_, begin, piece.size());
                written = static_cast<Py_ssize_t>(piece.size());
            } else {
                written = decode(begin, end, static_cast<Py_UCS1*>(data) + length_) - (static_cast<Py_UCS1*>(data) + length_);
            }
            break;
        case PyUnicode_2BYTE_KIND:
            written = decode(begin, end, static_cast<Py_UCS2*>(data) + length_) - (static_cast<Py_UCS2*>(data) + length_);
            break;
        default:
            written = decode(begin, end, static_cast<Py_UCS4*>(data) + length_) - (static_cast<Py_UCS4*>(data) + length_);
            break;
    }
    length_ += written;
}

void ReportStr::take_last(std::string_view piece) {
    if (!str_) {
        // The whole report in one piece: made at its size at once.
        str_ = str_from_utf8(piece);
        if (!str_) {
            PyErr_Clear();
            throw std::bad_alloc();
        }
        return;
    }
    take(piece);
    PyObject* p = str_.release();
    const int r = PyUnicode_Resize(&p, length_);
    str_ = OwnedRef::steal(p);
    if (r < 0) {
        str_ = OwnedRef();
        PyErr_Clear();
        throw std::bad_alloc();
    }
}

}  // namespace ostik::py
