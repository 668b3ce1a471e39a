#include "package/add_data.h"

#include "package/package_layout.h"

namespace kzp {

bool AddDataReader::Start() {
    // Computed in 64 bits, as every data offset is.
    return package_.Seek(static_cast<uint64_t>(kPackageOffset) + entry_.dataOffset);
}

bool AddDataReader::Read(void* into, uint32_t size) {
    return package_.Read(into, size);
}

}  // namespace kzp
