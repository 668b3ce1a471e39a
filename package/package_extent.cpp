#include "package/package_extent.h"

#include "package/package_layout.h"

namespace kzp {
namespace {

constexpr uint32_t kPeHeaderPointer = 0x3C;
constexpr uint32_t kCoffHeaderSize = 20;
constexpr uint16_t kPe32Magic = 0x10B;
constexpr uint16_t kPe32PlusMagic = 0x20B;
constexpr uint32_t kSecurityDirectory = 4;

bool ReadU32At(PackageFile& file, uint32_t offset, uint32_t* value) {
    return file.Seek(offset) && file.ReadU32(value);
}

}  // namespace

uint32_t FindPackageEnd(PackageFile& file, uint32_t fileSize) {
    uint32_t peOffset = 0;
    uint32_t signature = 0;
    if (!ReadU32At(file, kPeHeaderPointer, &peOffset) || peOffset >= kPackageOffset ||
        !ReadU32At(file, peOffset, &signature) || signature != 0x00004550) {  // "PE\0\0"
        return fileSize;
    }
    const uint32_t optionalHeader = peOffset + 4 + kCoffHeaderSize;
    uint16_t magic = 0;
    if (!file.Seek(optionalHeader) || !file.ReadU16(&magic)) return fileSize;
    uint32_t directories;
    if (magic == kPe32Magic) {
        directories = optionalHeader + 96;
    } else if (magic == kPe32PlusMagic) {
        directories = optionalHeader + 112;
    } else {
        return fileSize;
    }
    uint32_t directoryCount = 0;
    uint32_t tableOffset = 0;
    uint32_t tableSize = 0;
    if (!ReadU32At(file, directories - 4, &directoryCount) ||
        directoryCount <= kSecurityDirectory ||
        !ReadU32At(file, directories + 8 * kSecurityDirectory, &tableOffset) ||
        !file.ReadU32(&tableSize)) {
        return fileSize;
    }
    // Only a table that lies behind the package and ends the file counts; the
    // security directory holds a file offset, not an address.
    if (tableSize == 0 || tableOffset < kPackageOffset || tableOffset > fileSize ||
        fileSize - tableOffset != tableSize) {
        return fileSize;
    }
    return tableOffset;
}

}  // namespace kzp
