#include "util.hpp"

namespace ostik::py {

namespace {
std::string utf8_or(PyObject* s, std::string_view fallback) {
    Py_ssize_t n = 0;
    const char* p = s ? PyUnicode_AsUTF8AndSize(s, &n) : nullptr;
    if (!p) {
        PyErr_Clear();
        return std::string(fallback);
    }
    return std::string(p, static_cast<std::size_t>(n));
}
}  // namespace

std::string take_exception_text() {
    OwnedRef exc = OwnedRef::steal(PyErr_GetRaisedException());
    if (!exc) return "unknown error";
    OwnedRef tname = type_qualname(exc.get());
    std::string out = utf8_or(tname.get(), "unknown");
    out += ": ";
    OwnedRef text = OwnedRef::steal(PyObject_Str(exc.get()));
    out += utf8_or(text.get(), "<exception str() failed>");
    return out;
}

}  // namespace ostik::py
