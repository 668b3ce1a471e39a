// The parts of the test platform that only use the seam.
#include "platform/os.h"
#include "tests/support/test_platform.h"

namespace kzp::test {

bool SetFileTimeOf(const std::string& path, uint64_t ticks) {
    Os& os = BaseOs();
    FileHandle f =
        os.CreateFileHandle(path.c_str(), kGenericWrite, kFileShareRead, false, kOpenExisting, 0);
    if (f == kInvalidFile) return false;
    FileTime t{static_cast<uint32_t>(ticks), static_cast<uint32_t>(ticks >> 32)};
    bool ok = os.SetLastWriteTime(f, t);
    os.CloseFile(f);
    return ok;
}

}  // namespace kzp::test
