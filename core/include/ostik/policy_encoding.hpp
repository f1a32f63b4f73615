// The policy records as compact bytes: how a policy travels to other
// processes and machines, and what says whether two policies are the same.
//
// The encoding is canonical: every field of the records is written (name,
// version, metadata, tools, sequences, aliases, on_error), the maps in
// ascending byte order of their keys, the lists in their own order. Equal
// records therefore give equal bytes, whatever file or key order they were
// loaded from, and two policies are "the same" exactly when their encodings
// are equal. The fingerprint is a 64-bit hash of the encoding, small enough to
// ride along with every accumulator state made under the policy.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "ostik/policy.hpp"

namespace ostik {

std::string encode_policy(const Policy& policy);

// The policy the bytes hold, or what is wrong with them ("not a policy's
// bytes", "damaged", ...). Every text must be valid UTF-8 and every number in
// its range; nothing in the input can make this fail other than by returning
// an error (or std::bad_alloc, bounded by a small multiple of the input size).
std::expected<Policy, std::string> decode_policy(std::string_view bytes);

std::uint64_t policy_fingerprint(std::string_view encoding);

// A 64-bit hash of a Value as the encoding writes it: equal Values give equal
// fingerprints (1 and 1.0 are different Values, and differ here too).
std::uint64_t value_fingerprint(const Value& value);

// A Value as the encoding writes it, and back (nothing for bytes that are
// not one Value's).
std::string value_bytes(const Value& value);
std::optional<Value> value_from_bytes(std::string_view bytes);

// A policy's encoding with its fingerprint, computed once.
struct PolicyKey {
    std::string encoding;
    std::uint64_t fingerprint = 0;

    explicit PolicyKey(std::string bytes) : encoding(std::move(bytes)), fingerprint(policy_fingerprint(encoding)) {}
    friend bool operator==(const PolicyKey& a, const PolicyKey& b) {
        return a.fingerprint == b.fingerprint && a.encoding == b.encoding;
    }
};

}  // namespace ostik
