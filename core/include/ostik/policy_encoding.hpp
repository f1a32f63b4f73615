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
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "ostik/little_endian.hpp"
#include "ostik/policy.hpp"

namespace ostik {

std::string encode_policy(const Policy& policy);

// The policy the bytes hold, or what is wrong with them ("not a policy's
// bytes", "damaged", ...). Every text must be valid UTF-8 and every number in
// its range; nothing in the input can make this fail other than by returning
// an error (or std::bad_alloc, bounded by a small multiple of the input size).
std::expected<Policy, std::string> decode_policy(std::string_view bytes);

std::uint64_t policy_fingerprint(std::string_view encoding);

// A 64-bit hash of a Value: equal Values give equal fingerprints (1 and 1.0
// are different Values, and differ here too). What a repeat limit compares
// and a call id is held to, made with the functions below.
std::uint64_t value_fingerprint(const Value& value);
// The fingerprint sessions' bytes of format 1 hold: FNV-1a of the Value's
// encoding, a multiply for every byte. Read only to resume such bytes.
std::uint64_t legacy_value_fingerprint(const Value& value);

namespace detail {
// The tag byte of each kind of Value in the encoding.
enum ValueTag : std::uint8_t { v_null, v_false, v_true, v_uint, v_negative, v_double, v_string, v_array, v_object };
}  // namespace detail

// value_fingerprint, for a reader that has the value in another form and
// need not build it (the Python objects of a call's arguments). Each value
// hashes by its kind from what it holds, eight bytes of it at a time, and an
// object by the sum of its members' hashes, each made of its key and value,
// so that members may come in any order: a dict is read as it lies, unsorted.
// A fixed function of the Value on every platform.
namespace fingerprint {

inline constexpr std::uint64_t k1 = 0x9E3779B97F4A7C15ull;
inline constexpr std::uint64_t k2 = 0xC2B2AE3D27D4EB4Full;
inline constexpr std::uint8_t member_tag = 0x40;

// The words of one value's hash, after its kind.
class Words {
public:
    explicit Words(std::uint8_t tag) : h_(0x6A09E667F3BCC908ull ^ (tag * k2)) {}
    void add(std::uint64_t w) { h_ = std::rotl((h_ ^ w) * k1, 31); }
    // The length, then the bytes eight at a time, the last eight (or four,
    // or the first, middle and last byte) read where they end: every byte is
    // read, so that texts of a length differ where their bytes do.
    void text(std::string_view s) {
        const char* p = s.data();
        std::size_t n = s.size();
        add(n);
        if (n >= 8) {
            for (; n > 8; p += 8, n -= 8) add(detail::load_le<std::uint64_t>(p));
            add(detail::load_le<std::uint64_t>(p + n - 8));
        } else if (n >= 4) {
            add(detail::load_le<std::uint32_t>(p) | (detail::load_le<std::uint32_t>(p + n - 4) << 32));
        } else if (n) {
            const auto byte = [&](std::size_t i) { return std::uint64_t{static_cast<unsigned char>(p[i])}; };
            add(byte(0) | (byte(n / 2) << 8) | (byte(n - 1) << 16));
        }
    }
    std::uint64_t done() const {
        std::uint64_t h = h_;
        h ^= h >> 33;
        h *= k2;
        h ^= h >> 29;
        h *= k1;
        return h ^ (h >> 32);
    }

private:
    std::uint64_t h_;
};

inline std::uint64_t of_null() { return Words(detail::v_null).done(); }
inline std::uint64_t of_bool(bool b) { return Words(b ? detail::v_true : detail::v_false).done(); }
inline std::uint64_t of_uint(std::uint64_t n) {
    Words w(detail::v_uint);
    w.add(n);
    return w.done();
}
inline std::uint64_t of_negative(std::int64_t n) {
    Words w(detail::v_negative);
    w.add(static_cast<std::uint64_t>(n));
    return w.done();
}
inline std::uint64_t of_double(double d) {
    Words w(detail::v_double);
    w.add(std::bit_cast<std::uint64_t>(d));
    return w.done();
}
inline std::uint64_t of_text(std::string_view s) {
    Words w(detail::v_string);
    w.text(s);
    return w.done();
}
// A member's part of its object's sum.
inline std::uint64_t of_member(std::string_view key, std::uint64_t value) {
    Words w(member_tag);
    w.text(key);
    w.add(value);
    return w.done();
}
inline std::uint64_t of_object(std::size_t size, std::uint64_t members_sum) {
    Words w(detail::v_object);
    w.add(size);
    w.add(members_sum);
    return w.done();
}
// An array: Words(v_array), add(size), add() each item's hash in order, done().

}  // namespace fingerprint

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
