// Numbers read from bytes, the first byte lowest, on every platform: what the
// hashes of texts are made of.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace ostik::detail {

// The sizeof(Word) bytes at `p` (4 or 8) as a number, the first lowest.
template <class Word>
inline std::uint64_t load_le(const void* p) {
    Word w;
    std::memcpy(&w, p, sizeof w);
    if constexpr (std::endian::native == std::endian::big) w = std::byteswap(w);
    return w;
}

}  // namespace ostik::detail
