// Reads an updater file (or a bare package) back into the writer's model,
// with where everything lies and whether it holds together. Every read is
// checked: hostile files give a PackageError, never a crash.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/encoder/compact_encoder.h"
#include "tools/encoder/stream_check.h"
#include "tools/package_writer/package_writer.h"

namespace kzp::tool {

class PackageError : public std::runtime_error {
  public:
    PackageError(const std::string& message, uint64_t offset)
        : std::runtime_error(message), offset(offset) {}
    uint64_t offset;  // from the package start
};

struct InspectedData {
    uint32_t dataOffset = 0;
    uint32_t dataLength = 0;
    bool inside = false;  // the range lies inside the package body
};

struct InspectedPackage {
    uint64_t fileSize = 0;
    uint64_t packageOffset = 0;  // 0x18000 for an updater file, 0 for a bare package
    uint64_t packageEnd = 0;     // end of the package (before a certificate table)
    bool certificateTable = false;
    uint64_t certificateSize = 0;
    uint64_t listsEnd = 0;  // where the data area begins (from the package start)

    // Header fields, sections and entries as read. Streams and contents
    // are not copied; `updateData` and `addData` say where they are.
    writer::Package package;
    std::vector<InspectedData> updateData;
    std::vector<InspectedData> addData;
    std::vector<encoder::StreamCheck> streams;  // one per update entry
    // A compact package (format 130): the header of each update's and each
    // add's compact data (its `streams` entry says only whether it holds).
    bool compact = false;
    std::vector<encoder::CompactHeader> compactUpdates;
    std::vector<encoder::CompactHeader> compactAdds;
    uint64_t oldSizeAssumed = 0;  // the old size the checks used

    writer::Digest storedTrailer{};
    writer::Digest computedTrailer{};
    bool trailerMatches = false;

    // Problems that do not stop reading (data outside the package, bad
    // streams, a trailer that does not match).
    std::vector<std::string> problems;
};

// Where the package of an updater file ends: before a certificate table that
// the image's security directory names and that ends the file; otherwise at
// the end of the file. (The updater's own rule.)
uint64_t PackageEndOf(const uint8_t* file, uint64_t size, uint64_t* certificateSize = nullptr);

// `file` is a whole updater file when it is longer than 0x18000 bytes and
// starts with "MZ"; a bare package (as BuildPackage writes it) otherwise.
InspectedPackage InspectPackage(const std::vector<uint8_t>& file);

// The bytes of update stream `i` or add contents `i` (empty when outside).
const uint8_t* UpdateStreamData(const std::vector<uint8_t>& file, const InspectedPackage& p,
                                size_t i);
const uint8_t* AddData(const std::vector<uint8_t>& file, const InspectedPackage& p, size_t i);

}  // namespace kzp::tool
