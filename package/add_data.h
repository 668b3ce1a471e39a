// An add entry's contents as the new file holds them, read front to back in
// pieces: for comparing a file on disk with what the add writes.
#pragma once

#include <stdint.h>

#include "package/package_file.h"
#include "package/package_records.h"

namespace kzp {

class AddDataReader {
  public:
    AddDataReader(PackageFile& package, const FileEntry& entry)
        : package_(package), entry_(entry) {}

    // The size of the file the add writes.
    uint64_t Length() const { return entry_.dataLength; }
    // Goes to the first byte; false when the package cannot be read there.
    bool Start();
    // The next `size` bytes; false when they cannot be read in full.
    bool Read(void* into, uint32_t size);

  private:
    PackageFile& package_;
    const FileEntry& entry_;
};

}  // namespace kzp
