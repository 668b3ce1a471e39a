// An add entry's plain contents, read in pieces whatever the package's
// format: the bytes themselves in an original package, decoded compact data
// in a compact one. For checks that compare a file with what an add writes.
#pragma once

#include <stdint.h>

#include "package/compact_decoder.h"
#include "package/package_file.h"
#include "package/package_records.h"
#include "support/result_code.h"

namespace kzp {

class AddContents {
  public:
    AddContents(PackageFile& package, const FileEntry& entry, HeapHandle heap);

    // Goes to the contents' start: 0, or the error of PackageFile::Seek
    // (0x10002) or CompactReader::Open.
    Result Open();
    // The contents' length (once open).
    uint64_t Size() const { return entry_.compact ? compact_.NewSize() : entry_.dataLength; }
    // Exactly `size` next bytes: 0, 0x10002 (the package cannot be read,
    // the data is damaged or ends before them) or 0x10007.
    Result Read(uint8_t* out, uint32_t size);

  private:
    PackageFile& package_;
    const FileEntry& entry_;
    CompactReader compact_;
};

}  // namespace kzp
