#include "pattern_states.hpp"

#include <bitset>
#include <cmath>
#include <cstdint>
#include <optional>
#include <vector>

namespace ostik::detail {
namespace {

// The bytes one position of the pattern can match. Every byte of a
// character beyond ASCII is one of 128..255: such characters all share them,
// which only ever makes two classes look less disjoint than they are.
using Bytes = std::bitset<256>;

Bytes all_bytes() { return Bytes().set(); }

Bytes high_bytes() {
    Bytes b;
    for (int c = 128; c < 256; ++c) b.set(static_cast<std::size_t>(c));
    return b;
}

Bytes range(int lo, int hi) {
    Bytes b;
    for (int c = lo; c <= hi; ++c) b.set(static_cast<std::size_t>(c));
    return b;
}

Bytes one(int c) { return range(c, c); }

Bytes digits() { return range('0', '9'); }
Bytes spaces() { return one(' ') | range('\t', '\r'); }
Bytes word() { return digits() | range('a', 'z') | range('A', 'Z') | one('_'); }

// Case folding of ASCII letters; `k` and `s` also fold to characters beyond
// ASCII (the Kelvin sign, the long s).
Bytes fold(Bytes b) {
    Bytes out = b;
    for (int c = 'a'; c <= 'z'; ++c) {
        const auto lower = static_cast<std::size_t>(c);
        const auto upper = static_cast<std::size_t>(c - 'a' + 'A');
        if (b[lower] || b[upper]) {
            out.set(lower).set(upper);
            if (c == 'k' || c == 's') out |= high_bytes();
        }
    }
    return out;
}

struct Item;
using Sequence = std::vector<Item>;

struct Item {
    enum class Kind { position, group, assertion } kind = Kind::position;
    Bytes bytes;                      // a position: what it matches
    std::vector<Sequence> alternatives;  // a group
    std::uint32_t min = 1;
    std::optional<std::uint32_t> max = 1;  // none: unbounded
    std::size_t begin = 0, end = 0;        // its text, quantifier included

    bool repeated() const { return !max || *max > 1; }
};

struct Flags {
    bool fold = false;
    bool dot_nl = false;
};

// A reader of patterns RE2 has already accepted: it is lenient, and what it
// does not know becomes a position that matches every byte.
class Reader {
public:
    explicit Reader(std::string_view text) : text_(text) {}

    std::vector<Sequence> alternatives(Flags flags) {
        std::vector<Sequence> out(1);
        while (pos_ < text_.size() && text_[pos_] != ')') {
            if (text_[pos_] == '|') {
                ++pos_;
                out.emplace_back();
                continue;
            }
            if (text_.substr(pos_, 2) == "\\Q") {  // \Q...\E: each byte a literal position
                pos_ += 2;
                while (more() && text_.substr(pos_, 2) != "\\E") {
                    const std::size_t at = pos_;
                    const unsigned char b = take();
                    if (b >= 128) rest_of_character();
                    out.back().push_back(position(at, b < 128 ? one(b) : high_bytes(), flags));
                }
                if (more()) pos_ += 2;
                if (!out.back().empty()) quantifier(out.back().back());
                continue;
            }
            if (auto item = atom(flags)) {
                quantifier(*item);
                out.back().push_back(std::move(*item));
            }
        }
        return out;
    }

private:
    bool more() const { return pos_ < text_.size(); }
    char peek() const { return more() ? text_[pos_] : '\0'; }
    unsigned char take() { return static_cast<unsigned char>(text_[pos_++]); }

    // Skips the continuation bytes of a character beyond ASCII.
    void rest_of_character() {
        while (more() && (static_cast<unsigned char>(text_[pos_]) & 0xC0) == 0x80) ++pos_;
    }

    Item position(std::size_t begin, Bytes bytes, Flags flags) {
        Item item;
        item.bytes = flags.fold ? fold(bytes) : bytes;
        item.begin = begin;
        item.end = pos_;
        return item;
    }

    std::optional<Item> atom(Flags& flags) {
        const std::size_t begin = pos_;
        const unsigned char c = take();
        switch (c) {
            case '(': return group(begin, flags);
            case '[': return position(begin, bracket(flags), flags);
            case '.': return position(begin, flags.dot_nl ? all_bytes() : all_bytes().reset('\n'), flags);
            case '^':
            case '$': {
                Item item;
                item.kind = Item::Kind::assertion;
                item.begin = begin;
                item.end = pos_;
                return item;
            }
            case '\\': {
                auto bytes = escape(false);
                if (!bytes) {
                    Item item;
                    item.kind = Item::Kind::assertion;
                    item.begin = begin;
                    item.end = pos_;
                    return item;
                }
                return position(begin, *bytes, flags);
            }
            default:
                if (c >= 128) {
                    rest_of_character();
                    return position(begin, high_bytes(), flags);
                }
                return position(begin, one(c), flags);
        }
    }

    // After `(`: a group, or a change of flags for the rest of the group.
    std::optional<Item> group(std::size_t begin, Flags& flags) {
        Flags inner = flags;
        if (peek() == '?') {
            ++pos_;
            if (peek() == 'P' || peek() == '<') {  // a named group
                while (more() && take() != '>') {
                }
            } else {
                bool on = true;
                while (more() && peek() != ':' && peek() != ')') {
                    const char f = static_cast<char>(take());
                    if (f == '-') on = false;
                    if (f == 'i') inner.fold = on;
                    if (f == 's') inner.dot_nl = on;
                }
                if (peek() == ')') {  // (?flags): the rest of the enclosing group
                    ++pos_;
                    flags = inner;
                    return std::nullopt;
                }
                ++pos_;  // ':'
            }
        }
        Item item;
        item.kind = Item::Kind::group;
        item.alternatives = alternatives(inner);
        if (more()) ++pos_;  // ')'
        item.begin = begin;
        item.end = pos_;
        return item;
    }

    // After `\`: the bytes of a class or of one character, or nothing for an
    // assertion (`\b`, `\A`, ...). Inside brackets every escape is a class.
    std::optional<Bytes> escape(bool in_bracket) {
        if (!more()) return all_bytes();
        const unsigned char c = take();
        switch (c) {
            case 'd': return digits();
            case 'D': return ~digits();
            case 's': return spaces();
            case 'S': return ~spaces();
            case 'w': return word();
            case 'W': return ~word();
            case 'n': return one('\n');
            case 't': return one('\t');
            case 'r': return one('\r');
            case 'f': return one('\f');
            case 'v': return one('\v');
            case 'a': return one('\a');
            case 'b':
            case 'B':
            case 'A':
            case 'z':
                if (in_bracket) return all_bytes();
                return std::nullopt;
            case 'p':
            case 'P':
                if (peek() == '{') {
                    while (more() && take() != '}') {
                    }
                } else if (more()) {
                    ++pos_;
                }
                return all_bytes();
            case 'x': {
                std::uint32_t value = 0;
                if (peek() == '{') {
                    ++pos_;
                    while (more() && peek() != '}') value = value * 16 + hex(take());
                    if (more()) ++pos_;
                } else {
                    for (int i = 0; i < 2 && more(); ++i) value = value * 16 + hex(take());
                }
                return value < 128 ? one(static_cast<int>(value)) : high_bytes();
            }
            default:
                if (c >= '0' && c <= '7') {  // octal
                    std::uint32_t value = c - '0';
                    for (int i = 0; i < 2 && peek() >= '0' && peek() <= '7'; ++i) value = value * 8 + (take() - '0');
                    return value < 128 ? one(static_cast<int>(value)) : high_bytes();
                }
                if (c >= 128) {
                    rest_of_character();
                    return high_bytes();
                }
                if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return all_bytes();  // not known here
                return one(c);  // an escaped punctuation character
        }
    }

    static std::uint32_t hex(unsigned char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return 0;
    }

    // One member of a bracket: a character's value (-1 beyond ASCII) and,
    // for a class, its bytes.
    struct Member {
        int value;
        Bytes bytes;
    };

    Member member() {
        const unsigned char c = take();
        if (c == '\\') {
            const std::size_t at = pos_;
            const Bytes bytes = escape(true).value_or(all_bytes());
            // A single character escaped (\-, \], \x41, \n) can bound a range.
            if (bytes.count() == 1) {
                for (int v = 0; v < 128; ++v)
                    if (bytes[static_cast<std::size_t>(v)]) return {v, bytes};
            }
            (void)at;
            return {-1, bytes};
        }
        if (c == '[' && peek() == ':') {  // [:alpha:]
            const auto close = text_.find(":]", pos_);
            if (close != std::string_view::npos) {
                pos_ = close + 2;
                return {-1, all_bytes().reset('\n')};
            }
        }
        if (c >= 128) {
            rest_of_character();
            return {-1, high_bytes()};
        }
        return {c, one(c)};
    }

    Bytes bracket(Flags flags) {
        bool negated = false;
        if (peek() == '^') {
            negated = true;
            ++pos_;
        }
        Bytes bytes;
        bool first = true;
        while (more() && (first || peek() != ']')) {
            first = false;
            const Member lo = member();
            if (peek() == '-' && pos_ + 1 < text_.size() && text_[pos_ + 1] != ']') {
                ++pos_;
                const Member hi = member();
                if (lo.value >= 0 && hi.value >= 0) {
                    bytes |= range(lo.value, hi.value);
                } else {
                    // A range with an end beyond ASCII: all of ASCII from its
                    // start, and the bytes beyond.
                    bytes |= range(lo.value >= 0 ? lo.value : 0, 127) | high_bytes();
                }
                continue;
            }
            bytes |= lo.bytes;
        }
        if (more()) ++pos_;  // ']'
        if (flags.fold) bytes = fold(bytes);
        return negated ? ~bytes : bytes;
    }

    void quantifier(Item& item) {
        if (item.kind == Item::Kind::assertion) return;
        const char q = peek();
        if (q == '*' || q == '+' || q == '?') {
            ++pos_;
            item.min = q == '+' ? 1 : 0;
            item.max = q == '?' ? std::optional<std::uint32_t>(1) : std::nullopt;
        } else if (q == '{') {
            // {n}, {n,}, {n,m}; anything else is a literal `{` RE2 accepted.
            std::size_t p = pos_ + 1;
            auto number = [&](std::uint32_t& out) {
                const std::size_t from = p;
                out = 0;
                while (p < text_.size() && text_[p] >= '0' && text_[p] <= '9' && out < 100000)
                    out = out * 10 + static_cast<std::uint32_t>(text_[p++] - '0');
                return p > from;
            };
            std::uint32_t lo = 0, hi = 0;
            if (!number(lo)) return;
            const bool open = p < text_.size() && text_[p] == ',';
            if (open) ++p;
            const bool closed = open && number(hi);
            const std::optional<std::uint32_t> upper =
                !open ? std::optional<std::uint32_t>(lo) : closed ? std::optional<std::uint32_t>(hi) : std::nullopt;
            if (p >= text_.size() || text_[p] != '}') return;
            pos_ = p + 1;
            item.min = lo;
            item.max = upper;
        } else {
            return;
        }
        if (peek() == '?') ++pos_;  // lazy: the same positions
        item.end = pos_;
    }

    std::string_view text_;
    std::size_t pos_ = 0;
};

// log2 of the growth per byte of the sets of starts at least `period` bytes
// apart: the root of x^p = x^(p-1) + 1 (1 bit for p = 1, 0.69 for 2, ...).
double bits_per_byte(std::size_t period) {
    if (period <= 1) return 1.0;
    double lo = 1.0, hi = 2.0;
    for (int i = 0; i < 60; ++i) {
        const double x = (lo + hi) / 2;
        const double f = std::pow(x, static_cast<double>(period)) - std::pow(x, static_cast<double>(period - 1)) - 1;
        (f > 0 ? hi : lo) = x;
    }
    return std::log2(lo);
}

// The fixed run of positions a sequence has right before its item `index`
// (at most `limit` of them), nearest last; assertions take no byte and are
// passed over. `wrap` continues from the sequence's end, for the previous
// round of a repeated group.
std::vector<Bytes> fixed_run_before(const Sequence& seq, std::size_t index, bool wrap, const std::vector<Bytes>& outer) {
    constexpr std::size_t limit = 16;
    std::vector<Bytes> run;  // nearest first
    const std::size_t n = seq.size();
    for (std::size_t step = 1; step <= (wrap ? n : index); ++step) {
        const Item& item = seq[(index + n - step) % n];
        if (item.kind == Item::Kind::assertion) continue;
        if (item.kind != Item::Kind::position || item.min == 0) return {run.rbegin(), run.rend()};
        if (!item.max || item.min != *item.max) {
            // Of `\s+` or `[a-z]{2,5}` only the nearest byte is certain.
            run.push_back(item.bytes);
            return {run.rbegin(), run.rend()};
        }
        for (std::uint32_t i = 0; i < item.min && run.size() < limit; ++i) run.push_back(item.bytes);
        if (run.size() >= limit) return {run.rbegin(), run.rend()};
    }
    if (!wrap) {  // the run continues into what came before the group
        for (auto it = outer.rbegin(); it != outer.rend() && run.size() < limit; ++it) run.push_back(*it);
    }
    return {run.rbegin(), run.rend()};
}

// The shortest distance at which two occurrences of `run` can overlap, each
// position of one matching a byte the other's position there allows.
std::size_t period_of(const std::vector<Bytes>& run) {
    const std::size_t n = run.size();
    for (std::size_t shift = 1; shift < n; ++shift) {
        bool overlaps = true;
        for (std::size_t j = 0; j + shift < n && overlaps; ++j) overlaps = (run[j] & run[j + shift]).any();
        if (overlaps) return shift;
    }
    return n == 0 ? 1 : n;
}

class Estimate {
public:
    explicit Estimate(std::string_view pattern) : pattern_(pattern) {}

    // `start`: nothing can come before (the pattern's beginning, or an
    // alternative of it); `tail`: nothing comes after; `rounds`: how many
    // times an enclosing counted group repeats it; `outer`: the fixed run
    // before the enclosing group.
    void alternatives(const std::vector<Sequence>& alts, bool start, bool tail, double rounds,
                      const std::vector<Bytes>& outer) {
        for (const Sequence& seq : alts) sequence(seq, start, tail, rounds, outer, false);
    }

    PatternStates result() const { return result_; }

private:
    void sequence(const Sequence& seq, bool start, bool tail, double rounds, const std::vector<Bytes>& outer,
                  bool round_of_group) {
        for (std::size_t i = 0; i < seq.size(); ++i) {
            const Item& item = seq[i];
            if (item.kind == Item::Kind::assertion) continue;
            const bool last = tail && i + 1 == seq.size();
            if (item.kind == Item::Kind::group) {
                const bool counted = item.repeated();
                const double times = counted ? upper(item, false) : 1;
                const auto before = fixed_run_before(seq, i, false, outer);
                for (const Sequence& inner : item.alternatives) {
                    sequence(inner, start && !counted, last && !counted, rounds * times, before, counted);
                }
            } else if ((item.repeated() || rounds > 1) && item.bytes.count() > 1) {
                position(seq, i, start, last, rounds, outer, round_of_group);
            }
            start = false;
        }
    }

    // The most of `item` one match can hold: its upper bound, or its lower
    // bound where nothing follows it (the search stops at the first match),
    // or where it is unbounded (past its lower bound it is one loop).
    static double upper(const Item& item, bool last) {
        if (last || !item.max) return std::max<std::uint32_t>(item.min, 1);
        return *item.max;
    }

    void position(const Sequence& seq, std::size_t i, bool start, bool last, double rounds,
                  const std::vector<Bytes>& outer, bool round_of_group) {
        const Item& item = seq[i];
        const double count = item.repeated() ? upper(item, last && rounds == 1) : 1;
        double bits = 0;
        if (!start || round_of_group) {
            // The first round is preceded by what comes before; later rounds
            // of a group, by the end of its previous round.
            const double first = count * bits_after(fixed_run_before(seq, i, false, outer), item.bytes);
            bits = first;
            if (round_of_group && rounds > 1) {
                bits += (rounds - 1) * count * bits_after(fixed_run_before(seq, i, true, outer), item.bytes);
            } else {
                bits *= rounds;
            }
            if (start && !round_of_group) bits = 0;
        }
        result_.bits += bits;
        if (bits > best_) {
            best_ = bits;
            result_.at = item.begin;
            result_.repetition = pattern_.substr(item.begin, item.end - item.begin);
        }
    }

    // Bits per byte of a repetition of `bytes` right after the fixed `run`.
    static double bits_after(const std::vector<Bytes>& run, const Bytes& bytes) {
        for (const Bytes& b : run)
            if ((b & bytes).none()) return 0;  // each of these restarts the repetition
        return bits_per_byte(period_of(run));
    }

    std::string_view pattern_;
    PatternStates result_;
    double best_ = 0;
};

}  // namespace

PatternStates estimate_states(std::string_view pattern) {
    Reader reader(pattern);
    const auto alts = reader.alternatives(Flags{});
    Estimate estimate(pattern);
    estimate.alternatives(alts, true, true, 1, {});
    return estimate.result();
}

}  // namespace ostik::detail
