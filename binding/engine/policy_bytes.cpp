// policy_bytes(policy): a policy as compact bytes, for sending it to other
// processes; the accumulators take these bytes wherever they take a Policy.
#include <Python.h>

#include <new>

#include "../common/args.hpp"
#include "../common/util.hpp"
#include "engine.hpp"
#include "policy_bases.hpp"

namespace ostik::py::engine {

std::optional<std::string> bytes_argument(PyObject* obj, const char* name) {
    if (!PyObject_CheckBuffer(obj)) {
        raise_cannot_convert(name, obj, "bytes");
        return std::nullopt;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(obj, &view, PyBUF_SIMPLE) < 0) return std::nullopt;
    std::optional<std::string> bytes;
    try {
        bytes.emplace(static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len));
    } catch (...) {
        PyBuffer_Release(&view);
        throw;
    }
    PyBuffer_Release(&view);
    return bytes;
}

std::optional<PolicySource> policy_source_argument(PyObject* obj, const char* name) {
    if (PyObject_TypeCheck(obj, policy_type)) {
        const Policy* policy = reinterpret_cast<PolicyObject*>(obj)->policy;
        return PolicySource{policy, encode_policy(*policy)};
    }
    if (const Policy* policy = guard_policy(obj)) return PolicySource{policy, encode_policy(*policy)};
    if (!PyObject_CheckBuffer(obj)) {
        raise_cannot_convert(name, obj, "Policy");
        return std::nullopt;
    }
    auto bytes = bytes_argument(obj, name);
    if (!bytes) return std::nullopt;
    return PolicySource{nullptr, std::move(*bytes)};
}

std::optional<Policy> decode_policy_bytes(std::string_view bytes) {
    auto decoded = decode_policy(bytes);
    if (!decoded) {
        set_error(PyExc_ValueError, "invalid policy bytes: " + decoded.error());
        return std::nullopt;
    }
    return std::move(*decoded);
}

PyObject* pickled_as_from_bytes(PyObject* self, std::string_view policy, std::string_view state) {
    static PyObject* from_bytes_name = nullptr;
    PyObject* name = interned_name("from_bytes", from_bytes_name);
    if (!name) return nullptr;
    OwnedRef restore = OwnedRef::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(self)), name));
    if (!restore) return nullptr;
    OwnedRef policy_obj =
        OwnedRef::steal(PyBytes_FromStringAndSize(policy.data(), static_cast<Py_ssize_t>(policy.size())));
    if (!policy_obj) return nullptr;
    OwnedRef state_obj = OwnedRef::steal(PyBytes_FromStringAndSize(state.data(), static_cast<Py_ssize_t>(state.size())));
    if (!state_obj) return nullptr;
    OwnedRef args = OwnedRef::steal(PyTuple_Pack(2, policy_obj.get(), state_obj.get()));
    if (!args) return nullptr;
    return PyTuple_Pack(2, restore.get(), args.get());
}

namespace {

constexpr const char* params[] = {"policy"};
constexpr Signature sig{"policy_bytes", params, 1, 1};

}  // namespace

PyObject* policy_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* policy_obj;
    if (!parse_args(sig, args, nargs, kwnames, &policy_obj)) return nullptr;
    try {
        const Policy* policy = policy_argument(policy_obj, "policy");
        if (!policy) return nullptr;
        const std::string bytes = encode_policy(*policy);
        return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

}  // namespace ostik::py::engine
