// An allocator for large arrays read at random places (hash tables): from
// 2 MiB on, it maps memory aligned to 2 MiB and asks the kernel for huge
// pages there. A table of tens of MiB in 4 KiB pages misses the TLB on almost
// every access, and each miss walks the page tables before the slot can even
// be fetched; huge pages also make zeroing a fresh table a few page faults
// instead of thousands. The advice may be ignored, and then nothing changes.
// From 256 KiB on, memory is mapped of its own in small pages, so that a
// table that grew past it goes back to the kernel, not to the heap: a
// session's tables grow by doubling, and the heap keeps what they leave.
//
// The memory it hands out is zeroed, and an element made without a value is
// left as that memory has it, so `std::vector<T, HugePageAllocator<T>>(n)`
// of a type for which all-zero bytes are zero is n zeros without a pass over
// them: the kernel's fresh pages are zero already. Only a vector made anew is
// (one resized back up after shrinking keeps what was there).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace ostik::detail {

template <class T>
struct HugePageAllocator {
    using value_type = T;
    static constexpr std::size_t huge = std::size_t{2} << 20;
    // From this size on (Linux), memory is mapped of its own.
    static constexpr std::size_t mapped = std::size_t{256} << 10;

    HugePageAllocator() = default;
    template <class U>
    HugePageAllocator(const HugePageAllocator<U>&) {}

    T* allocate(std::size_t n) {
        if (n > (static_cast<std::size_t>(-1) - 2 * huge) / sizeof(T)) throw std::bad_array_new_length();
        const std::size_t bytes = n * sizeof(T);
#if defined(__linux__)
        if (bytes >= mapped && bytes < huge) {
            // Mapped too, in small pages: freed, it goes back to the kernel
            // (the heap may keep it, for other allocations to reuse).
            void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (p == MAP_FAILED) throw std::bad_alloc();
            return static_cast<T*>(p);
        }
#endif
        if (bytes < huge) {
            void* p = std::calloc(bytes ? bytes : 1, 1);
            if (!p) throw std::bad_alloc();
            return static_cast<T*>(p);
        }
        const std::size_t rounded = round_up(bytes);
#if defined(__linux__)
        // One huge page more than needed, then the ends trimmed so that the
        // start is aligned: fresh pages, all zero.
        void* raw = ::mmap(nullptr, rounded + huge, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (raw == MAP_FAILED) throw std::bad_alloc();
        const auto start = reinterpret_cast<std::uintptr_t>(raw);
        const std::uintptr_t aligned = (start + huge - 1) & ~(std::uintptr_t{huge} - 1);
        if (aligned > start) ::munmap(raw, aligned - start);
        if (const std::size_t tail = start + rounded + huge - (aligned + rounded)) {
            ::munmap(reinterpret_cast<void*>(aligned + rounded), tail);
        }
        void* p = reinterpret_cast<void*>(aligned);
#if defined(MADV_HUGEPAGE)
        ::madvise(p, rounded, MADV_HUGEPAGE);
#endif
#else
        void* p = std::aligned_alloc(huge, rounded);
        if (!p) throw std::bad_alloc();
        std::memset(p, 0, rounded);
#endif
        return static_cast<T*>(p);
    }

    void deallocate(T* p, std::size_t n) noexcept {
        const std::size_t bytes = n * sizeof(T);
#if defined(__linux__)
        if (bytes >= huge) {
            ::munmap(p, round_up(bytes));
            return;
        }
        if (bytes >= mapped) {
            ::munmap(p, bytes);
            return;
        }
#endif
        std::free(p);
    }

    // Made without a value: left as the zeroed memory has it.
    template <class U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }

    template <class U>
    bool operator==(const HugePageAllocator<U>&) const {
        return true;
    }

private:
    static std::size_t round_up(std::size_t bytes) { return (bytes + huge - 1) & ~(huge - 1); }
};

}  // namespace ostik::detail
