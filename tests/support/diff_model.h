// A model of the diff stream format for tests: random opcode programs over an
// old file, encoded with the package writer, with what the format says they
// produce (the new file and the progress values sent while decoding).
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "tools/package_writer/package_writer.h"

namespace kzp::test {

struct DiffOp {
    uint8_t code = 0;
    uint32_t offset = 0;
    uint32_t count = 0;  // blocks (opcodes 1, 2, 5) or length (3, 6)
    writer::Bytes literal;
};

struct ModelledStream {
    writer::Bytes stream;  // header, opcodes, the end opcode
    writer::Bytes output;  // the new file
    // After every opcode that reports, then the final value, for a data
    // length equal to the stream's size.
    std::vector<intptr_t> progress;
};

writer::Bytes RandomBytes(std::mt19937& rng, size_t size);

// `count` random opcodes of every kind (7..255 included) whose old-file
// ranges lie inside `old`; lengths of opcodes 3 and 6 now and then exceed
// the block size.
std::vector<DiffOp> RandomDiffOps(std::mt19937& rng, const writer::Bytes& old, uint32_t block,
                                  size_t count);

ModelledStream ModelDiff(const std::vector<DiffOp>& ops, const writer::Bytes& old, uint32_t block);

}  // namespace kzp::test
