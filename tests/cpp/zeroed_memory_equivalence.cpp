// Checks that the tables' allocator hands out memory equal to value-initialised
// memory: a vector made without values is all zeros, of every size around the
// 256 KiB and 2 MiB where it switches to mappings of its own and to huge
// pages, also when the memory was written and freed just before (as when a
// table grows and a new session takes what the last one freed).
#include <cstdint>
#include <cstdio>
#include <vector>

#include "../../core/src/huge_page_allocator.hpp"
#include "check_failures.hpp"

using ostik::detail::HugePageAllocator;

namespace {

using Slots = std::vector<std::uint64_t, HugePageAllocator<std::uint64_t>>;

bool all_zero(const Slots& s) {
    for (const std::uint64_t v : s) {
        if (v) return false;
    }
    return true;
}

}  // namespace

int main() {
    constexpr std::size_t huge = HugePageAllocator<std::uint64_t>::huge;
    constexpr std::size_t huge_words = huge / sizeof(std::uint64_t);
    constexpr std::size_t mapped_words = HugePageAllocator<std::uint64_t>::mapped / sizeof(std::uint64_t);
    const std::size_t sizes[] = {1,          1000,          mapped_words - 1, mapped_words, mapped_words + 1,
                                 huge_words - 1, huge_words, huge_words + 1, 3 * huge_words + 7};
    std::size_t made = 0;
    for (int round = 0; round < 4; ++round) {
        for (const std::size_t n : sizes) {
            Slots s(n);
            ++made;
            if (s.size() != n || !all_zero(s)) fail("a table of " + std::to_string(n) + " words is not all zeros");
            if (n * sizeof(std::uint64_t) >= huge && reinterpret_cast<std::uintptr_t>(s.data()) % huge != 0) {
                fail("a table of " + std::to_string(n) + " words is not aligned to 2 MiB");
            }
            // Dirtied, then freed for the next to take.
            for (std::uint64_t& v : s) v = ~std::uint64_t{0};
        }
    }
    if (failures == 0) std::printf("zeroed_memory_equivalence: %zu tables, all zeros: ok\n", made);
    return failures ? 1 : 0;
}
