// The recovery record at the end of a package's data area: what kzp recover
// needs to tell the files an interrupted run wrote from the user's own. The
// updater never reads it, and packages from other makers may lack it.
#pragma once

#include <stdint.h>

#include "package/package_file.h"
#include "platform/os.h"

namespace kzp {

struct ReplacedFile {
    uint8_t present;  // 1: the old release has a file at the add's name
    uint8_t digest[16];
};

struct RecoveryRecord {
    uint32_t updateCount;
    uint32_t addCount;
    uint8_t (*updatedDigests)[16];  // updateCount digests, from the heap
    ReplacedFile* replaced;         // addCount records, from the heap
};

// Reads the record that ends just before `trailerStart` (a file offset).
// Returns false, with the record empty, when there is none or it does not
// hold together (counts other than the lists', lengths that do not add up);
// the caller then goes without it.
bool ReadRecoveryRecord(PackageFile& file, uint32_t trailerStart, uint32_t updateCount,
                        uint32_t addCount, HeapHandle heap, RecoveryRecord* record);
void ReleaseRecoveryRecord(HeapHandle heap, RecoveryRecord* record);

}  // namespace kzp
