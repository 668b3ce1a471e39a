#include "engine/run_progress.h"

namespace kzp {

// A point of progress is a pair j <= k: entries before j untouched, entry j
// in any state, entries between j and k finished, entry k in any state,
// entries after k untouched. Rather than trying every pair, each question
// below is answered from running counts.
bool ExplainProgress(const EntryPhases* phases, uint32_t count, EntryExplanation* out,
                     uint32_t* work) {
    const uint32_t n = count;
    const uint32_t none = n;  // "no such index"
    auto possible = [&](uint32_t e) { return phases[e].before || phases[e].touched; };

    // The first and last entries that cannot be untouched: every point of
    // progress has j at or before the first and k at or after the last.
    uint32_t firstNotBefore = none;
    uint32_t lastNotBefore = none;
    for (uint32_t e = 0; e < n; ++e) {
        if (phases[e].before) continue;
        if (firstNotBefore == none) firstNotBefore = e;
        lastNotBefore = e;
    }
    const uint32_t lowestK = lastNotBefore == none ? 0 : lastNotBefore;

    uint32_t* possibleBelow = work;                   // [i]: possible entries in [0, i)
    uint32_t* startsBelow = work + (n + 1);           // [i]: entries in [0, i) that may be j
    uint32_t* nextNotAfter = work + 2 * (n + 1);      // first index > e not finished
    uint32_t* nextPossible = work + 3 * (n + 1) - 1;  // first possible index >= e
    possibleBelow[0] = 0;
    startsBelow[0] = 0;
    for (uint32_t e = 0; e < n; ++e) {
        const bool mayStart = possible(e) && (firstNotBefore == none || e <= firstNotBefore);
        possibleBelow[e + 1] = possibleBelow[e] + (possible(e) ? 1 : 0);
        startsBelow[e + 1] = startsBelow[e] + (mayStart ? 1 : 0);
    }
    nextPossible[n] = none;
    for (uint32_t e = n; e-- > 0;) {
        nextNotAfter[e] = e + 1 < n && !phases[e + 1].after ? e + 1
                          : e + 1 < n                       ? nextNotAfter[e + 1]
                                                            : none;
        nextPossible[e] = possible(e) ? e : nextPossible[e + 1];
    }
    auto possibleIn = [&](uint32_t lo, uint32_t hi) {  // inclusive; hi may be `none`
        if (hi >= n) hi = n - 1;
        return lo <= hi && possibleBelow[hi + 1] > possibleBelow[lo];
    };
    auto startIn = [&](uint32_t lo, uint32_t hi) {
        return lo <= hi && hi < n && startsBelow[hi + 1] > startsBelow[lo];
    };
    auto mayStart = [&](uint32_t j) { return startsBelow[j + 1] > startsBelow[j]; };
    // The smallest k that j can pair with, or `none`.
    auto firstEnd = [&](uint32_t j) {
        const uint32_t lo = j > lowestK ? j : lowestK;
        if (lo >= n) return none;
        const uint32_t k = nextPossible[lo];
        const uint32_t hi = nextNotAfter[j];
        return k != none && (hi == none || k <= hi) ? k : none;
    };

    // Which j pair with some k; the smallest k of all pairs.
    bool anyValid = false;
    uint32_t smallestK = none;
    for (uint32_t j = 0; j < n; ++j) {
        const uint32_t k = mayStart(j) ? firstEnd(j) : none;
        out[j].mayBeBefore = false;
        out[j].mayBeTouched = k != none;  // for now: j is a valid start
        if (k == none) continue;
        anyValid = true;
        if (k < smallestK) smallestK = k;
    }
    if (!anyValid) return false;

    bool validStartAfter = false;  // some valid j beyond the entry
    for (uint32_t e = n; e-- > 0;) {
        const bool validStart = out[e].mayBeTouched;
        out[e].mayBeBefore = validStartAfter || (smallestK != none && smallestK < e) ||
                             (validStart && phases[e].before);
        out[e].mayBeTouched = validStart && phases[e].touched;
        if (validStart) validStartAfter = true;
    }
    // Entry e as k (any state), or strictly between j and k (finished). A
    // pair reaching over e has its j no earlier than the last entry before e
    // that is not finished.
    uint32_t lastNotAfter = none;
    for (uint32_t e = 0; e < n; ++e) {
        const uint32_t from = lastNotAfter == none ? 0 : lastNotAfter;
        if (e >= lowestK && possible(e) && startIn(from, e)) {
            if (phases[e].before) out[e].mayBeBefore = true;
            if (phases[e].touched) out[e].mayBeTouched = true;
        }
        if (phases[e].after && e > 0 && startIn(from, e - 1) &&
            possibleIn(e + 1 > lowestK ? e + 1 : lowestK, nextNotAfter[e])) {
            out[e].mayBeTouched = true;
        }
        if (!phases[e].after) lastNotAfter = e;
    }
    return true;
}

}  // namespace kzp
