// Counts that accumulators add up across traces, processes and merges. A
// count that would pass 2^64 - 1 is refused rather than wrapped: a wrapped
// count reads as a small one (a failing audit as a clean one), and states
// read from bytes can carry counts up to that limit.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>

namespace ostik::detail {

// "the WHAT count would pass 2**64-1": what a refused addition reports.
inline std::unexpected<std::string> count_overflow(std::string_view what) {
    return std::unexpected("the " + std::string(what) + " count would pass 2**64-1");
}

inline bool sum_fits(std::uint64_t a, std::uint64_t b) {
    std::uint64_t sum;
    return !__builtin_add_overflow(a, b, &sum);
}

// Whether every entry of `a` plus the same entry of `b` fits (the lists are
// the same length, or `b` the shorter).
inline bool sums_fit(std::span<const std::uint64_t> a, std::span<const std::uint64_t> b) {
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
        if (!sum_fits(a[i], b[i])) return false;
    }
    return true;
}

}  // namespace ostik::detail
