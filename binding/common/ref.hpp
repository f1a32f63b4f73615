// Owning handle for Python references.
//
// Rules of use:
//  - A function that returns a new reference returns an OwnedRef.
//  - OwnedRef::steal(p) takes over a new reference (p may be null: an error
//    is pending then); OwnedRef::borrow(p) adds a reference of its own.
//  - get() lends the pointer without giving up ownership; release() hands the
//    reference back to the caller (typically to return it to the interpreter).
// Move-only, one pointer wide.
#pragma once

#include <Python.h>

#include <utility>

namespace ostik::py {

class OwnedRef {
public:
    OwnedRef() noexcept = default;
    static OwnedRef steal(PyObject* p) noexcept { return OwnedRef(p); }
    static OwnedRef borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return OwnedRef(p);
    }

    OwnedRef(OwnedRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    OwnedRef& operator=(OwnedRef&& o) noexcept {
        if (this != &o) {
            PyObject* old = std::exchange(p_, std::exchange(o.p_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    OwnedRef(const OwnedRef&) = delete;
    OwnedRef& operator=(const OwnedRef&) = delete;
    ~OwnedRef() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit OwnedRef(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

}  // namespace ostik::py
