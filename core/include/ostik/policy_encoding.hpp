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

#include <bit>
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

namespace detail {
// The tag byte of each kind of Value in the encoding.
enum ValueTag : std::uint8_t { v_null, v_false, v_true, v_uint, v_negative, v_double, v_string, v_array, v_object };
}  // namespace detail

// value_fingerprint of a Value given piece by piece, depth first, for a
// reader that has the value in another form and need not build it: an
// array's size and then its items; an object's size and then, in ascending
// byte order of the keys (each once), every key followed by its value. A
// non-negative integer is a `uint`, a negative one a `negative`. The bytes
// hashed are the encoding's (a 64-bit FNV-1a, as value_fingerprint).
class ValueFingerprint {
public:
    void null() { byte(detail::v_null); }
    void boolean(bool b) { byte(b ? detail::v_true : detail::v_false); }
    void uint(std::uint64_t n) {
        byte(detail::v_uint);
        varint(n);
    }
    void negative(std::int64_t n) {
        byte(detail::v_negative);
        varint(~static_cast<std::uint64_t>(n));
    }
    void real(double d) {
        byte(detail::v_double);
        const auto bits = std::bit_cast<std::uint64_t>(d);
        for (int i = 0; i < 8; ++i) byte(static_cast<std::uint8_t>((bits >> (8 * i)) & 0xff));
    }
    void text(std::string_view s) {
        byte(detail::v_string);
        key(s);
    }
    void array(std::size_t size) {
        byte(detail::v_array);
        varint(size);
    }
    void object(std::size_t size) {
        byte(detail::v_object);
        varint(size);
    }
    void key(std::string_view key) {
        varint(key.size());
        std::uint64_t h = h_;
        const auto* p = reinterpret_cast<const unsigned char*>(key.data());
        const std::size_t n = key.size();
        std::size_t i = 0;
        for (; i + 4 <= n; i += 4) {
            h = (h ^ p[i]) * prime;
            h = (h ^ p[i + 1]) * prime;
            h = (h ^ p[i + 2]) * prime;
            h = (h ^ p[i + 3]) * prime;
        }
        for (; i < n; ++i) h = (h ^ p[i]) * prime;
        h_ = h;
    }
    std::uint64_t hash() const { return h_; }

private:
    static constexpr std::uint64_t prime = 0x100000001b3ull;
    void byte(std::uint8_t b) { h_ = (h_ ^ b) * prime; }
    void varint(std::uint64_t n) {
        while (n >= 0x80) {
            byte(static_cast<std::uint8_t>((n & 0x7f) | 0x80));
            n >>= 7;
        }
        byte(static_cast<std::uint8_t>(n));
    }

    std::uint64_t h_ = 0xcbf29ce484222325ull;  // the hash of no bytes
};

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
