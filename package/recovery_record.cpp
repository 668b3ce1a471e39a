#include "package/recovery_record.h"

#include <string.h>

#include "package/package_layout.h"

namespace kzp {

namespace {

// The footer: update count, add count, body length, magic.
bool ReadFooter(PackageFile& file, uint32_t trailerStart, uint32_t* updateCount, uint32_t* addCount,
                uint32_t* bodyLength) {
    if (trailerStart < kPackageOffset + kRecoveryFooterSize) return false;
    if (!file.Seek(trailerStart - kRecoveryFooterSize)) return false;
    char magic[sizeof(kRecoveryMagic)];
    if (!file.ReadU32(updateCount) || !file.ReadU32(addCount) || !file.ReadU32(bodyLength) ||
        !file.Read(magic, sizeof(magic))) {
        return false;
    }
    return memcmp(magic, kRecoveryMagic, sizeof(magic)) == 0;
}

bool ReadBody(PackageFile& file, RecoveryRecord* record, uint32_t bodyLength) {
    uint32_t used = 0;
    for (uint32_t i = 0; i < record->updateCount; ++i) {
        if (bodyLength - used < 16 || !file.Read(record->updatedDigests[i], 16)) return false;
        used += 16;
    }
    for (uint32_t i = 0; i < record->addCount; ++i) {
        ReplacedFile& r = record->replaced[i];
        if (bodyLength - used < 1 || !file.ReadU8(&r.present) || r.present > 1) return false;
        used += 1;
        if (r.present == 0) continue;
        if (bodyLength - used < 16 || !file.Read(r.digest, 16)) return false;
        used += 16;
    }
    return used == bodyLength;
}

}  // namespace

bool ReadRecoveryRecord(PackageFile& file, uint32_t trailerStart, uint32_t updateCount,
                        uint32_t addCount, HeapHandle heap, RecoveryRecord* record) {
    *record = RecoveryRecord{};
    uint32_t updates = 0;
    uint32_t adds = 0;
    uint32_t bodyLength = 0;
    if (!ReadFooter(file, trailerStart, &updates, &adds, &bodyLength)) return false;
    if (updates != updateCount || adds != addCount) return false;
    const uint32_t footerStart = trailerStart - kRecoveryFooterSize;
    if (bodyLength > footerStart - kPackageOffset) return false;
    // The smallest body the counts allow must fit the length given.
    if (static_cast<uint64_t>(updates) * 16 + adds > bodyLength) return false;

    Os& os = TheOs();
    record->updateCount = updates;
    record->addCount = adds;
    if (updates > 0) {
        record->updatedDigests =
            static_cast<uint8_t(*)[16]>(os.HeapAllocZero(heap, static_cast<size_t>(updates) * 16));
    }
    if (adds > 0) {
        record->replaced = static_cast<ReplacedFile*>(
            os.HeapAllocZero(heap, static_cast<size_t>(adds) * sizeof(ReplacedFile)));
    }
    const bool allocated = (updates == 0 || record->updatedDigests != nullptr) &&
                           (adds == 0 || record->replaced != nullptr);
    if (!allocated || !file.Seek(footerStart - bodyLength) || !ReadBody(file, record, bodyLength)) {
        ReleaseRecoveryRecord(heap, record);
        return false;
    }
    return true;
}

void ReleaseRecoveryRecord(HeapHandle heap, RecoveryRecord* record) {
    Os& os = TheOs();
    if (record->updatedDigests != nullptr) os.HeapFree(heap, record->updatedDigests);
    if (record->replaced != nullptr) os.HeapFree(heap, record->replaced);
    *record = RecoveryRecord{};
}

}  // namespace kzp
