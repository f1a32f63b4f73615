// The policy of an accumulator: its `policy` argument, a Policy or the bytes
// that policy_bytes() made of one, and the basis built from it.
//
// A process builds one basis per policy for as long as any accumulator holds
// it: accumulators made, merged and unpickled by the hundred on a worker all
// share it, and bytes equal to a live basis' policy are not even decoded.
#pragma once

#include <Python.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "../common/ref.hpp"
#include "ostik/policy.hpp"
#include "ostik/policy_encoding.hpp"

namespace ostik::py::engine {

// A `policy` argument: a Policy's record with its encoding, or bytes as given.
struct PolicySource {
    const Policy* policy = nullptr;
    std::string bytes;
};

// The source of a Policy or a bytes-like object, or nothing with TypeError
// "argument 'NAME': 'T' object cannot be converted to 'Policy'" set.
std::optional<PolicySource> policy_source_argument(PyObject* obj, const char* name);

// The policy held by bytes that are not a Policy's own encoding, or nothing
// with ValueError "invalid policy bytes: ..." set.
std::optional<Policy> decode_policy_bytes(std::string_view bytes);

// The contiguous bytes of a bytes-like object, or nothing with TypeError
// "argument 'NAME': 'T' object cannot be converted to 'bytes'" set.
std::optional<std::string> bytes_argument(PyObject* obj, const char* name);

// How an accumulator pickles: (type(self).from_bytes, (policy bytes, state
// bytes)), a new reference or null with the exception set.
PyObject* pickled_as_from_bytes(PyObject* self, std::string_view policy, std::string_view state);

// The basis (CoverageBasis, AuditBasis: Basis::create from a Policy and its
// key) for a `policy` argument, or null with the exception set.
template <class Basis>
std::shared_ptr<const Basis> basis_argument(PyObject* obj, const char* name) {
    static std::unordered_map<std::string, std::weak_ptr<const Basis>> live;
    auto find = [](const std::string& bytes) -> std::shared_ptr<const Basis> {
        auto it = live.find(bytes);
        return it == live.end() ? nullptr : it->second.lock();
    };

    auto source = policy_source_argument(obj, name);
    if (!source) return nullptr;
    if (auto basis = find(source->bytes)) return basis;
    std::optional<Policy> decoded;
    const Policy* policy = source->policy;
    std::string encoding = std::move(source->bytes);
    if (!policy) {
        decoded = decode_policy_bytes(encoding);
        if (!decoded) return nullptr;
        policy = &*decoded;
        // Bytes that decode need not be in the one order encode_policy writes;
        // the policy is known by that order's bytes.
        std::string canonical = encode_policy(*policy);
        if (canonical != encoding) {
            encoding = std::move(canonical);
            if (auto basis = find(encoding)) return basis;
        }
    }
    auto created = Basis::create(*policy, PolicyKey(std::move(encoding)));
    if (!created) {
        // Guard(policy)'s error: an argument constraint it cannot understand.
        PyErr_SetString(PyExc_ValueError, created.error().c_str());
        return nullptr;
    }
    std::shared_ptr<const Basis> basis = std::move(*created);
    std::erase_if(live, [](const auto& entry) { return entry.second.expired(); });
    live.insert_or_assign(basis->key().encoding, basis);
    return basis;
}

}  // namespace ostik::py::engine
