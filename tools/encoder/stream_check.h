// Checks a diff stream against the rules every stream kzp writes keeps, and
// counts what it holds. Used by the tests and by `kzp info`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "package/package_layout.h"

namespace kzp::encoder {

struct StreamStats {
    uint32_t blockSize = 0;
    uint16_t version = 0;
    uint64_t opcodes[kOpLiteralRange + 1] = {};  // records of each opcode
    uint64_t otherOpcodes = 0;                   // bytes 7..255 met where an opcode was expected
    uint64_t copiedBytes = 0;                    // output taken from the old file
    uint64_t literalBytes = 0;                   // output taken from the stream
    uint64_t consumed = 0;                       // stream bytes up to and including opcode 0
    uint64_t oldEnd = 0;                         // the end of the furthest old-file range read
    uint64_t OutputBytes() const { return copiedBytes + literalBytes; }
};

struct StreamCheck {
    bool wellFormed = false;
    // What is wrong, for a person; empty when well-formed.
    std::string problem;
    // Offset in the stream where the problem was found.
    uint64_t problemOffset = 0;
    StreamStats stats;
};

// A stream is well-formed when it has the header "KZS " with a version of at
// most 100 and a block size of at least 1; it uses only opcodes 0..6; every
// old-file range lies inside the first `oldSize` bytes and starts below 2^31;
// lengths of opcodes 3 and 6 are at most the block size; it ends with opcode 0
// within the `available` bytes; and `dataLength` equals the bytes up to and
// including that opcode 0 (so the progress ends at exactly 1000).
StreamCheck CheckDiffStream(const uint8_t* stream, size_t available, uint64_t dataLength,
                            uint64_t oldSize);

}  // namespace kzp::encoder
