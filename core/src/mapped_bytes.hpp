// Bytes appended at the end and never moved about by growth: from 1 MiB on
// they live in an anonymous mapping that grows by remapping (the kernel moves
// the pages, it copies none), in huge pages where the kernel grants them
// (one page fault per 2 MiB written instead of one per 4 KiB). A std::string that doubles copies all it holds
// each time, and its new block's pages are each faulted in and cleared by the
// kernel before the copy writes them: of megabytes of text, about twice as
// many pages are touched as the text needs, and the copies come on top.
// Elsewhere (no mremap) growth is realloc's.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace ostik::detail {

class MappedBytes {
public:
    MappedBytes() = default;
    MappedBytes(const MappedBytes&) = delete;
    MappedBytes& operator=(const MappedBytes&) = delete;
    ~MappedBytes() { release(); }

    const char* data() const { return data_; }
    std::size_t size() const { return size_; }
    std::string_view view() const { return {data_, size_}; }

    void append(std::string_view text) {
        if (text.empty()) return;
        if (text.size() > capacity_ - size_) grow(size_ + text.size());
        std::memcpy(data_ + size_, text.data(), text.size());
        size_ += text.size();
    }

private:
    static constexpr std::size_t mapped_from = std::size_t{1} << 20;
    static constexpr std::size_t page = 4096;

    void grow(std::size_t need) {
        std::size_t cap = capacity_ ? capacity_ : 256;
        while (cap < need) cap *= 2;
#if defined(__linux__) && defined(MREMAP_MAYMOVE)
        if (cap >= mapped_from) {
            cap = (cap + page - 1) & ~(page - 1);
            void* p = MAP_FAILED;
            if (mapped_) {
                p = ::mremap(data_, capacity_, cap, MREMAP_MAYMOVE);
            } else {
                p = ::mmap(nullptr, cap, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
                if (p != MAP_FAILED && size_) std::memcpy(p, data_, size_);
            }
            if (p == MAP_FAILED) throw std::bad_alloc();
#if defined(MADV_HUGEPAGE)
            ::madvise(p, cap, MADV_HUGEPAGE);
#endif
            if (!mapped_) std::free(data_);
            data_ = static_cast<char*>(p);
            capacity_ = cap;
            mapped_ = true;
            return;
        }
#endif
        void* p = std::realloc(data_, cap);
        if (!p) throw std::bad_alloc();
        data_ = static_cast<char*>(p);
        capacity_ = cap;
    }

    void release() noexcept {
#if defined(__linux__)
        if (mapped_) {
            ::munmap(data_, capacity_);
            return;
        }
#endif
        std::free(data_);
    }

    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    bool mapped_ = false;
};

}  // namespace ostik::detail
