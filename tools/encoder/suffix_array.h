// Suffix array construction by induced sorting (SA-IS), linear time.
//
// The diff encoder sorts every suffix of the old file once and then finds,
// for any position of the new file, the longest string the old file holds
// there. Suffix order is plain byte order, a suffix that is a prefix of
// another sorting first.
#pragma once

#include <cstdint>
#include <vector>

namespace kzp::encoder {

// The positions 0..size-1 of `data` ordered by their suffixes. `size` must
// be below 2^31.
std::vector<int32_t> BuildSuffixArray(const uint8_t* data, uint32_t size);

}  // namespace kzp::encoder
