#include "package/add_contents.h"

#include "package/package_layout.h"

namespace kzp {

AddContents::AddContents(PackageFile& package, const FileEntry& entry, HeapHandle heap)
    : package_(package), entry_(entry), compact_(package, kInvalidFile, heap) {}

Result AddContents::Open() {
    if (entry_.compact) return compact_.Open(entry_.dataOffset);
    return package_.Seek(static_cast<uint64_t>(kPackageOffset) + entry_.dataOffset)
               ? kResultOk
               : kErrorReadPackage;
}

Result AddContents::Read(uint8_t* out, uint32_t size) {
    if (!entry_.compact) return package_.Read(out, size) ? kResultOk : kErrorReadPackage;
    while (size > 0) {
        uint32_t got = 0;
        const Result result = compact_.Read(out, size, &got);
        if (result != kResultOk) return result;
        if (got == 0) return kErrorReadPackage;
        out += got;
        size -= got;
    }
    return kResultOk;
}

}  // namespace kzp
