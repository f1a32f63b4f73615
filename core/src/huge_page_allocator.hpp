// An allocator for large arrays read at random places (hash tables): from
// 2 MiB on, it hands out memory aligned to 2 MiB and asks the kernel for huge
// pages there. A table of tens of MiB in 4 KiB pages misses the TLB on almost
// every access, and each miss walks the page tables before the slot can even
// be fetched; huge pages also make zeroing a fresh table a few page faults
// instead of thousands. The advice may be ignored, and then nothing changes.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace ostik::detail {

template <class T>
struct HugePageAllocator {
    using value_type = T;
    static constexpr std::size_t huge = std::size_t{2} << 20;

    HugePageAllocator() = default;
    template <class U>
    HugePageAllocator(const HugePageAllocator<U>&) {}

    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
        const std::size_t bytes = n * sizeof(T);
        void* p = nullptr;
        if (bytes >= huge) {
            const std::size_t rounded = (bytes + huge - 1) & ~(huge - 1);
            p = std::aligned_alloc(huge, rounded);
#if defined(MADV_HUGEPAGE)
            if (p) ::madvise(p, rounded, MADV_HUGEPAGE);
#endif
        } else {
            p = std::malloc(bytes ? bytes : 1);
        }
        if (!p) throw std::bad_alloc();
        return static_cast<T*>(p);
    }
    void deallocate(T* p, std::size_t) noexcept { std::free(p); }

    template <class U>
    bool operator==(const HugePageAllocator<U>&) const {
        return true;
    }
};

}  // namespace ostik::detail
