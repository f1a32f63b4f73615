#include "flow_index.hpp"

#include <unicode/bytestream.h>
#include <unicode/normalizer2.h>
#include <unicode/stringpiece.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "ostik/little_endian.hpp"
#include "ostik/text.hpp"

namespace ostik::detail {

namespace {

bool all_ascii(std::string_view s) {
    std::uint64_t bits = 0;
    std::size_t i = 0;
    for (; i + 8 <= s.size(); i += 8) {
        std::uint64_t w;
        std::memcpy(&w, s.data() + i, 8);
        bits |= w;
    }
    for (; i < s.size(); ++i) bits |= static_cast<unsigned char>(s[i]);
    return (bits & 0x8080808080808080ull) == 0;
}

// The code point at `p` (valid UTF-8), moving `p` past it.
inline char32_t next_cp(const unsigned char*& p) {
    const unsigned char c = *p;
    if (c < 0x80) {
        ++p;
        return c;
    }
    if (c < 0xE0) {
        const char32_t cp = (char32_t(c & 0x1F) << 6) | (p[1] & 0x3F);
        p += 2;
        return cp;
    }
    if (c < 0xF0) {
        const char32_t cp = (char32_t(c & 0x0F) << 12) | (char32_t(p[1] & 0x3F) << 6) | (p[2] & 0x3F);
        p += 3;
        return cp;
    }
    const char32_t cp = (char32_t(c & 0x07) << 18) | (char32_t(p[1] & 0x3F) << 12) | (char32_t(p[2] & 0x3F) << 6) |
                        (p[3] & 0x3F);
    p += 4;
    return cp;
}

// The code point before `p`, moving `p` to its start.
inline char32_t prev_cp(const unsigned char*& p) {
    do --p;
    while ((*p & 0xC0) == 0x80);
    const unsigned char* q = p;
    return next_cp(q);
}

// A crowd place's tag: for each of the first few code points after its
// window (the low byte) and before it (the high byte), reading away from it,
// 2 bits of a hash of the code points from the window to there (each side
// within its piece, any bits past it). A run of n code points through a
// window of l reaches s - 1 = n - l past it, x before and y after: the tags
// of the place and of the string's window then agree on the first x (or
// more) positions before and the first y (or more) after, and a place whose
// tag agrees on fewer than s - 1 positions in all (a side agreeing on all of
// its positions counting as s - 1) holds no run through it, and is passed
// over without a read of the arena. Text of words and of markup shares its
// short windows with the same text after them thousands of times over
// (".com/" in links): most of those places are told apart from a run a
// position or two past the window, on one side or the other.
constexpr std::uint32_t context_positions(std::uint32_t s) { return std::min<std::uint32_t>(s - 1, 4); }
inline std::uint32_t context_step(std::uint32_t h, char32_t c) { return (h + c + 1) * 0x9E3779B1u; }
inline std::uint16_t context_bits(std::uint32_t h, std::uint32_t k) { return static_cast<std::uint16_t>((h >> 30) << (2 * k)); }
inline std::uint16_t context_tag(const unsigned char* lo, const unsigned char* at, const unsigned char* hi, std::uint32_t l,
                                 std::uint32_t positions) {
    const unsigned char* p = at;
    for (std::uint32_t k = 0; k < l; ++k) next_cp(p);
    std::uint16_t tag = 0;
    std::uint32_t h = 0;
    for (std::uint32_t k = 0; k < positions && p < hi; ++k) tag |= context_bits(h = context_step(h, next_cp(p)), k);
    const unsigned char* b = at;
    h = 0;
    for (std::uint32_t k = 0; k < positions && b > lo; ++k) tag |= context_bits(h = context_step(h, prev_cp(b)), k) << 8;
    return tag;
}
// The ways a place's tag may agree with the string's for a run of s - 1
// past the window (`need`), with room for `after` and `before` in the string:
// a run reaching a after it and need - a before it agrees on the first a
// positions of the after side (all of them when a is more) and need - a of
// the before side; each way as the mask of the bits it agrees on, the ways
// that others imply left out (at most positions + 1), the rest 0xFFFF (which
// agrees only with an equal tag, a place that may hold a run anyway).
constexpr std::size_t context_ways = 5;
inline void context_masks(std::uint32_t positions, std::uint32_t need, std::uint32_t after, std::uint32_t before,
                          std::uint16_t (&masks)[context_ways]) {
    auto side = [](std::uint32_t k) { return static_cast<std::uint16_t>((1u << (2 * k)) - 1); };
    std::uint32_t kept_a[context_ways], kept_b[context_ways];
    std::size_t n = 0;
    for (std::uint32_t a = need > before ? need - before : 0; a <= after; ++a) {
        const std::uint32_t ka = std::min(a, positions), kb = std::min(need - a, positions);
        if (n && kept_a[n - 1] == ka) {
            kept_b[n - 1] = kb;  // as much after, less before: the weaker way
        } else if (!n || kept_b[n - 1] != kb) {
            kept_a[n] = ka;
            kept_b[n] = kb;
            ++n;
        }
    }
    for (std::size_t k = 0; k < context_ways; ++k) {
        masks[k] = k < n ? static_cast<std::uint16_t>(side(kept_a[k]) | side(kept_b[k]) << 8) : 0xFFFF;
    }
}

constexpr std::uint64_t base = 0x100000001B3ull;
constexpr std::uint64_t mix = 0x9E3779B97F4A7C15ull;
// How many windows ahead an insert fetches its slot, and the arena a kept
// window with its key points to. The arena is fetched late on purpose: its
// read of the home slot, `ahead - near` windows after that slot was asked
// for, waits less the later it comes (measured: 2 beats 6 by about 8%, and
// also fetching each key's filter word ahead is about 50% slower, past what
// the core can have in flight).
constexpr std::size_t ahead = 16;
constexpr std::size_t near = 2;
// How many windows of one key the slots keep; the key's others go to its
// crowd, so that an insert's walk through a cluster stays short.
constexpr std::uint32_t crowded = 8;
// The pieces shorter than this are not looked for among those kept before
// (their windows are few), and a piece is compared with at most
// `repeat_candidates` kept pieces of its length and first bytes.
constexpr std::size_t repeat_min = 256;
constexpr std::size_t repeat_candidates = 8;
// How many places of a crowd a filter being made anew fetches the text
// around before it works out their N-grams.
constexpr std::size_t rebuild_ahead = 16;
// How many windows of a piece are worked out before they are inserted.
constexpr std::size_t window_batch = std::size_t{1} << 14;
// How many places of a crowd a check fetches before it compares them.
constexpr std::size_t crowd_ahead = 32;
// The N-grams a filter block of 512 bits holds before the filter grows: about
// 24 bits each, with a bit set in each of the block's 8 words, so that about
// one N-gram in 10^4 that no crowded window has seems to be there (each costs
// a walk of a crowd).
constexpr std::size_t grams_per_block = 21;
// How many N-grams wait to be set in the filter together, and how many
// ahead of the one set its block is fetched.
constexpr std::size_t pending_max = 4096;
constexpr std::size_t gram_ahead = 48;
// How many N-grams set last a table remembers (by their key's low bits).
constexpr std::size_t recent_grams = std::size_t{1} << 13;

// A key's home slot in a table of `cap` slots: its place in proportion to
// the key (the top bits of key * cap), so that the slots keep the keys' order
// and moving them to a table of any size is one pass over them, in order.
inline std::size_t home(std::uint32_t key, std::size_t cap) {
    return static_cast<std::size_t>((std::uint64_t{key} * cap) >> 32);
}
// The slot after slot i, in a table of `cap`.
inline std::size_t next_slot(std::size_t i, std::size_t cap) { return i + 1 == cap ? 0 : i + 1; }

// A table size of at least `n` slots and at most 1/16 more (c * 2^k, with
// 16 <= c < 32), 1024 at least.
inline std::size_t table_size(std::size_t n) {
    if (n <= 1024) return 1024;
    const auto k = static_cast<unsigned>(std::bit_width(n - 1)) - 5;
    return (((n - 1) >> k) + 1) << k;
}

// A table of `cap` slots has a filter of the power of two words from cap/8
// up (8 to 16 bits a slot): each kept key sets two bits of one word, so that
// a check passes over most keys no window has without reading the slots. Of
// the windows of 1 KB of random text checked against 10 MB of other random
// text, about one in 70 seems to be there at 8 bits a slot (one in 20 with 4
// bits a slot, which made such a check some 12% slower, waiting on reads of
// the slots that find nothing).
inline std::size_t filter_words(std::size_t cap) { return std::bit_ceil(std::max<std::size_t>(cap >> 3, 1)); }
inline std::size_t filter_word(std::uint32_t key, std::size_t words) { return key & (words - 1); }
inline std::uint64_t filter_bits(std::uint32_t key) {
    const std::uint32_t f = key * 0x9E3779B1u;
    return (std::uint64_t{1} << (f >> 26)) | (std::uint64_t{1} << ((f >> 20) & 63));
}

// A window's key: its hash and the flows its result feeds (the index of its
// mask), so that a check of one flow never walks the windows of results that
// feed only others (with a short min_length, the windows of a large result
// share few keys, and a walk through all of them for every window of the
// argument would cost the product of the two lengths).
inline std::uint32_t key_of(std::uint64_t h, std::uint32_t mask) {
    return static_cast<std::uint32_t>(((h + mask * base) * mix) >> 32);
}

// An N-gram's key in a filter: the hashes of its first and last windows of
// L code points (which overlap, so the two cover it), and the mask of its
// result, mixed.
inline std::uint64_t gram_key(std::uint64_t first, std::uint64_t last, std::uint32_t mask) {
    std::uint64_t x = first * mix + std::rotl(last, 29) + (std::uint64_t{mask} << 32);
    x ^= x >> 30;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// A gram's block of 8 words (its key's top bits), and the bit it sets in
// word w of it.
inline std::size_t gram_block(std::uint64_t x, std::uint32_t bits) {
    return ((x * mix) >> 1 >> (63 - bits)) * 8;
}
inline std::uint64_t gram_word(std::uint64_t x, unsigned w) { return std::uint64_t{1} << ((x >> (6 * w)) & 63); }

// Whether the block at `block` may hold the gram of key `x`: most grams
// asked about are not there, and miss a bit of the first word or two.
inline bool gram_in(const std::uint64_t* block, std::uint64_t x) {
    for (unsigned w = 0; w < 8; ++w) {
        if (!((block[w] >> ((x >> (6 * w)) & 63)) & 1)) return false;
    }
    return true;
}

std::uint64_t power(std::uint32_t l) {
    std::uint64_t p = 1;
    for (std::uint32_t i = 0; i < l; ++i) p *= base;
    return p;
}

// A window's hash. A window of at most 8 code points, all ASCII, hashes to
// its bytes, the first lowest (one load where the text is ASCII, one shift
// as it rolls on); any other to the polynomial sum of c_k * base^(l-1-k) of
// its code points. The two kinds of window never hold the same text, so a
// window has one hash whichever text it is found in.
constexpr std::uint32_t packed_max = 8;

// The hash of the window of `l` (<= packed_max) ASCII bytes at `p`, with
// `end` the end of the readable bytes.
inline std::uint64_t packed_at(const unsigned char* p, const unsigned char* end, std::uint32_t l) {
    const std::uint64_t keep = ~std::uint64_t{0} >> (64 - 8 * l);
    if (end - p >= 8) return load_le<std::uint64_t>(p) & keep;
    std::uint64_t w = 0;
    for (std::uint32_t k = 0; k < l; ++k) w |= std::uint64_t{p[k]} << (8 * k);
    return w;
}

// The hash of the window of `l` code points at `p`, none of them at or past
// `end`, moving `p` past it: false when fewer than `l` are left.
inline bool window_hash(const unsigned char*& p, const unsigned char* end, std::uint32_t l, std::uint64_t& out) {
    std::uint64_t h = 0, packed = 0;
    bool ascii_window = l <= packed_max;
    std::uint32_t k = 0;
    for (; k < l && p < end; ++k) {
        const char32_t c = next_cp(p);
        h = h * base + c;
        if (ascii_window && c < 0x80) {
            packed |= std::uint64_t{c} << (8 * k);
        } else {
            ascii_window = false;
        }
    }
    if (k < l) return false;
    out = ascii_window ? packed : h;
    return true;
}

// How many bytes `a` and `b` have in common from their start, of the first
// `n`; and before their ends, of the `n` before them.
inline std::size_t common_prefix(const unsigned char* a, const unsigned char* b, std::size_t n) {
    std::size_t x = 0;
    for (; x + 8 <= n; x += 8) {
        if (const std::uint64_t d = load_le<std::uint64_t>(a + x) ^ load_le<std::uint64_t>(b + x)) {
            return x + static_cast<std::size_t>(std::countr_zero(d)) / 8;
        }
    }
    while (x < n && a[x] == b[x]) ++x;
    return x;
}
inline std::size_t common_suffix(const unsigned char* a, const unsigned char* b, std::size_t n) {
    std::size_t x = 0;
    for (; x + 8 <= n; x += 8) {
        if (const std::uint64_t d = load_le<std::uint64_t>(a - x - 8) ^ load_le<std::uint64_t>(b - x - 8)) {
            return x + static_cast<std::size_t>(std::countl_zero(d)) / 8;
        }
    }
    while (x < n && a[-1 - static_cast<std::ptrdiff_t>(x)] == b[-1 - static_cast<std::ptrdiff_t>(x)]) ++x;
    return x;
}

// A string's code points and where each starts (and, last, its end), reused.
struct Decoded {
    std::vector<char32_t> cps;
    std::vector<std::uint32_t> offsets;
    void read(std::string_view s) {
        cps.clear();
        offsets.clear();
        const auto* begin = reinterpret_cast<const unsigned char*>(s.data());
        const auto* p = begin;
        const auto* end = begin + s.size();
        while (p < end) {
            offsets.push_back(static_cast<std::uint32_t>(p - begin));
            cps.push_back(next_cp(p));
        }
        offsets.push_back(static_cast<std::uint32_t>(s.size()));
    }
};

}  // namespace

bool is_nfc(std::string_view text) {
    if (all_ascii(text)) return true;
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status)) return true;
    const icu::StringPiece piece(text.data(), static_cast<std::int32_t>(text.size()));
    return nfc->isNormalizedUTF8(piece, status) && U_SUCCESS(status);
}

namespace {

// `text` (not in NFC) in NFC, appended to `out`: as it is if ICU fails.
void append_normalized(std::string& out, std::string_view text) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    const std::size_t before = out.size();
    if (U_SUCCESS(status)) {
        const icu::StringPiece piece(text.data(), static_cast<std::int32_t>(text.size()));
        icu::StringByteSink<std::string> sink(&out);
        nfc->normalizeUTF8(0, piece, sink, nullptr, status);
    }
    if (U_FAILURE(status)) {
        out.resize(before);
        out += text;
    }
}

}  // namespace

void append_nfc(std::string& out, std::string_view text) {
    if (is_nfc(text)) {
        out += text;
    } else {
        append_normalized(out, text);
    }
}

std::string_view nfc_view(std::string& storage, std::string_view text) {
    if (is_nfc(text)) return text;
    storage.clear();
    append_normalized(storage, text);
    return storage;
}

FlowIndex::FlowIndex(std::span<const std::uint64_t> min_lengths, std::uint32_t flows)
    : flows_(flows), words_((flows + 63) / 64) {
    for (const std::uint64_t n : min_lengths) {
        Table& t = tables_.emplace_back();
        t.n = n;
        t.l = static_cast<std::uint32_t>((n + 1) / 2);
        t.s = static_cast<std::uint32_t>(n - t.l + 1);
    }
}

std::uint32_t FlowIndex::add_result(std::uint64_t step, std::string_view tool, const std::vector<std::uint64_t>& mask) {
    auto it = std::find(masks_.begin(), masks_.end(), mask);
    if (it == masks_.end()) it = masks_.insert(masks_.end(), mask);
    results_.push_back({step, std::string(tool), static_cast<std::uint32_t>(it - masks_.begin())});
    return static_cast<std::uint32_t>(results_.size() - 1);
}

std::size_t FlowIndex::table_bytes() const {
    std::size_t n = 0;
    for (const Table& t : tables_) {
        n += (t.slots.size() + t.filter.size() + t.grams.size()) * sizeof(std::uint64_t);
        n += t.crowded_keys.size() * sizeof(std::uint64_t) + t.crowds.capacity() * sizeof(t.crowds[0]);
        for (const auto& crowd : t.crowds) n += crowd.places.capacity() * sizeof(std::uint32_t) + crowd.tags.capacity() * sizeof(crowd.tags[0]);
        n += (t.pending.capacity() + t.recent.size()) * sizeof(std::uint64_t);
    }
    for (const auto& [key, kept] : kept_pieces_) n += sizeof(key) + sizeof(kept) + kept.capacity() * sizeof(std::uint32_t);
    return n;
}

std::uint32_t FlowIndex::piece_of(std::uint32_t pos) const {
    const auto it = std::upper_bound(pieces_.begin(), pieces_.end(), pos,
                                     [](std::uint32_t p, const Piece& piece) { return p < piece.start; });
    return static_cast<std::uint32_t>(it - pieces_.begin() - 1);
}

// The slots a table of `windows` is made with (at most 3/4 full), at least
// `least`: a power of two, so that a run of small pieces grows the table by
// doubling it and moves each window a few times at most; or, for a piece
// that brings most of them (which fills them at once), as many as hold them
// 2/3 full if that is fewer. (Linear probing slows as a table fills: 3/4
// full, a check of 1 KB against 10 MB of random text at min_length 8 was
// some 15% slower than at half full, 2/3 full about as fast.)
inline std::size_t slots_for(std::size_t windows, bool whole, std::size_t least = 0) {
    const std::size_t doubled = std::max<std::size_t>(1024, std::bit_ceil(std::max(windows * 4 / 3 + 1, least)));
    return whole ? std::min(doubled, table_size(windows * 3 / 2 + 1)) : doubled;
}

bool FlowIndex::grow(Table& t, std::size_t windows, bool whole) {
    const std::size_t need = t.used + windows, cap = t.slots.size();
    if (cap && need * 4 < cap * 3) return false;
    resize(t, slots_for(need, whole, 2 * cap));
    return true;
}

void FlowIndex::shrink(Table& t, bool whole) {
    // When a quarter of it or more would do without (a move for a little
    // less is not worth its time).
    if (const std::size_t fit = slots_for(t.used, whole); fit * 4 <= t.slots.size() * 3) resize(t, fit);
    // And the crowds' room to grow, which a piece that grew the table gave
    // most of them (a large result: about half as much again as they hold).
    for (Table::Crowd& crowd : t.crowds) {
        crowd.places.shrink_to_fit();
        crowd.tags.shrink_to_fit();
    }
}

void FlowIndex::resize(Table& t, std::size_t cap) {
    // Zeros, as the allocator hands them out: no pass to clear them.
    decltype(t.slots) slots(cap);
    const std::size_t words = filter_words(cap);
    t.filter = decltype(t.filter)(words);
    // In slot order from an empty slot, so that each cluster is taken whole
    // and in its order (which is the order its windows came in), the one
    // that wraps around the end too: the writes go through the new slots in
    // order as well.
    const std::size_t old = t.slots.size();
    std::size_t from = 0;
    while (from < old && t.slots[from]) ++from;
    for (std::size_t k = 0, j = from; k < old; ++k, j = next_slot(j, old)) {
        const std::uint64_t e = t.slots[j];
        if (!e) continue;
        const auto key = static_cast<std::uint32_t>(e >> 32);
        std::size_t i = home(key, cap);
        while (slots[i]) i = next_slot(i, cap);
        slots[i] = e;
        t.filter[filter_word(key, words)] |= filter_bits(key);
    }
    t.slots = std::move(slots);
}

// Whether the window at `pos` (of the piece added last) adds nothing to the
// one kept at `q`: the same flows, and the same text around it, as far as a
// run of `n` code points through it can reach (4n bytes each way), with at
// least as much of its piece on either side. A run through the new window
// then lies around the kept one too, so the check finds it there; equal
// windows with other text around them are all kept.
bool FlowIndex::redundant(std::uint32_t q, std::uint32_t pos, std::uint32_t bytes, std::uint32_t mask,
                          std::uint64_t n) const {
    const Piece& kept = pieces_[piece_of(q)];
    if (results_[kept.result].mask != mask) return false;
    const Piece& added = pieces_.back();
    const std::uint64_t reach = 4 * n;
    const std::uint32_t before = static_cast<std::uint32_t>(std::min<std::uint64_t>(reach, pos - added.start));
    const std::uint32_t after = static_cast<std::uint32_t>(std::min<std::uint64_t>(reach + bytes, added.end - pos));
    if (q - kept.start < before || kept.end - q < after) return false;
    return std::memcmp(arena_.data() + q - before, arena_.data() + pos - before, std::size_t{before} + after) == 0;
}

void FlowIndex::Table::add_crowded(std::uint32_t key) {
    if ((crowds.size() + 1) * 2 > crowded_keys.size()) {
        // Twice as large, at most half full.
        std::vector<std::uint64_t> larger(std::max<std::size_t>(64, 2 * crowded_keys.size()));
        for (const std::uint64_t e : crowded_keys) {
            if (!e) continue;
            std::size_t i = crowded_home(static_cast<std::uint32_t>(e >> 32), larger.size());
            while (larger[i]) i = (i + 1) & (larger.size() - 1);
            larger[i] = e;
        }
        crowded_keys = std::move(larger);
    }
    std::size_t i = crowded_home(key, crowded_keys.size());
    while (crowded_keys[i]) i = (i + 1) & (crowded_keys.size() - 1);
    crowds.emplace_back();
    crowded_keys[i] = (std::uint64_t{key} << 32) | crowds.size();
}

void FlowIndex::crowd_up(Table& t, std::uint32_t key) {
    t.add_crowded(key);
    // With their own masks: a key may, by chance, be shared by windows of
    // results of other flows.
    const std::size_t cap = t.slots.size();
    for (std::size_t i = home(key, cap); const std::uint64_t e = t.slots[i]; i = next_slot(i, cap)) {
        if ((e >> 32) != key) continue;
        const auto q = static_cast<std::uint32_t>(e) - 1;
        const Piece& piece = pieces_[piece_of(q)];
        add_grams(t, q, piece, results_[piece.result].mask);
    }
}

void FlowIndex::add_to_crowd(Table& t, Table::Crowd& crowd, std::uint32_t pos, std::uint32_t mask) {
    const Piece& piece = pieces_.back();
    const auto* arena = reinterpret_cast<const unsigned char*>(arena_.data());
    crowd.places.push_back(pos);
    crowd.tags.push_back(context_tag(arena + piece.start, arena + pos, arena + piece.end, t.l, context_positions(t.s)));
    indexed_ = pos;
    add_grams(t, pos, piece, mask);
}

void FlowIndex::add_grams(Table& t, std::uint32_t pos, const Piece& piece, std::uint32_t mask) {
    put_grams(t, pos, piece, mask);
    if (t.pending.size() >= pending_max) flush_grams(t);
}

void FlowIndex::flush_grams(Table& t) {
    // Room for the N-grams so far and for one in two bytes of the text not
    // yet indexed (more than text of words has), at most one in two bytes of
    // all: a large result makes its filter once, not a few times over, and
    // gives back the room it did not need once it is indexed (fold_grams).
    auto projected = [&](std::size_t grams) {
        const std::size_t bytes = arena_.size();
        return std::min(bytes / 2, grams + (bytes - std::min(bytes, indexed_)) / 2);
    };
    if (t.grams.empty()) {
        grow_grams(t, projected(t.pending.size()));
        return;
    }
    insert_pending(t);
    if (const std::size_t room = grams_per_block << t.gram_bits; t.gram_count > room) {
        grow_grams(t, std::max(2 * room, projected(t.gram_count)));
    }
}

void FlowIndex::insert_pending(Table& t) {
    // Each N-gram's block is fetched some N-grams before it is set, as the
    // blocks lie all over the filter.
    std::uint64_t* grams = t.grams.data();
    // An N-gram set a little before (text of words says the same few
    // things often) is not set again.
    if (t.recent.empty()) t.recent.resize(recent_grams);
    std::uint64_t* recent = t.recent.data();
    std::size_t kept = 0;
    std::uint64_t* fresh_keys = t.pending.data();
    for (std::size_t k = 0; k < t.pending.size(); ++k) {
        const std::uint64_t x = t.pending[k];
        std::uint64_t& seen = recent[x & (recent_grams - 1)];
        if (seen == x && x != 0) continue;
        seen = x;
        fresh_keys[kept++] = x;
    }
    const std::uint64_t* keys = fresh_keys;
    const std::size_t count = kept;
    for (std::size_t k = 0; k < std::min(gram_ahead, count); ++k) __builtin_prefetch(grams + gram_block(keys[k], t.gram_bits), 1);
    std::size_t added = 0;
    for (std::size_t k = 0; k < count; ++k) {
        if (k + gram_ahead < count) __builtin_prefetch(grams + gram_block(keys[k + gram_ahead], t.gram_bits), 1);
        const std::uint64_t x = keys[k];
        std::uint64_t* block = grams + gram_block(x, t.gram_bits);
        std::uint64_t fresh = 0;
        for (unsigned w = 0; w < 8; ++w) {
            const std::uint64_t b = gram_word(x, w);
            fresh |= b & ~block[w];
            block[w] |= b;
        }
        added += fresh != 0;
    }
    t.gram_count += added;
    t.pending.clear();
}

void FlowIndex::put_grams(Table& t, std::uint32_t pos, const Piece& piece, std::uint32_t mask) {
    const auto* arena = reinterpret_cast<const unsigned char*>(arena_.data());
    const unsigned char* arena_end = arena + arena_.size();
    auto put = [&](std::uint64_t first, std::uint64_t last) { t.pending.push_back(gram_key(first, last, mask)); };
    // The N-grams start at the window and at each of the s - 1 code points
    // before it (as far as the piece goes), each covered by the window at
    // its start and the one s - 1 code points after that.
    const std::uint32_t l = t.l, s = t.s;
    // Where the text around the window is ASCII (most text), its bytes are
    // its code points.
    const std::uint32_t back = std::min(s - 1, pos - piece.start);
    const std::uint32_t end = static_cast<std::uint32_t>(std::min<std::uint64_t>(piece.end, std::uint64_t{pos} + s - 1 + l));
    if (all_ascii(std::string_view(arena_.data() + pos - back, end - (pos - back)))) {
        auto hash_at = [&](std::uint32_t at) {
            if (l <= packed_max) return packed_at(arena + at, arena_end, l);
            std::uint64_t h = 0;
            for (std::uint32_t k = 0; k < l; ++k) h = h * base + arena[at + k];
            return h;
        };
        for (std::uint32_t a = pos - back; a <= pos && a + s - 1 + l <= end; ++a) put(hash_at(a), hash_at(a + s - 1));
        return;
    }
    const unsigned char* lo = arena + piece.start;
    const unsigned char* hi = arena + piece.end;
    const unsigned char* start = arena + pos;
    std::uint32_t before = 0;
    while (before + 1 < s && start > lo) {
        prev_cp(start);
        ++before;
    }
    std::vector<std::uint64_t>& hashes = gram_windows_;
    hashes.clear();
    for (const unsigned char* p = start; hashes.size() < std::size_t{before} + s; next_cp(p)) {
        const unsigned char* w = p;
        std::uint64_t h;
        if (!window_hash(w, hi, l, h)) break;
        hashes.push_back(h);
    }
    for (std::size_t a = 0; a + s <= hashes.size(); ++a) put(hashes[a], hashes[a + s - 1]);
}

void FlowIndex::fold_grams(Table& t) {
    std::uint32_t bits = t.gram_bits;
    while (bits > 0 && (grams_per_block << (bits - 1)) >= t.gram_count) --bits;
    if (bits == t.gram_bits) return;
    // A block's place is the top bits of its N-grams' keys: block b of the
    // smaller filter holds what blocks b << d to ((b + 1) << d) - 1 held,
    // the bits in each word where they were, so that the filter is the one
    // the same N-grams would have made at that size.
    const std::uint32_t d = t.gram_bits - bits;
    decltype(t.grams) grams(std::size_t{8} << bits);
    const std::uint64_t* from = t.grams.data();
    for (std::size_t b = 0; b < (std::size_t{1} << bits); ++b) {
        std::uint64_t* to = grams.data() + 8 * b;
        for (std::size_t k = 0; k < (std::size_t{1} << d); ++k, from += 8) {
            for (unsigned w = 0; w < 8; ++w) to[w] |= from[w];
        }
    }
    t.grams = std::move(grams);
    t.gram_bits = bits;
}

void FlowIndex::grow_grams(Table& t, std::size_t grams) {
    std::uint32_t bits = t.grams.empty() ? 0 : t.gram_bits + 1;
    while ((grams_per_block << bits) < grams) ++bits;
    t.grams = decltype(t.grams)(std::size_t{8} << bits);
    t.gram_bits = bits;
    t.gram_count = 0;
    std::fill(t.recent.begin(), t.recent.end(), 0);
    // Every crowded key's windows, the ones waiting among them.
    t.pending.clear();
    const std::size_t cap = t.slots.size();
    const char* arena = arena_.data();
    const std::uint32_t reach = t.s;
    const std::size_t last = arena_.size() - 1;
    for (const std::uint64_t entry : t.crowded_keys) {
        if (!entry) continue;
        const auto key = static_cast<std::uint32_t>(entry >> 32);
        const std::vector<std::uint32_t>& places = t.crowds[static_cast<std::uint32_t>(entry) - 1].places;
        auto put = [&](std::uint32_t q) {
            const Piece& piece = pieces_[piece_of(q)];
            put_grams(t, q, piece, results_[piece.result].mask);
            if (t.pending.size() >= pending_max) insert_pending(t);
        };
        for (std::size_t i = home(key, cap); const std::uint64_t e = t.slots[i]; i = next_slot(i, cap)) {
            if ((e >> 32) == key) put(static_cast<std::uint32_t>(e) - 1);
        }
        // The places lie all over the arena: the text around each is fetched
        // some places before its N-grams are worked out.
        const std::size_t count = places.size();
        auto fetch = [&](std::uint32_t q) {
            __builtin_prefetch(arena + (q - std::min(q, reach)));
            __builtin_prefetch(arena + std::min<std::size_t>(last, std::size_t{q} + t.l + t.s));
        };
        for (std::size_t k = 0; k < std::min(rebuild_ahead, count); ++k) fetch(places[k]);
        for (std::size_t k = 0; k < count; ++k) {
            if (k + rebuild_ahead < count) fetch(places[k + rebuild_ahead]);
            put(places[k]);
        }
    }
    insert_pending(t);
}

inline void FlowIndex::insert(Table& t, std::uint32_t key, std::uint32_t pos, std::uint32_t bytes, std::uint32_t mask) {
    const std::size_t cap = t.slots.size();
    std::size_t i = home(key, cap);
    std::uint32_t same = 0;
    while (const std::uint64_t e = t.slots[i]) {
        if ((e >> 32) == key) {
            // A window of a key with a crowd joins it without a compare: its
            // first windows are rarely what text says again (repeated text
            // costs a crowd's place a window, and no N-gram it has already).
            if (same == 0 && !t.crowded_keys.empty()) {
                if (Table::Crowd* crowd = t.crowd_of(key); crowd && !crowd->places.empty()) [[unlikely]] {
                    add_to_crowd(t, *crowd, pos, mask);
                    return;
                }
            }
            if (redundant(static_cast<std::uint32_t>(e) - 1, pos, bytes, mask, t.n)) return;
            if (++same == crowded) [[unlikely]] {
                add_to_crowd(t, *t.crowd_of(key), pos, mask);
                return;
            }
        }
        i = next_slot(i, cap);
    }
    t.slots[i] = (std::uint64_t{key} << 32) | (std::uint64_t{pos} + 1);
    t.filter[filter_word(key, t.filter.size())] |= filter_bits(key);
    ++t.used;
    if (same + 1 == crowded) [[unlikely]] crowd_up(t, key);
}

bool FlowIndex::repeats_piece(std::uint32_t mask) {
    const Piece& added = pieces_.back();
    const std::string_view text = this->text(added);
    if (text.size() < repeat_min) return false;
    std::uint64_t first[8];
    std::memcpy(first, text.data(), sizeof first);
    std::uint64_t key = text.size() * mix;
    for (const std::uint64_t w : first) key = (key ^ w) * mix;
    std::vector<std::uint32_t>& kept = kept_pieces_[key];
    for (const std::uint32_t k : kept) {
        const Piece& p = pieces_[k];
        if (results_[p.result].mask == mask && this->text(p) == text) return true;
    }
    if (kept.size() < repeat_candidates) kept.push_back(static_cast<std::uint32_t>(pieces_.size() - 1));
    return false;
}

void FlowIndex::add_piece(std::uint32_t result, std::string_view text) {
    if (text.empty()) return;
    const auto start = static_cast<std::uint32_t>(arena_.size());
    arena_.append(text);
    pieces_.push_back({start, static_cast<std::uint32_t>(arena_.size()), result});
    const std::uint32_t mask = results_[result].mask;
    if (repeats_piece(mask)) return;
    const bool ascii = all_ascii(text);
    // Code points: ASCII text is its bytes; other text is counted once, for
    // the number of its windows.
    const std::size_t length = ascii ? text.size() : code_points(text);
    const auto* begin = reinterpret_cast<const unsigned char*>(arena_.data());
    const auto* end = begin + arena_.size();
    std::vector<Window>& windows = windows_;
    for (Table& t : tables_) {
        // Fewer than n code points hold no run of n.
        if (length < t.n) continue;
        const std::uint32_t l = t.l, s = t.s;
        const std::size_t count = (length - l) / s + 1;
        // Room for all of them, and when the table grew for them, the room
        // left over given back after: windows that add nothing (repeated
        // text) or go to crowds take no slot, so for text of words the table
        // may end up mostly empty. Only a piece that grew the table gives
        // room back, so the many small ones never resize it. A piece that
        // brings at least as many windows as the table holds has it made to
        // their size.
        const bool whole = count >= t.used;
        const bool grew = grow(t, count, whole);
        // The windows are worked out and inserted a batch at a time, so that
        // a large result needs no list of all of them beside its slots.
        const auto* p = begin + start;
        std::uint64_t powers[64];
        const bool polynomial = ascii && l > packed_max;
        if (polynomial && l <= 64) {
            for (std::uint32_t k = 0; k < l; ++k) powers[k] = power(l - 1 - k);
        }
        for (std::size_t done = 0; done < count;) {
            const std::size_t batch = std::min(count - done, window_batch);
            windows.resize(batch);
            Window* out = windows.data();
            if (ascii) {
                const std::size_t first = start + done * s;
                for (std::size_t k = 0; k < batch; ++k) {
                    const std::size_t at = first + k * s;
                    std::uint64_t h = 0;
                    if (!polynomial) {
                        h = packed_at(begin + at, end, l);
                    } else if (l <= 64) {
                        // The polynomial, with its products independent of each other.
                        for (std::uint32_t j = 0; j < l; ++j) h += begin[at + j] * powers[j];
                    } else {
                        for (std::uint32_t j = 0; j < l; ++j) h = h * base + begin[at + j];
                    }
                    out[k] = {key_of(h, mask), static_cast<std::uint32_t>(at), l};
                }
            } else {
                // Walked once: the window at every s-th code point, which all fit.
                for (std::size_t k = 0; k < batch; ++k) {
                    const auto* w = p;
                    std::uint64_t h = 0;
                    window_hash(w, end, l, h);
                    out[k] = {key_of(h, mask), static_cast<std::uint32_t>(p - begin), static_cast<std::uint32_t>(w - p)};
                    if (done + k + 1 < count) {
                        for (std::uint32_t j = 0; j < s; ++j) next_cp(p);
                    }
                }
            }
            insert_windows(t, windows, mask);
            done += batch;
        }
        indexed_ = arena_.size();
        if (!t.pending.empty()) flush_grams(t);
        if (!t.grams.empty()) fold_grams(t);
        if (grew) shrink(t, whole);
    }
}

void FlowIndex::insert_windows(Table& t, std::span<const Window> windows, std::uint32_t mask) {
    // Each insert reads a slot and, when a kept window has the same key,
    // the arena around it: the slots are fetched `ahead` windows early,
    // and the arena at the key's home slot `near` windows early, once
    // that slot has arrived.
    const std::size_t count = windows.size();
    const std::uint64_t* slots = t.slots.data();
    const char* arena = arena_.data();
    const std::uint32_t last = static_cast<std::uint32_t>(arena_.size() - 1);
    const std::uint32_t reach = static_cast<std::uint32_t>(4 * t.n);
    const std::size_t cap = t.slots.size();
    for (std::size_t k = 0; k < std::min(ahead, count); ++k) __builtin_prefetch(slots + home(windows[k].key, cap), 1);
    for (std::size_t k = 0; k < count; ++k) {
        if (k + ahead < count) __builtin_prefetch(slots + home(windows[k + ahead].key, cap), 1);
        if (k + near < count) {
            const Window& w = windows[k + near];
            const std::uint64_t e = slots[home(w.key, cap)];
            if (e && (e >> 32) == w.key) {
                const std::uint32_t q = static_cast<std::uint32_t>(e) - 1;
                __builtin_prefetch(arena + (q - std::min(q, reach)));
                __builtin_prefetch(arena + q);
                __builtin_prefetch(arena + std::min(last, q + reach));
            }
        }
        const Window& w = windows[k];
        insert(t, w.key, w.pos, w.bytes, mask);
    }
}

std::optional<FlowIndex::Hit> FlowIndex::find(std::string_view text, std::uint64_t n, std::uint32_t flow) const {
    const auto t = std::find_if(tables_.begin(), tables_.end(), [&](const Table& x) { return x.n == n; });
    if (t == tables_.end() || t->used == 0 || text.size() < n) return std::nullopt;
    const std::uint32_t l = t->l;
    const std::size_t cap = t->slots.size();
    const std::size_t words = t->filter.size();
    const auto& slots = t->slots;
    const std::uint64_t top = power(l - 1);
    const auto* arena = reinterpret_cast<const unsigned char*>(arena_.data());
    const auto* arena_end = arena + arena_.size();
    const std::uint32_t word = flow / 64;
    const std::uint64_t bit = std::uint64_t{1} << (flow % 64);
    // The masks of the results that feed the flow: the keys to look up.
    thread_local std::vector<std::uint32_t> feeding;
    feeding.clear();
    for (std::uint32_t k = 0; k < masks_.size(); ++k)
        if (masks_[k][word] & bit) feeding.push_back(k);
    if (feeding.empty()) return std::nullopt;

    // Over the text's `len` code points, `cp(i)` the i-th and `offset(i)`
    // where it starts (offset(len): the end).
    // `ascii`: std::true_type when every code point is ASCII.
    auto search = [&](auto ascii, std::size_t len, auto cp, auto offset) -> std::optional<Hit> {
        constexpr bool all_ascii_text = decltype(ascii)::value;
        // The common run of `text` around its window at `i` and the text at
        // `q`, within [lo, hi) of the arena: [j, k) in code points of `text`;
        // false when the window itself differs.
        auto run = [&](std::size_t i, std::uint32_t q, const unsigned char* lo, const unsigned char* hi, std::size_t& j,
                       std::size_t& k) {
            if constexpr (all_ascii_text) {
                // ASCII text is its bytes, which a byte past ASCII in the arena
                // never equals: the run is the bytes in common, eight at a time.
                const auto* t = reinterpret_cast<const unsigned char*>(text.data());
                const unsigned char* at = arena + q;
                if (static_cast<std::size_t>(hi - at) < l || std::memcmp(at, t + i, l) != 0) return false;
                k = i + l + common_prefix(at + l, t + i + l, std::min<std::size_t>(hi - at - l, len - i - l));
                j = i - common_suffix(at, t + i, std::min<std::size_t>(at - lo, i));
                return true;
            }
            const unsigned char* f = arena + q;
            k = i;
            for (; k < i + l; ++k) {
                if (f >= hi || next_cp(f) != cp(k)) return false;
            }
            while (k < len && f < hi) {
                const unsigned char* g = f;
                if (next_cp(g) != cp(k)) break;
                f = g;
                ++k;
            }
            j = i;
            const unsigned char* b = arena + q;
            while (j > 0 && b > lo) {
                const unsigned char* g = b;
                if (prev_cp(g) != cp(j - 1)) break;
                b = g;
                --j;
            }
            return true;
        };
        // The whole common run around a window of `text` at `i` found at
        // `q`, and its result, when it is long enough and its result feeds
        // the flow. The run is measured first as far as the whole arena goes
        // (its pieces lie one after another, all of them UTF-8): most places
        // a window shares fall short of n even so, and are passed over
        // without a look at their piece and its result.
        auto confirm = [&](std::size_t i, std::uint32_t q, Hit& hit) {
            std::size_t j = 0, k = 0;
            if (!run(i, q, arena, arena_end, j, k) || k - j < n) return false;
            const Piece& piece = pieces_[piece_of(q)];
            if (!(masks_[results_[piece.result].mask][word] & bit)) return false;
            if (!run(i, q, arena + piece.start, arena + piece.end, j, k) || k - j < n) return false;
            hit = Hit{piece.result, offset(j), offset(k)};
            return true;
        };

        // The window's hash as it rolls on: its polynomial, and its bytes
        // with the number of its code points past ASCII (see packed_at).
        const bool packs = l <= packed_max;
        std::uint64_t poly = 0, packed = 0;
        std::size_t foreign = 0;
        for (std::uint32_t k = 0; k < l; ++k) {
            const char32_t c = cp(k);
            if (!all_ascii_text || !packs) poly = poly * base + c;
            if (packs) {
                packed |= std::uint64_t{c & 0xFF} << (8 * k);
                foreign += c >= 0x80;
            }
        }
        const unsigned last_byte = packs ? 8 * (l - 1) : 0;
        // From window j - 1 to window j.
        auto roll = [&](std::size_t j) {
            const char32_t out = cp(j - 1), in = cp(j + l - 1);
            if (!all_ascii_text || !packs) poly = (poly - out * top) * base + in;
            if (packs) {
                packed = (packed >> 8) | (std::uint64_t{in & 0xFF} << last_byte);
                if constexpr (!all_ascii_text) foreign = foreign + (in >= 0x80) - (out >= 0x80);
            }
        };
        auto hash = [&] { return packs && foreign == 0 ? packed : poly; };
        const std::size_t windows = len - l + 1;
        const std::uint64_t* table = slots.data();
        const std::uint64_t* filter = t->filter.data();
        // Read once: the masks stay put while the text is looked up.
        const std::uint32_t* const masks = feeding.data();
        const std::size_t mask_count = feeding.size();
        const std::uint32_t lead = masks[0];
        const std::uint32_t stride = t->s;
        const bool crowds = !t->grams.empty();
        auto may_hold = [&](std::uint32_t key) {
            const std::uint64_t b = filter_bits(key);
            return (filter[filter_word(key, words)] & b) == b;
        };
        // The text is looked up a chunk of windows at a time (see below),
        // each step a short loop over the chunk, whose reads of the tables
        // overlap. The windows' hashes are worked out a chunk at a time too
        // (up to `hashed`), and kept in a ring as far back as the N-grams of
        // the chunk's windows start and as far on as they end.
        constexpr std::size_t chunk = 128;
        const std::size_t ring = std::bit_ceil(chunk + 2 * std::size_t{t->s});
        const std::size_t rm = ring - 1;
        thread_local std::vector<std::uint64_t> hash_ring;
        if (hash_ring.size() < ring) hash_ring.resize(ring);
        std::uint64_t* const hashes = hash_ring.data();
        hashes[0] = hash();
        std::size_t hashed = 1;
        auto hash_to = [&](std::size_t to) {
            for (; hashed < to; ++hashed) {
                roll(hashed);
                hashes[hashed & rm] = hash();
            }
        };
        // The first of the slots' places of `key`, in the order they came,
        // that a run of n code points through window `i` goes through: into
        // `best` when its result is earlier.
        auto walk_slots = [&](std::size_t i, std::uint32_t key, std::optional<Hit>& best) {
            for (std::size_t at = home(key, cap); const std::uint64_t e = table[at]; at = next_slot(at, cap)) {
                if ((e >> 32) != key) continue;
                Hit hit;
                if (confirm(i, static_cast<std::uint32_t>(e) - 1, hit)) {
                    if (!best || hit.result < best->result) best = hit;
                    return true;
                }
            }
            return false;
        };

        // Crowded keys are asked about through the N-grams of the text: the
        // one starting at window a is covered by windows a and a + stride - 1.
        // Those of the lead mask (most flows have one) are worked out as the
        // crowded windows that ask about them come, and their blocks fetched.
        const std::uint64_t* gram_filter = t->grams.data();
        const std::uint32_t gram_bits = t->gram_bits;
        thread_local std::vector<std::uint64_t> gram_ring;
        thread_local std::vector<const std::uint64_t*> block_ring;
        std::uint64_t* grams = nullptr;
        const std::uint64_t** blocks = nullptr;
        if (crowds) {
            if (gram_ring.size() < ring) {
                gram_ring.resize(ring);
                block_ring.resize(ring);
            }
            grams = gram_ring.data();
            blocks = block_ring.data();
        }
        // The N-grams a run through window i may hold, from the first not
        // worked out yet.
        std::size_t fetched = 0;
        auto fetch_grams = [&](std::size_t i) {
            const std::size_t to = std::min(i, len - n);
            for (std::size_t a = std::max(fetched, i + 1 >= stride ? i + 1 - stride : 0); a <= to; ++a) {
                const std::uint64_t x = gram_key(hashes[a & rm], hashes[(a + stride - 1) & rm], lead);
                const std::uint64_t* block = gram_filter + gram_block(x, gram_bits);
                grams[a & rm] = x;
                blocks[a & rm] = block;
                __builtin_prefetch(block);
            }
            fetched = std::max(fetched, to + 1);
        };
        // Whether a run of n code points through window i may be among the
        // windows of a crowded key of mask `mask`: whether one of the N-grams
        // such a run would hold may be in the filter. The windows asked about
        // come in order, and the N-grams of the lead mask that a window's
        // run may hold are those of the window before and one more: each is
        // asked about once, in order, and the last found there is kept
        // (`maybe`, one past it; the N-grams before `asked` are answered).
        std::size_t asked = 0, maybe = 0;
        auto may_run = [&](std::size_t i, std::uint32_t mask) {
            const std::size_t from = i + 1 >= stride ? i + 1 - stride : 0;
            const std::size_t to = std::min(i, len - n);
            if (mask == lead) {
                if (maybe > from) return true;
                for (std::size_t a = std::max(asked, from); a <= to; ++a) {
                    if (gram_in(blocks[a & rm], grams[a & rm])) {
                        asked = a + 1;
                        maybe = a + 1;
                        return true;
                    }
                }
                asked = std::max(asked, to + 1);
                return false;
            }
            for (std::size_t a = from; a <= to; ++a) {
                const std::uint64_t x = gram_key(hashes[a & rm], hashes[(a + stride - 1) & rm], mask);
                if (gram_in(gram_filter + gram_block(x, gram_bits), x)) return true;
            }
            return false;
        };
        // The windows of a crowd (`crowd`, of `key`) past those the slots
        // keep: out of line, as few windows need them.
        auto look_up_crowd = [&](std::size_t i, const Table::Crowd& crowd, std::optional<Hit>& best)
                                 __attribute__((noinline)) {
            // The string's tag at window i, and how far a run through it can
            // reach on either side within the string: with less than s - 1
            // in all, no run of n goes through it.
            const std::uint32_t positions = context_positions(stride);
            const std::uint32_t need = stride - 1;
            const auto after_room = static_cast<std::uint32_t>(std::min<std::size_t>(need, len - i - l));
            const auto before_room = static_cast<std::uint32_t>(std::min<std::size_t>(need, i));
            if (after_room + before_room < need) return;
            std::uint32_t own = 0;
            std::uint32_t h = 0;
            for (std::uint32_t k = 0; k < std::min(positions, after_room); ++k) own |= context_bits(h = context_step(h, cp(i + l + k)), k);
            h = 0;
            for (std::uint32_t k = 0; k < std::min(positions, before_room); ++k) {
                own |= context_bits(h = context_step(h, cp(i - 1 - k)), k) << 8;
            }
            std::uint16_t masks[context_ways];
            context_masks(positions, need, after_room, before_room, masks);
            // The places whose tag matches, a batch at a time, in order; then
            // those, which lie all over the arena, fetched some before they
            // are compared, so that the reads overlap.
            const std::uint32_t* places = crowd.places.data();
            const std::uint16_t* tags = crowd.tags.data();
            const std::size_t count = crowd.places.size();
            constexpr std::size_t batch = 256;
            std::uint32_t picked[batch];
            for (std::size_t from = 0; from < count; from += batch) {
                const std::size_t to = std::min(count, from + batch);
                std::size_t m = 0;
                std::size_t k = from;
#if defined(__SSE2__)
                // Eight tags at a time: most places agree in no way, and
                // those that do are picked by the bits of their lanes.
                const __m128i mine = _mm_set1_epi16(static_cast<short>(own));
                const __m128i zero = _mm_setzero_si128();
                for (; k + 8 <= to; k += 8) {
                    const __m128i x = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(tags + k)), mine);
                    __m128i agree = zero;
                    for (std::size_t w = 0; w < context_ways; ++w) {
                        const __m128i mask = _mm_set1_epi16(static_cast<short>(masks[w]));
                        agree = _mm_or_si128(agree, _mm_cmpeq_epi16(_mm_and_si128(x, mask), zero));
                    }
                    for (auto lanes = static_cast<std::uint32_t>(_mm_movemask_epi8(agree)); lanes; lanes &= lanes - 1) {
                        const auto b = static_cast<std::uint32_t>(std::countr_zero(lanes));
                        picked[m++] = places[k + b / 2];
                        lanes &= lanes - 1;  // the lane's other bit
                    }
                }
#endif
                for (; k < to; ++k) {
                    const std::uint32_t x = tags[k] ^ own;
                    bool agree = false;
                    for (const std::uint16_t mask : masks) agree |= (x & mask) == 0;
                    picked[m] = places[k];
                    m += agree;
                }
                for (std::size_t k = 0; k < std::min(crowd_ahead, m); ++k) __builtin_prefetch(arena + picked[k]);
                for (std::size_t k = 0; k < m; ++k) {
                    if (k + crowd_ahead < m) __builtin_prefetch(arena + picked[k + crowd_ahead]);
                    Hit hit;
                    if (confirm(i, picked[k], hit)) {
                        if (!best || hit.result < best->result) best = hit;
                        return;
                    }
                }
            }
        };
        // The earliest result holding a run around window `i` under `key`
        // (of mask `mask`; its crowd, or null), if earlier than `best`: the
        // first of the key's places, in the order they came, that such a run
        // goes through.
        auto look_up = [&](std::size_t i, std::uint32_t key, std::uint32_t mask, const Table::Crowd* crowd,
                           std::optional<Hit>& best) {
            if (crowd && !may_run(i, mask)) return;
            if (!walk_slots(i, key, best) && crowd) look_up_crowd(i, *crowd, best);
        };

        // A chunk of windows at a time: their keys, for the lead mask, and
        // their filter words fetched; the windows whose key may be kept (or,
        // with more masks, one of whose keys may be), their home slots and
        // places among the crowded keys fetched; for the crowded ones the
        // N-grams they ask about, their blocks fetched; then those windows
        // in order. The first chunks are short (16, 32, then 64), as a run
        // is often found early; the later ones long, as the slots that a
        // chunk's windows read come from memory together, each chunk waiting
        // on its reads once (128 windows a chunk made a check of random text
        // against 10 MB some 8% faster than 64).
        std::uint32_t keys[chunk];
        std::uint32_t held[chunk];
        const Table::Crowd* crowd_at[chunk];
        const std::uint64_t* crowded = t->crowded_keys.data();
        const std::size_t crowded_size = t->crowded_keys.size();
        for (std::size_t c = 0, size = chunk / 8; c < windows; c += size, size = std::min(chunk, 2 * size)) {
            const std::size_t e = std::min(windows, c + size);
            // The N-grams of the chunk's windows end in windows past it.
            hash_to(std::min(windows, e + stride));
            for (std::size_t i = c; i < e; ++i) {
                const std::uint32_t key = key_of(hashes[i & rm], lead);
                keys[i - c] = key;
                __builtin_prefetch(filter + filter_word(key, words));
            }
            // With one mask (most flows), a loop of its own: it is about 5%
            // of a check against text whose tables stay in cache.
            std::size_t count = 0;
            if (mask_count == 1) {
                for (std::size_t i = c; i < e; ++i) {
                    held[count] = static_cast<std::uint32_t>(i);
                    count += may_hold(keys[i - c]);
                }
            } else {
                for (std::size_t i = c; i < e; ++i) {
                    bool hold = may_hold(keys[i - c]);
                    for (std::size_t f = 1; f < mask_count && !hold; ++f) hold = may_hold(key_of(hashes[i & rm], masks[f]));
                    held[count] = static_cast<std::uint32_t>(i);
                    count += hold;
                }
            }
            for (std::size_t k = 0; k < count; ++k) {
                const std::uint32_t key = keys[held[k] - c];
                __builtin_prefetch(table + home(key, cap));
                if (crowds) __builtin_prefetch(crowded + Table::crowded_home(key, crowded_size));
            }
            for (std::size_t k = 0; k < count; ++k) {
                const std::size_t i = held[k];
                const Table::Crowd* crowd = crowds ? t->crowd_of(keys[i - c]) : nullptr;
                crowd_at[k] = crowd;
                if (crowd) fetch_grams(i);
            }
            for (std::size_t k = 0; k < count; ++k) {
                const std::size_t i = held[k];
                const std::uint32_t key = keys[i - c];
                std::optional<Hit> best;
                if (may_hold(key)) look_up(i, key, lead, crowd_at[k], best);
                for (std::size_t f = 1; f < mask_count; ++f) {
                    const std::uint32_t other = key_of(hashes[i & rm], masks[f]);
                    if (may_hold(other)) look_up(i, other, masks[f], crowds ? t->crowd_of(other) : nullptr, best);
                }
                if (best) return best;
            }
        }
        return std::nullopt;
    };

    // ASCII text is its own code points.
    if (all_ascii(text)) {
        const auto* p = reinterpret_cast<const unsigned char*>(text.data());
        return search(
            std::true_type{}, text.size(), [p](std::size_t i) { return char32_t{p[i]}; },
            [](std::size_t i) { return i; });
    }
    thread_local Decoded d;
    d.read(text);
    if (d.cps.size() < n) return std::nullopt;
    return search(
        std::false_type{}, d.cps.size(), [&](std::size_t i) { return d.cps[i]; }, [&](std::size_t i) { return std::size_t{d.offsets[i]}; });
}

}  // namespace ostik::detail
