#include "tests/support/diff_model.h"

#include <algorithm>
#include <cstring>

namespace kzp::test {

using writer::Bytes;
using writer::DiffStream;

ModelledStream ModelDiff(const std::vector<DiffOp>& ops, const Bytes& old, uint32_t block) {
    ModelledStream e;
    DiffStream s(block);
    std::vector<uint64_t> consumedAt;
    uint64_t consumed = 10;
    for (const DiffOp& op : ops) {
        switch (op.code) {
            case 1:
                s.CopyBlock(op.offset);
                e.output.insert(e.output.end(), old.begin() + op.offset,
                                old.begin() + op.offset + block);
                consumed += 5;
                consumedAt.push_back(consumed);
                break;
            case 2:
                s.CopyBlocks(op.offset, op.count);
                e.output.insert(e.output.end(), old.begin() + op.offset,
                                old.begin() + op.offset + uint64_t{op.count} * block);
                consumed += 9;
                consumedAt.push_back(consumed);
                break;
            case 3:
                s.CopyRange(op.offset, op.count);
                e.output.insert(e.output.end(), old.begin() + op.offset,
                                old.begin() + op.offset + op.count);
                consumed += 9;
                consumedAt.push_back(consumed);
                break;
            case 4:
                s.LiteralBlock(op.literal);
                e.output.insert(e.output.end(), op.literal.begin(), op.literal.end());
                consumed += 1 + block;
                consumedAt.push_back(consumed);
                break;
            case 5:
                s.LiteralBlocks(op.literal);
                e.output.insert(e.output.end(), op.literal.begin(), op.literal.end());
                consumed += 5;
                for (size_t i = 0; i < op.literal.size() / block; ++i) {
                    consumed += block;
                    consumedAt.push_back(consumed);
                }
                break;
            case 6:
                s.LiteralRange(op.literal);
                e.output.insert(e.output.end(), op.literal.begin(), op.literal.end());
                consumed += 5 + op.literal.size();
                consumedAt.push_back(consumed);
                break;
            default:
                s.Byte(op.code);
                consumed += 1;
                break;
        }
    }
    s.End();
    consumedAt.push_back(consumed + 1);
    e.stream = s.Data();
    for (uint64_t c : consumedAt) {
        e.progress.push_back(
            static_cast<intptr_t>(static_cast<double>(c) / e.stream.size() * 1000));
    }
    return e;
}

Bytes RandomBytes(std::mt19937& rng, size_t size) {
    Bytes data(size);
    for (size_t i = 0; i < size; i += 4) {
        uint32_t word = rng();
        std::memcpy(data.data() + i, &word, std::min<size_t>(4, size - i));
    }
    return data;
}

std::vector<DiffOp> RandomDiffOps(std::mt19937& rng, const Bytes& old, uint32_t block,
                                  size_t count) {
    auto below = [&](uint64_t n) { return n == 0 ? 0 : static_cast<uint32_t>(rng() % n); };
    std::vector<DiffOp> ops;
    const uint32_t oldBlocks = static_cast<uint32_t>(old.size() / block);
    for (size_t i = 0; i < count; ++i) {
        DiffOp op;
        op.code = static_cast<uint8_t>(1 + below(7));
        switch (op.code) {
            case 1:
            case 2:
                if (oldBlocks == 0) {
                    op.code = 2;  // a range of no blocks works anywhere
                    op.offset = below(old.size());
                    break;
                }
                op.count = op.code == 1 ? 1 : below(oldBlocks + 1);
                op.offset = below(old.size() - uint64_t{op.count == 0 ? 1 : op.count} * block + 1);
                break;
            case 3:
                // Mostly within the block size, sometimes beyond it.
                op.count =
                    below(std::min<uint64_t>(old.size(), below(5) == 0 ? 3ull * block : block) + 1);
                op.offset = below(old.size() - op.count + 1);
                break;
            case 4:
                op.literal = RandomBytes(rng, block);
                break;
            case 5:
                op.literal = RandomBytes(rng, size_t{block} * below(4));
                break;
            case 6:
                op.literal = RandomBytes(rng, below(below(5) == 0 ? 2ull * block + 2 : block + 1));
                break;
            default:
                op.code = static_cast<uint8_t>(7 + below(249));
                break;
        }
        ops.push_back(op);
    }
    return ops;
}

}  // namespace kzp::test
