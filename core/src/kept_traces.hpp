// The traces an accumulator keeps whole (an audit's failing traces, a diff's
// changed ones): at most `keep` of them, those with the smallest references,
// in order. Adding or merging keeps the list as one process reading every
// trace in turn would have kept it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

namespace ostik::detail {

// Adds `entry` to `kept` (sorted, at most `keep` long) when it is among the
// `keep` smallest; an equal one already kept stays first.
template <class Trace>
void keep_trace(std::vector<Trace>& kept, std::uint64_t keep, Trace entry) {
    if (kept.size() >= keep && (kept.empty() || !(entry < kept.back()))) return;
    kept.insert(std::upper_bound(kept.begin(), kept.end(), entry), std::move(entry));
    if (kept.size() > keep) kept.pop_back();
}

// The `keep` smallest of two such lists, `a`'s first among equals.
template <class Trace>
std::vector<Trace> merged_kept(const std::vector<Trace>& a, const std::vector<Trace>& b, std::uint64_t keep) {
    std::vector<Trace> merged;
    merged.reserve(std::min<std::uint64_t>(keep, a.size() + b.size()));
    auto x = a.cbegin();
    auto y = b.cbegin();
    while (merged.size() < keep && (x != a.cend() || y != b.cend())) {
        if (y == b.cend() || (x != a.cend() && !(*y < *x))) {
            merged.push_back(*x++);
        } else {
            merged.push_back(*y++);
        }
    }
    return merged;
}

}  // namespace ostik::detail
