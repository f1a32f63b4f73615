// The compact binary forms that carry a policy and accumulator states between
// processes: little-endian, numbers as LEB128 varints, texts and lists led by
// their length, and a checksum at the end of each form. Reading never trusts
// a length: a count larger than the bytes that remain fails before anything
// is sized by it, so corrupt input cannot ask for unbounded memory.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace ostik::detail {

// FNV-1a, 64 bits: a fixed function of the bytes on every platform, enough to
// tell forms made for different policies apart and to catch damaged ones. It
// is no defence against forged input: decoding validates everything anyway.
inline std::uint64_t fnv1a64(std::string_view bytes) {
    std::uint64_t h = 0xcbf29ce484222325ull;
    for (char c : bytes) {
        h ^= static_cast<unsigned char>(c);
        h *= 0x100000001b3ull;
    }
    return h;
}

// A writer of the same bytes as ByteWriter that keeps only their fnv1a64:
// fingerprinting a value needs no buffer.
class HashingWriter {
public:
    void byte(std::uint8_t b) {
        h_ ^= b;
        h_ *= 0x100000001b3ull;
    }
    void raw(std::string_view bytes) {
        for (char c : bytes) byte(static_cast<unsigned char>(c));
    }
    void varint(std::uint64_t n) {
        while (n >= 0x80) {
            byte(static_cast<std::uint8_t>((n & 0x7f) | 0x80));
            n >>= 7;
        }
        byte(static_cast<std::uint8_t>(n));
    }
    void fixed64(std::uint64_t n) {
        for (int i = 0; i < 8; ++i) byte(static_cast<std::uint8_t>((n >> (8 * i)) & 0xff));
    }
    void text(std::string_view s) {
        varint(s.size());
        raw(s);
    }
    std::uint64_t hash() const { return h_; }

private:
    std::uint64_t h_ = 0xcbf29ce484222325ull;
};

class ByteWriter {
public:
    explicit ByteWriter(std::string& out) : out_(out) {}

    void byte(std::uint8_t b) { out_ += static_cast<char>(b); }
    void raw(std::string_view bytes) { out_ += bytes; }
    void varint(std::uint64_t n) {
        while (n >= 0x80) {
            out_ += static_cast<char>((n & 0x7f) | 0x80);
            n >>= 7;
        }
        out_ += static_cast<char>(n);
    }
    void fixed64(std::uint64_t n) {
        for (int i = 0; i < 8; ++i) out_ += static_cast<char>((n >> (8 * i)) & 0xff);
    }
    void text(std::string_view s) {
        varint(s.size());
        out_ += s;
    }
    // The checksum of everything written so far, as the form's last 8 bytes.
    void seal() { fixed64(fnv1a64(out_)); }

private:
    std::string& out_;
};

// Every read returns nothing once the input is exhausted or malformed, and
// the reader stays failed; callers check once after a group of reads.
class ByteReader {
public:
    explicit ByteReader(std::string_view in) : in_(in) {}

    // Checks and strips the trailing checksum written by ByteWriter::seal().
    static std::optional<ByteReader> unseal(std::string_view sealed) {
        if (sealed.size() < 8) return std::nullopt;
        const std::string_view body = sealed.substr(0, sealed.size() - 8);
        ByteReader tail(sealed.substr(body.size()));
        if (tail.fixed64() != fnv1a64(body)) return std::nullopt;
        return ByteReader(body);
    }

    // Opens a sealed form that begins with `magic` and a version byte: a
    // reader past both, or what is wrong with it, "not WHAT bytes" (`what`
    // being "a policy's", say), "truncated", "unsupported format version N"
    // or "damaged (checksum mismatch)".
    // Bytes of `version`, or of any from `oldest` on when given.
    static std::expected<ByteReader, std::string> open(std::string_view sealed, std::string_view magic,
                                                        std::uint8_t version, std::string_view what,
                                                        std::optional<std::uint8_t> oldest = std::nullopt) {
        using Failure = std::unexpected<std::string>;
        if (!sealed.starts_with(magic)) return Failure("not " + std::string(what) + " bytes");
        if (sealed.size() <= magic.size()) return Failure("truncated");
        if (const auto given = static_cast<std::uint8_t>(sealed[magic.size()]);
            given > version || given < oldest.value_or(version)) {
            return Failure("unsupported format version " + std::to_string(given));
        }
        auto r = unseal(sealed);
        if (!r) return Failure("damaged (checksum mismatch)");
        r->raw(magic.size() + 1);
        return *r;
    }

    bool ok() const { return ok_; }
    bool at_end() const { return ok_ && pos_ == in_.size(); }
    std::size_t remaining() const { return in_.size() - pos_; }

    std::optional<std::uint8_t> byte() {
        if (!ok_ || pos_ >= in_.size()) return fail<std::uint8_t>();
        return static_cast<std::uint8_t>(in_[pos_++]);
    }
    std::optional<std::string_view> raw(std::size_t n) {
        if (!ok_ || n > remaining()) return fail<std::string_view>();
        const std::string_view s = in_.substr(pos_, n);
        pos_ += n;
        return s;
    }
    std::optional<std::uint64_t> varint() {
        std::uint64_t n = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            const auto b = byte();
            if (!b) return std::nullopt;
            // The tenth byte may only carry the top bit of 64.
            if (shift == 63 && *b > 1) return fail<std::uint64_t>();
            n |= static_cast<std::uint64_t>(*b & 0x7f) << shift;
            if (!(*b & 0x80)) {
                // One way to write each number: no trailing zero groups.
                if (*b == 0 && shift > 0) return fail<std::uint64_t>();
                return n;
            }
        }
        return fail<std::uint64_t>();
    }
    std::optional<std::uint64_t> fixed64() {
        const auto bytes = raw(8);
        if (!bytes) return std::nullopt;
        std::uint64_t n = 0;
        for (int i = 7; i >= 0; --i) n = (n << 8) | static_cast<unsigned char>((*bytes)[i]);
        return n;
    }
    std::optional<std::string_view> text() {
        const auto n = varint();
        if (!n) return std::nullopt;
        return raw(*n);
    }
    // A count of items that take at least `min_item_bytes` each.
    std::optional<std::size_t> count(std::size_t min_item_bytes = 1) {
        const auto n = varint();
        if (!n) return std::nullopt;
        if (*n > remaining() / (min_item_bytes ? min_item_bytes : 1)) return fail<std::size_t>();
        return static_cast<std::size_t>(*n);
    }

private:
    template <class T>
    std::optional<T> fail() {
        ok_ = false;
        return std::nullopt;
    }

    std::string_view in_;
    std::size_t pos_ = 0;
    bool ok_ = true;
};

}  // namespace ostik::detail
