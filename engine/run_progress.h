// Which points of a run's progress can explain a folder.
//
// A run applies its entries in one order and changes a file only when it
// comes to its entry, so a run that stopped dead left every entry before the
// one it was at finished, that one in any state, and every entry after it
// untouched. A run that failed is undone by the window's restore, which walks
// the changed entries from the first: one stopped during the restore left the
// first entries untouched again, one in any state, then finished ones up to
// the failed one, in any state, and untouched ones after it. Both are the
// same shape, Before* (any) After* (any) Before*, which is what is matched
// here against what each entry's file can be.
#pragma once

#include <stdint.h>

namespace kzp {

// What an entry's file (and backup) can be, judged by their contents alone.
struct EntryPhases {
    bool before;   // as it was before the run came to the entry
    bool touched;  // being written, or finished (or being restored)
    bool after;    // finished
};

// For one entry: whether some explanation leaves it untouched, and whether
// some explanation has the run touch it.
struct EntryExplanation {
    bool mayBeBefore;
    bool mayBeTouched;
};

// Matches the entries (in the order the run applies them) against every
// point of progress. Returns false when none explains them all; otherwise
// fills `out` (count records). Takes time in proportion to the count.
bool ExplainProgress(const EntryPhases* phases, uint32_t count, EntryExplanation* out,
                     uint32_t* work);

// The size of the `work` array ExplainProgress needs, in elements.
inline uint32_t ExplainProgressWorkSize(uint32_t count) {
    return 4 * (count + 2);
}

}  // namespace kzp
