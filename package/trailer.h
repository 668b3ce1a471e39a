// The integrity trailer (MD5 of the package body in the last 16 bytes of the
// file) and the password digest.
#pragma once

#include <stdint.h>

#include "package/decode_context.h"
#include "package/package_file.h"
#include "support/result_code.h"

namespace kzp {

// Recomputes the digest of the package body in 512-byte chunks from the
// current position (the package offset) and compares it with the trailer,
// polling the context's cancel flag between chunks.
// 0 (the file position is back where it was), 1 (cancelled), 0x10002 (read or
// seek error) or 0x10010 (the trailer does not match).
Result VerifyPackageTrailer(PackageFile& file, uint32_t packageLength, DecodeContext& context);

// True when the MD5 digest of the typed text (without terminator) equals the
// package's password digest.
bool CheckPassword(const char* typed, const uint8_t passwordDigest[16]);

}  // namespace kzp
