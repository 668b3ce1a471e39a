#include "tools/encoder/suffix_array.h"

#include <stdexcept>

namespace kzp::encoder {
namespace {

// Every level works on a text without a stored terminator: the end of the
// text acts as a character smaller than all others. Suffix i is S-type when
// it is smaller than suffix i + 1, L-type otherwise; the last suffix is
// L-type. An LMS position is an S-type position right after an L-type one.

// The bounds of every character's bucket, from `count` when it holds the
// characters' counts, else from a count of the text. The byte level keeps
// its 256 counts: a count of the text before each induce pass took as long
// as the pass. A reduced text, whose alphabet can be a third of its length,
// counts again rather than hold a second array of that size.
template <typename Char>
void Count(const Char* s, int32_t n, int32_t k, std::vector<int32_t>& count) {
    count.assign(static_cast<size_t>(k), 0);
    for (int32_t i = 0; i < n; ++i) ++count[static_cast<size_t>(s[i])];
}

template <typename Char>
void Buckets(const Char* s, int32_t n, int32_t k, const std::vector<int32_t>& count,
             std::vector<int32_t>& bucket, bool ends) {
    if (count.empty()) {
        Count(s, n, k, bucket);
    } else {
        bucket = count;
    }
    int32_t sum = 0;
    for (int32_t c = 0; c < k; ++c) {
        sum += bucket[c];
        bucket[c] = ends ? sum : sum - bucket[c];
    }
}

// The induce passes need the type of j = sa[i] - 1, the suffix before one
// already placed. Its character against the next one's decides it unless
// they are equal, and the next character lies beside it in memory: the type
// array, a cache miss of its own for every suffix, is read only on a tie.
template <typename Char>
void InduceL(const Char* s, int32_t* sa, int32_t n, int32_t k, const std::vector<int32_t>& count,
             const std::vector<uint8_t>& sType, std::vector<int32_t>& bucket) {
    Buckets(s, n, k, count, bucket, false);
    // The end of the text is the smallest suffix; the one before it is L-type.
    sa[bucket[static_cast<size_t>(s[n - 1])]++] = n - 1;
    for (int32_t i = 0; i < n; ++i) {
        if (sa[i] <= 0) continue;
        const int32_t j = sa[i] - 1;
        const bool lType = s[j] > s[j + 1] || (s[j] == s[j + 1] && !sType[j]);
        if (lType) sa[bucket[static_cast<size_t>(s[j])]++] = j;
    }
}

template <typename Char>
void InduceS(const Char* s, int32_t* sa, int32_t n, int32_t k, const std::vector<int32_t>& count,
             const std::vector<uint8_t>& sType, std::vector<int32_t>& bucket) {
    Buckets(s, n, k, count, bucket, true);
    for (int32_t i = n - 1; i >= 0; --i) {
        if (sa[i] <= 0) continue;
        const int32_t j = sa[i] - 1;
        const bool isS = s[j] < s[j + 1] || (s[j] == s[j + 1] && sType[j]);
        if (isS) sa[--bucket[static_cast<size_t>(s[j])]] = j;
    }
}

template <typename Char>
void SaIs(const Char* s, int32_t* sa, int32_t n, int32_t k) {
    if (n == 1) {
        sa[0] = 0;
        return;
    }
    std::vector<uint8_t> sType(static_cast<size_t>(n));
    sType[n - 1] = 0;
    for (int32_t i = n - 2; i >= 0; --i) {
        sType[i] = s[i] < s[i + 1] || (s[i] == s[i + 1] && sType[i + 1]);
    }
    auto isLms = [&](int32_t i) { return i > 0 && sType[i] && !sType[i - 1]; };

    // Sort the LMS substrings: place the LMS positions at their bucket ends
    // and induce.
    std::vector<int32_t> count;
    if (k <= 256) Count(s, n, k, count);
    std::vector<int32_t> bucket;
    for (int32_t i = 0; i < n; ++i) sa[i] = -1;
    Buckets(s, n, k, count, bucket, true);
    for (int32_t i = 1; i < n; ++i) {
        if (isLms(i)) sa[--bucket[static_cast<size_t>(s[i])]] = i;
    }
    InduceL(s, sa, n, k, count, sType, bucket);
    InduceS(s, sa, n, k, count, sType, bucket);

    // Gather the sorted LMS positions at the front and name their substrings.
    int32_t lmsCount = 0;
    for (int32_t i = 0; i < n; ++i) {
        if (isLms(sa[i])) sa[lmsCount++] = sa[i];
    }
    for (int32_t i = lmsCount; i < n; ++i) sa[i] = -1;
    int32_t names = 0;
    int32_t previous = -1;
    for (int32_t i = 0; i < lmsCount; ++i) {
        const int32_t position = sa[i];
        bool differs = previous < 0;
        for (int32_t d = 0; !differs; ++d) {
            if (position + d == n || previous + d == n || s[position + d] != s[previous + d] ||
                sType[position + d] != sType[previous + d]) {
                differs = true;
            } else if (d > 0 && (isLms(position + d) || isLms(previous + d))) {
                break;  // both substrings end here, equal
            }
        }
        if (differs) {
            ++names;
            previous = position;
        }
        // LMS positions are at least two apart, so position / 2 is unique.
        sa[lmsCount + position / 2] = names - 1;
    }
    for (int32_t i = n - 1, j = n - 1; i >= lmsCount; --i) {
        if (sa[i] >= 0) sa[j--] = sa[i];
    }

    // Order the LMS suffixes: by recursion when names repeat.
    int32_t* reduced = sa + n - lmsCount;
    if (names < lmsCount) {
        SaIs<int32_t>(reduced, sa, lmsCount, names);
    } else {
        for (int32_t i = 0; i < lmsCount; ++i) sa[reduced[i]] = i;
    }

    // Map reduced ranks back to positions, place the sorted LMS suffixes at
    // their bucket ends and induce the rest.
    for (int32_t i = 1, j = 0; i < n; ++i) {
        if (isLms(i)) reduced[j++] = i;
    }
    for (int32_t i = 0; i < lmsCount; ++i) sa[i] = reduced[sa[i]];
    for (int32_t i = lmsCount; i < n; ++i) sa[i] = -1;
    Buckets(s, n, k, count, bucket, true);
    for (int32_t i = lmsCount - 1; i >= 0; --i) {
        int32_t j = sa[i];
        sa[i] = -1;
        sa[--bucket[static_cast<size_t>(s[j])]] = j;
    }
    InduceL(s, sa, n, k, count, sType, bucket);
    InduceS(s, sa, n, k, count, sType, bucket);
}

}  // namespace

std::vector<int32_t> BuildSuffixArray(const uint8_t* data, uint32_t size) {
    if (size >= 0x80000000u) throw std::length_error("suffix array input of 2 GiB or more");
    std::vector<int32_t> sa(size);
    if (size > 0) SaIs<uint8_t>(data, sa.data(), static_cast<int32_t>(size), 256);
    return sa;
}

}  // namespace kzp::encoder
