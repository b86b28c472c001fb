// Launch geometry shared by every kernel of the library.
#pragma once

#include <cstddef>

namespace roughgc::detail {

// Grid extent for `extent` elements in blocks of `block`: always one block
// more than the truncating quotient, as every launch of the library does.
inline unsigned int gridExtent(size_t extent, unsigned int block) {
    return static_cast<unsigned int>(extent / block + 1);
}

// The largest extent whose grid a GPU still accepts in y (65535 blocks) for
// blocks of `block` rows. The entry points' size limits follow from it.
constexpr size_t maxGridRows(unsigned int block) { return size_t{65535} * block - 1; }

}  // namespace roughgc::detail
