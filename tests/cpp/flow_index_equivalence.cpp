// Randomised checks of the recorded results' index against a plain search
// over every window a result's pieces hold, on text of few letters, so that
// keys are shared by hundreds of windows (crowded) and their filter grows
// many times over: for every string looked for, find() gives exactly what the
// plain search gives, the same result and the same run, or nothing.
//
// The plain search: the first window of the string (from the left) through
// which a run of at least n code points is shared with a piece of a result
// of the flow, counting only the pieces' windows at multiples of the stride;
// of those, the first in the order they were recorded (the earliest result),
// its run as far as the two texts agree within that piece.
#include <algorithm>
#include <cstdio>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "flow_index.hpp"
#include "check_failures.hpp"

using ostik::detail::FlowIndex;

namespace {

// Code points of a string (valid UTF-8), and where each starts, its end last.
struct Points {
    std::vector<char32_t> cps;
    std::vector<std::size_t> at;
};

Points points(const std::string& s) {
    Points p;
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        const std::size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        char32_t cp = len == 1 ? c : c & (0x7F >> len);
        for (std::size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
        p.at.push_back(i);
        p.cps.push_back(cp);
        i += len;
    }
    p.at.push_back(s.size());
    return p;
}

struct Piece {
    std::uint32_t result;
    std::string bytes;
    Points text;
};

std::optional<FlowIndex::Hit> plain_find(const std::vector<Piece>& pieces, const std::vector<std::uint64_t>& feeds,
                                         const Points& text, std::uint64_t n) {
    const std::size_t l = (n + 1) / 2, s = n - l + 1;
    const std::size_t len = text.cps.size();
    if (len < n) return std::nullopt;
    for (std::size_t i = 0; i + l <= len; ++i) {
        for (const Piece& p : pieces) {
            if (!feeds[p.result]) continue;
            const std::vector<char32_t>& q = p.text.cps;
            if (q.size() < n) continue;
            for (std::size_t u = 0; u + l <= q.size(); u += s) {
                if (!std::equal(q.begin() + u, q.begin() + u + l, text.cps.begin() + i)) continue;
                std::size_t k = l;
                while (i + k < len && u + k < q.size() && text.cps[i + k] == q[u + k]) ++k;
                std::size_t j = 0;
                while (j < i && j < u && text.cps[i - j - 1] == q[u - j - 1]) ++j;
                if (j + k >= n) return FlowIndex::Hit{p.result, text.at[i - j], text.at[i + k]};
            }
        }
    }
    return std::nullopt;
}

// Few letters, so that windows recur; two past ASCII (of two and four bytes).
const std::vector<std::string> letters = {"a", "b", "a", "b", " ", "é", "\xF0\x9D\x84\x9E", "c"};

std::string random_text(std::mt19937& rng, std::size_t size, std::size_t alphabet) {
    std::string s;
    for (std::size_t k = 0; k < size; ++k) s += letters[rng() % alphabet];
    return s;
}

}  // namespace

int main() {
    std::mt19937 rng(20261210);
    int found = 0, looked = 0;
    for (int round = 0; round < 1000 && failures == 0; ++round) {
        const std::uint64_t n = 3 + rng() % 10;
        const std::uint32_t flows = 1 + rng() % 3;
        const std::size_t alphabet = round % 3 == 0 ? letters.size() : 2 + rng() % 3;
        FlowIndex index(std::span<const std::uint64_t>(&n, 1), flows);
        std::vector<Piece> pieces;
        std::vector<std::string> texts;
        std::vector<std::vector<std::uint64_t>> masks;
        for (int r = static_cast<int>(rng() % 6); r >= 0; --r) {
            const std::uint64_t mask = 1 + rng() % ((std::uint64_t{1} << flows) - 1);
            masks.push_back({mask});
            const std::uint32_t result = index.add_result(masks.size() - 1, "t", masks.back());
            for (int k = 1 + static_cast<int>(rng() % 3); k > 0; --k) {
                // Now and then a piece recorded before, whole.
                std::string text = !texts.empty() && rng() % 5 == 0 ? texts[rng() % texts.size()]
                                                                    : random_text(rng, rng() % 3000, alphabet);
                index.add_piece(result, text);
                if (!text.empty()) pieces.push_back({result, text, points(text)});
                texts.push_back(std::move(text));
            }
        }
        for (int q = 0; q < 40; ++q) {
            // Runs of recorded text, some of their letters replaced, between
            // a few letters of its own. Now and then a long string, whose
            // runs lie between stretches of a letter no piece has, so that
            // the first is found some hundreds of windows into it.
            const bool long_text = q == 0 && round % 4 == 0;
            std::string text = random_text(rng, rng() % 4, alphabet);
            for (int part = long_text ? 6 : 1 + static_cast<int>(rng() % 3); part > 0; --part) {
                if (pieces.empty()) break;
                if (long_text) text.append(rng() % 300, '~');
                const Piece& piece = pieces[rng() % pieces.size()];
                const Points& p = piece.text;
                std::size_t from = rng() % p.cps.size();
                std::size_t to = std::min(p.cps.size(), from + 1 + rng() % 30);
                // Now and then from a piece's start or to its end, where the
                // text on one side of its first or last windows stops.
                if (const auto edge = rng() % 8; edge == 0) {
                    from = 0;
                    to = std::min(p.cps.size(), 1 + rng() % 30);
                } else if (edge == 1) {
                    to = p.cps.size();
                    from = to - std::min(to, 1 + rng() % 30);
                }
                for (std::size_t k = from; k < to; ++k) {
                    if (rng() % 6 == 0) {
                        text += letters[rng() % alphabet];
                    } else {
                        text.append(piece.bytes, p.at[k], p.at[k + 1] - p.at[k]);
                    }
                }
                text += random_text(rng, rng() % 4, alphabet);
            }
            const Points tp = points(text);
            for (std::uint32_t flow = 0; flow < flows; ++flow) {
                std::vector<std::uint64_t> feeds;
                for (const auto& m : masks) feeds.push_back(m[0] >> flow & 1);
                const auto want = plain_find(pieces, feeds, tp, n);
                const auto got = index.find(text, n, flow);
                ++looked;
                found += want.has_value();
                const bool same = want.has_value() == got.has_value() &&
                                  (!want || (want->result == got->result && want->begin == got->begin && want->end == got->end));
                if (!same) {
                    auto show = [](const std::optional<FlowIndex::Hit>& h) {
                        return h ? "result " + std::to_string(h->result) + " [" + std::to_string(h->begin) + ", " +
                                       std::to_string(h->end) + ")"
                                 : std::string("nothing");
                    };
                    fail("round " + std::to_string(round) + ", min_length " + std::to_string(n) + ", flow " +
                         std::to_string(flow) + ": found " + show(got) + ", the plain search " + show(want) +
                         " in '" + text + "'");
                }
            }
        }
    }
    std::printf("flow index: %d of %d strings share a run, found alike\n", found, looked);
    return failures ? 1 : 0;
}
