#include "package/trailer.h"

#include "package/package_layout.h"
#include "support/md5.h"
#include "support/text.h"

namespace kzp {

constexpr uint32_t kTrailerChunk = 512;

Result VerifyPackageTrailer(PackageFile& file, uint32_t packageLength, DecodeContext& context) {
    const uint32_t start = file.Tell();
    if (start == kInvalidFileValue) return kErrorReadPackage;
    // A package shorter than its trailer cannot hold one.
    if (packageLength < kTrailerSize) return kErrorReadPackage;

    Md5Context md5;
    Md5Init(&md5);
    Result result = kResultOk;
    uint32_t remaining = packageLength - kTrailerSize;
    if (context.Cancelled()) {
        result = kResultCancelled;
    } else {
        uint8_t chunk[kTrailerChunk];
        while (remaining > 0) {
            uint32_t size = remaining < kTrailerChunk ? remaining : kTrailerChunk;
            // Hashed where the read-ahead holds it, copied only otherwise.
            const uint8_t* data = nullptr;
            if (!file.Peek(size, &data) || (data == nullptr && !file.Read(chunk, size))) {
                result = kErrorReadPackage;
                break;
            }
            Md5Update(&md5, data != nullptr ? data : chunk, size);
            remaining -= size;
            if (remaining > 0 && context.Cancelled()) {
                result = kResultCancelled;
                break;
            }
        }
    }
    uint8_t digest[16];
    Md5Final(digest, &md5);
    if (result != kResultOk) return result;

    uint8_t trailer[kTrailerSize];
    if (!file.Read(trailer, kTrailerSize)) return kErrorReadPackage;
    if (!DigestsEqual(digest, trailer)) return kErrorTampered;
    if (!file.Seek(start)) return kErrorReadPackage;
    return kResultOk;
}

bool CheckPassword(const char* typed, const uint8_t passwordDigest[16]) {
    uint8_t digest[16];
    Md5Digest(typed, static_cast<uint32_t>(TextLength(typed)), digest);
    return DigestsEqual(digest, passwordDigest);
}

}  // namespace kzp
