// The recorded results a session's value flows follow, and the index that
// finds a run of their text inside a call's arguments.
//
// Text is compared after Unicode NFC and counted in code points. Every string
// of a result is a piece, kept whole in one arena. For each distinct
// min_length N of the policy's value flows there is one table: the hashes of
// the windows of L = ceil(N/2) code points that start at the positions of a
// piece that are multiples of s = N - L + 1. Any run of at least N code points
// that a string shares with a piece holds such a window (of the s positions
// it starts at or after, within its first N - L + 1, one is a multiple of s),
// so a check rolls a hash over every L-window of the string, looks each up
// (a window's key holds the flows its result feeds too: a check of a flow
// looks only among the windows of the results that feed it),
// and confirms a candidate against the arena, extending it both ways to the
// whole common run. A table keeps one slot per window, about 1/s slots per
// code point (8 bytes each, at most 3/4 full), and a filter of 8 to 16 bits a slot
// (two set for each kept key) that a check reads first, so that the windows
// of the string no result has (most of them) cost a read of a small array
// instead of the slots. A window equal to one already kept in the slots for
// a result of the same flows, with the same text around it, is not kept
// again, and a piece equal to one kept before adds no window at all.
//
// A key's first `crowded` windows stay in the slots, the rest of them in a
// crowd, a list of the key's own: with a short window, text of words has keys
// that thousands of windows share (" the"), and a walk past all of them for
// each insert would make indexing quadratic. Such a key is crowded, and its
// windows are also kept by what a run through them must hold: a run of N code
// points through a window starts at the window or at one of the s - 1 code
// points before it, so it holds one of the s N-grams starting there. The
// N-grams of every window of a crowded key (those in the slots too) go into a
// Bloom filter, and a check that meets a crowded key first asks it about the
// N-grams of the string that would hold its window: when none is there, no
// window of the key can be in such a run, and the key is passed over without
// a compare. Without it, a check against text of words compares thousands of
// places that share a common short window and no more. Each place of a crowd
// also has a tag of the text on either side of its window, a few bits for
// each of its first code points outward, and a walk of the crowd compares
// only the places whose tag agrees with the string's on s - 1 positions in
// all (a run of N through the window reaches s - 1 past it, the two sides
// together), so that a check that may find a run reads few of them.
//
// The windows of a key are kept, and walked, in the order they came, which is
// the order of the arena and of the results: the first of a key's places that
// a run goes through is in the earliest result holding it, and ends the walk.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "huge_page_allocator.hpp"
#include "mapped_bytes.hpp"

namespace ostik::detail {

// `text` (valid UTF-8) in Unicode NFC, appended to `out`; text already in NFC
// (all ASCII text is) is copied as it is.
void append_nfc(std::string& out, std::string_view text);
// Whether `text` (valid UTF-8) is in NFC already (as all ASCII text is).
bool is_nfc(std::string_view text);
// `text` in NFC: itself when it is in NFC, else its NFC form, kept in `storage`.
std::string_view nfc_view(std::string& storage, std::string_view text);

class FlowIndex {
public:
    // `min_lengths`: the distinct min_length values, ascending; `flows`: the
    // number of value flows.
    FlowIndex(std::span<const std::uint64_t> min_lengths, std::uint32_t flows);

    // A new result, the source of the value flows in `mask` (one bit each):
    // its number.
    std::uint32_t add_result(std::uint64_t step, std::string_view tool, const std::vector<std::uint64_t>& mask);
    // A piece of result `result`, in NFC.
    void add_piece(std::uint32_t result, std::string_view text);

    struct Hit {
        std::uint32_t result = 0;
        std::size_t begin = 0;  // the common run, in bytes of the string looked in
        std::size_t end = 0;
    };
    // The first run (from the left) of at least `n` code points of `text`
    // (NFC) that occurs in a piece of a result of value flow `flow`; of the
    // results holding it, the earliest. `n` must be one of the min_lengths.
    std::optional<Hit> find(std::string_view text, std::uint64_t n, std::uint32_t flow) const;

    struct Result {
        std::uint64_t step = 0;
        std::string tool;
        std::uint32_t mask = 0;  // index into masks()
    };
    const Result& result(std::uint32_t r) const { return results_[r]; }
    std::size_t results() const { return results_.size(); }
    std::size_t bytes() const { return arena_.size(); }
    // The memory the tables hold, in bytes.
    std::size_t table_bytes() const;

    // ---- for a session's bytes: the results and pieces, in order ----
    const std::vector<std::vector<std::uint64_t>>& masks() const { return masks_; }
    struct Piece {
        std::uint32_t start = 0;  // in the arena
        std::uint32_t end = 0;
        std::uint32_t result = 0;
    };
    std::span<const Piece> pieces() const { return pieces_; }
    std::string_view text(const Piece& p) const { return arena_.view().substr(p.start, p.end - p.start); }

private:
    struct Table {
        std::uint64_t n = 0;
        std::uint32_t l = 0;  // window length
        std::uint32_t s = 0;  // stride
        std::vector<std::uint64_t, HugePageAllocator<std::uint64_t>> slots;  // (key << 32) | (arena position + 1); 0 is empty
        std::vector<std::uint64_t, HugePageAllocator<std::uint64_t>> filter;  // a power of two words: two bits set for each kept key
        std::size_t used = 0;
        // The crowded keys (with `crowded` windows in the slots), and for
        // each the arena positions of its windows past those, in the order
        // they came: open addressing, (key << 32) | (crowd + 1), 0 for none.
        // With each place, a tag of the text on either side of its window
        // (context_tag), which a check reads before the arena.
        std::vector<std::uint64_t> crowded_keys;
        struct Crowd {
            std::vector<std::uint32_t> places;
            std::vector<std::uint16_t> tags;
        };
        std::vector<Crowd> crowds;
        // The windows past the slots' of `key`, or null when it is not crowded.
        const Crowd* crowd_of(std::uint32_t key) const {
            if (crowded_keys.empty()) return nullptr;
            const std::size_t m = crowded_keys.size() - 1;
            for (std::size_t i = crowded_home(key, crowded_keys.size());; i = (i + 1) & m) {
                const std::uint64_t e = crowded_keys[i];
                if (!e) return nullptr;
                if ((e >> 32) == key) return &crowds[static_cast<std::uint32_t>(e) - 1];
            }
        }
        Crowd* crowd_of(std::uint32_t key) { return const_cast<Crowd*>(std::as_const(*this).crowd_of(key)); }
        // A crowded key's place among 2^k (by its own mix: the key's top bits
        // place it in the slots, its low bits in the filter).
        static std::size_t crowded_home(std::uint32_t key, std::size_t size) {
            return ((key * 0x85EBCA6Bu) >> 7) & (size - 1);
        }
        void add_crowded(std::uint32_t key);
        // The N-grams of the crowded keys' windows: blocks of 8 words, each
        // N-gram setting a bit of each word of one block.
        std::vector<std::uint64_t, HugePageAllocator<std::uint64_t>> grams;
        std::uint32_t gram_bits = 0;  // grams.size() == 8 * 2^gram_bits, or none
        std::size_t gram_count = 0;   // the N-grams that set a bit
        std::vector<std::uint64_t> pending;  // the keys of N-grams to set
        std::vector<std::uint64_t> recent;   // the keys of some set last, by their low bits
    };
    struct Window {
        std::uint32_t key, pos, bytes;
    };
    void insert_windows(Table& t, std::span<const Window> windows, std::uint32_t mask);
    void insert(Table& t, std::uint32_t key, std::uint32_t pos, std::uint32_t bytes, std::uint32_t mask);
    // Makes `key`, which has just come to have `crowded` windows in the
    // slots, a crowded key: its windows' N-grams go into the filter.
    [[gnu::noinline]] void crowd_up(Table& t, std::uint32_t key);
    // Keeps a window of a key that has `crowded` in the slots (its crowd:
    // `crowd`), of a result feeding the flows of mask `mask`.
    [[gnu::noinline]] void add_to_crowd(Table& t, Table::Crowd& crowd, std::uint32_t pos, std::uint32_t mask);
    // Adds the N-grams a run through the window at `pos` (of piece `piece`)
    // holds, for mask `mask`, to those waiting to be set in the table's
    // filter (put_grams), and sets them once enough wait.
    void add_grams(Table& t, std::uint32_t pos, const Piece& piece, std::uint32_t mask);
    void put_grams(Table& t, std::uint32_t pos, const Piece& piece, std::uint32_t mask);
    // Sets the N-grams waiting in the filter, making it larger when it is
    // full enough (or making the first).
    void flush_grams(Table& t);
    void insert_pending(Table& t);
    // Makes the filter of `t` larger (twice at least, or its first), with
    // room for `grams`, putting back the N-grams of every crowded key.
    void grow_grams(Table& t, std::size_t grams);
    // Makes the filter of `t` smaller (by halves) while the smaller one has
    // room for the N-grams it holds.
    void fold_grams(Table& t);
    bool redundant(std::uint32_t q, std::uint32_t pos, std::uint32_t bytes, std::uint32_t mask, std::uint64_t n) const;
    // Makes room for `windows` more (whether it had to); gives back the room
    // a table has past what its windows need, and its crowds' room to grow;
    // moves its windows to `cap` slots. `whole`: the windows are most of
    // what the table holds after them (see slots_for).
    bool grow(Table& t, std::size_t windows, bool whole);
    void shrink(Table& t, bool whole);
    void resize(Table& t, std::size_t cap);
    std::uint32_t piece_of(std::uint32_t pos) const;

    std::uint32_t flows_ = 0;
    std::uint32_t words_ = 0;
    MappedBytes arena_;  // the pieces, one after another
    std::vector<Piece> pieces_;
    std::vector<Result> results_;
    std::vector<std::vector<std::uint64_t>> masks_;  // distinct masks
    std::vector<Table> tables_;
    // A batch of a piece's windows to keep: key, where each starts in the
    // arena, its length in bytes (reused from batch to batch).
    std::vector<Window> windows_;
    // How far into the arena windows have been inserted (for a crowd, as
    // they are).
    std::size_t indexed_ = 0;
    // The hashes of the windows whose N-grams put_grams adds (reused).
    std::vector<std::uint64_t> gram_windows_;
    // Whether the piece added last equals one kept before for a result of
    // the same flows (a result recorded again: a file read twice); then it
    // adds no window, as every run in it lies in the one before, whose
    // result is earlier.
    bool repeats_piece(std::uint32_t mask);
    // The pieces of at least `repeat_min` bytes whose windows were kept, by
    // their length and first bytes (a few for each).
    std::unordered_map<std::uint64_t, std::vector<std::uint32_t>> kept_pieces_;
};

}  // namespace ostik::detail
