#include "ostik/text.hpp"

#include <unicode/ucasemap.h>
#include <unicode/utypes.h>

#include <memory>

namespace ostik {

bool is_valid_utf8(std::string_view s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const auto* end = p + s.size();
    while (p < end) {
        unsigned char c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        int n;
        char32_t cp;
        if (c >= 0xC2 && c <= 0xDF) { n = 1; cp = c & 0x1F; }
        else if (c >= 0xE0 && c <= 0xEF) { n = 2; cp = c & 0x0F; }
        else if (c >= 0xF0 && c <= 0xF4) { n = 3; cp = c & 0x07; }
        else return false;
        if (end - p < n + 1) return false;
        for (int i = 1; i <= n; ++i) {
            if ((p[i] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (p[i] & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF.
        if ((n == 2 && cp < 0x800) || (n == 3 && cp < 0x10000) || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        p += n + 1;
    }
    return true;
}

namespace {
struct CaseMapCloser {
    void operator()(UCaseMap* m) const { ucasemap_close(m); }
};

UCaseMap* root_case_map() {
    static std::unique_ptr<UCaseMap, CaseMapCloser> map = [] {
        UErrorCode status = U_ZERO_ERROR;
        return std::unique_ptr<UCaseMap, CaseMapCloser>(ucasemap_open("", 0, &status));
    }();
    return map.get();
}
}  // namespace

void append_lower(std::string& out, std::string_view s) {
    bool ascii = true;
    for (char c : s) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            ascii = false;
            break;
        }
    }
    if (ascii) {
        for (char c : s) out += (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
        return;
    }
    const std::size_t start = out.size();
    // Lower-casing grows UTF-8 text by at most a factor of three ("İ" -> "i̇").
    out.resize(start + s.size() * 3 + 8);
    UErrorCode status = U_ZERO_ERROR;
    int32_t n = ucasemap_utf8ToLower(root_case_map(), out.data() + start, static_cast<int32_t>(out.size() - start),
                                     s.data(), static_cast<int32_t>(s.size()), &status);
    if (status == U_BUFFER_OVERFLOW_ERROR) {
        out.resize(start + static_cast<std::size_t>(n));
        status = U_ZERO_ERROR;
        n = ucasemap_utf8ToLower(root_case_map(), out.data() + start, n, s.data(), static_cast<int32_t>(s.size()),
                                 &status);
    }
    if (U_FAILURE(status)) {
        // Only possible for malformed input, which the readers never let in.
        out.resize(start);
        out += s;
        return;
    }
    out.resize(start + static_cast<std::size_t>(n));
}

}  // namespace ostik
