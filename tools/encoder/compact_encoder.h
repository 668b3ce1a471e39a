// The encoder of compact data (layout in package/package_layout.h): copies
// from the old file that may differ from the new bytes in a few places, so
// that a moved pointer costs only the one number its bytes changed by, and
// literal bytes where nothing fits; lengths, steps, the changes' places,
// kinds and addends, and literals each in an LZMA stream of its own, so that
// each is coded with statistics of its kind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "package/package_layout.h"
#include "tools/encoder/diff_encoder.h"

namespace kzp::encoder {

// `copy` bytes taken from the old file at `oldPosition`, changed where they
// differ from the new ones, then `literal` bytes of the literal stream.
struct CompactSegment {
    uint64_t copy;
    uint64_t literal;
    uint64_t oldPosition;
};

struct CompactStats {
    uint64_t segments = 0;
    uint64_t copiedBytes = 0;
    uint64_t changes = 0;        // places where copied bytes differ from the old ones
    uint64_t replacedBytes = 0;  // copied bytes replaced by literal ones
    uint64_t literalBytes = 0;
    uint64_t unpacked[kCompactStreams] = {};
    uint64_t packed[kCompactStreams] = {};
};

// A copy is moved to another place of the old file only where the longest
// match found there beats the current alignment by more than this many
// bytes, and is at least kMinNewCopy bytes long: fewer, longer copies whose
// few differing bytes cost less than the segments they would split into.
// Measured on updates of a 12 MB program (gains 0 to 32, lengths 8 to 24):
// a gain of 4 and 16 bytes gave the smallest data, 4 to 5 % smaller than 8
// and the index's shortest match; short matches in new code cost more as
// segments than their bytes cost as literals.
constexpr uint32_t kAlignmentGain = 4;
constexpr uint32_t kMinNewCopy = 16;

// The segments that rebuild newData from the index's old file: each copy is
// the longest exact match found, stretched forwards and backwards while more
// than half of its bytes agree with the old ones.
std::vector<CompactSegment> FindApproximateCopies(const OldFileIndex& index, const uint8_t* newData,
                                                  size_t newSize);

// The compact data of the segments (the old file is needed for the
// changes). Throws std::invalid_argument when the segments do not
// rebuild newSize bytes from inside the old file.
std::vector<uint8_t> EncodeCompactData(const uint8_t* oldData, size_t oldSize,
                                       const uint8_t* newData, size_t newSize,
                                       const std::vector<CompactSegment>& segments,
                                       CompactStats* stats = nullptr);

// Compact data of the given unpacked streams (a header and each stream
// packed): what the functions below end with, and how tests make data of
// any content.
std::vector<uint8_t> PackCompactStreams(uint64_t newSize,
                                        const std::vector<uint8_t> (&streams)[kCompactStreams],
                                        CompactStats* stats = nullptr);

// The compact data of an update: approximate copies found with `index`.
std::vector<uint8_t> EncodeCompactUpdate(const OldFileIndex& index, const uint8_t* newData,
                                         size_t newSize, CompactStats* stats = nullptr);

// The compact data of an add: the contents as one literal segment.
std::vector<uint8_t> EncodeCompactAdd(const uint8_t* data, size_t size,
                                      CompactStats* stats = nullptr);

// The compact data of the change a diff stream describes (exact copies, no
// changes): for pairs the bounded matcher encodes in pieces. Throws
// std::invalid_argument for a stream that is not well-formed.
std::vector<uint8_t> EncodeCompactFromStream(const std::vector<uint8_t>& stream,
                                             CompactStats* stats = nullptr);

// What the header of compact data says, for `kzp info`.
struct CompactHeader {
    uint16_t version = 0;
    uint64_t newSize = 0;
    uint64_t unpacked[kCompactStreams] = {};
    uint32_t packed[kCompactStreams] = {};
    uint32_t dictionary[kCompactStreams] = {};
};
// False, with `problem` set, when the bytes hold no compact header or its
// streams do not add up to `dataLength`.
bool ReadCompactHeader(const uint8_t* data, size_t available, uint64_t dataLength,
                       CompactHeader* header, std::string* problem);

}  // namespace kzp::encoder
