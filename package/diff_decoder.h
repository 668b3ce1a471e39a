// The diff stream decoder: rebuilds the new version of a file from its old
// version and the entry's copy/insert stream.
#pragma once

#include "package/decode_context.h"
#include "package/package_file.h"
#include "package/package_records.h"
#include "support/result_code.h"

namespace kzp {

// Block sizes up to this are given a work buffer of their full size. A larger
// block (the header does not bound it) is moved through a buffer of this size
// in pieces, so that a damaged header cannot make the updater take gigabytes.
constexpr uint32_t kMaxWorkBuffer = 16u * 1024u * 1024u;

// Decodes the stream at 0x18000 + entry.dataOffset of the package, reading
// old data from `oldFile` and writing the new file front to back into
// `newFile`; reports per-file progress to `context` (after each opcode, and
// once at the end) and polls its cancel flag; on success stamps the new file
// with entry.fileTime. Neither handle is closed. Returns 0, 1 (cancelled),
// 0x10002, 0x10007, 0x1000D, 0x1000E or 0x1000F.
Result ApplyDiffStream(PackageFile& package, const FileEntry& entry, FileHandle oldFile,
                       FileHandle newFile, DecodeContext& context);

// The MD5 and size of the file that ApplyDiffStream would write, in the same
// memory and without writing anything: what kzp recover compares a file with
// when the package does not say what an update builds. Returns what
// ApplyDiffStream would return (0x1000D never, nothing being written).
Result DigestRebuiltFile(PackageFile& package, const FileEntry& entry, FileHandle oldFile,
                         DecodeContext& context, uint8_t digest[16], uint64_t* size);

}  // namespace kzp
