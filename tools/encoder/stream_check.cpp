#include "tools/encoder/stream_check.h"

#include <cstring>

namespace kzp::encoder {
namespace {

constexpr uint64_t kSeekLimit = 0x80000000ull;

class Walker {
  public:
    Walker(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool U8(uint8_t* v) {
        if (size_ - pos_ < 1) return false;
        *v = data_[pos_++];
        return true;
    }
    bool U16(uint16_t* v) {
        if (size_ - pos_ < 2) return false;
        *v = static_cast<uint16_t>(data_[pos_] | data_[pos_ + 1] << 8);
        pos_ += 2;
        return true;
    }
    bool U32(uint32_t* v) {
        if (size_ - pos_ < 4) return false;
        *v = static_cast<uint32_t>(data_[pos_]) | static_cast<uint32_t>(data_[pos_ + 1]) << 8 |
             static_cast<uint32_t>(data_[pos_ + 2]) << 16 |
             static_cast<uint32_t>(data_[pos_ + 3]) << 24;
        pos_ += 4;
        return true;
    }
    bool Skip(uint64_t n) {
        if (size_ - pos_ < n) return false;
        pos_ += static_cast<size_t>(n);
        return true;
    }
    size_t Pos() const { return pos_; }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

}  // namespace

StreamCheck CheckDiffStream(const uint8_t* stream, size_t available, uint64_t dataLength,
                            uint64_t oldSize) {
    StreamCheck check;
    StreamStats& st = check.stats;
    Walker w(stream, available);
    auto fail = [&](const std::string& problem, uint64_t offset) {
        check.wellFormed = false;
        check.problem = problem;
        check.problemOffset = offset;
        st.consumed = w.Pos();
        return check;
    };

    if (available < kDiffHeaderSize) return fail("shorter than the 10-byte stream header", 0);
    if (std::memcmp(stream, kDiffMagic, sizeof(kDiffMagic)) != 0) {
        return fail("the stream does not begin with \"KZS \"", 0);
    }
    w.Skip(sizeof(kDiffMagic));
    w.U16(&st.version);
    w.U32(&st.blockSize);
    if (st.version > kMaxDiffVersion)
        return fail("stream version " + std::to_string(st.version) + " is above 100", 4);
    if (st.blockSize == 0) return fail("block size 0", 6);
    const uint64_t block = st.blockSize;

    // An old range is fine when it starts below the seek limit and ends
    // inside the old file.
    auto oldRangeOk = [&](uint64_t offset, uint64_t length) {
        if (offset + length > st.oldEnd) st.oldEnd = offset + length;
        return offset < kSeekLimit && offset <= oldSize && length <= oldSize - offset;
    };

    for (;;) {
        const size_t at = w.Pos();
        uint8_t op;
        if (!w.U8(&op)) return fail("the stream ends without opcode 0", at);
        if (op > kOpLiteralRange) {
            ++st.otherOpcodes;
            return fail("opcode " + std::to_string(op) + " is not one of 0..6", at);
        }
        ++st.opcodes[op];
        uint32_t a = 0;
        uint32_t b = 0;
        switch (op) {
            case kOpEnd:
                st.consumed = w.Pos();
                if (st.consumed != dataLength) {
                    return fail("data length " + std::to_string(dataLength) + " differs from the " +
                                    std::to_string(st.consumed) + " bytes up to opcode 0",
                                at);
                }
                check.wellFormed = true;
                return check;
            case kOpCopyBlock:
                if (!w.U32(&a)) return fail("opcode 1 is cut short", at);
                if (!oldRangeOk(a, block)) return fail("opcode 1 reads outside the old file", at);
                st.copiedBytes += block;
                break;
            case kOpCopyBlocks:
                if (!w.U32(&a) || !w.U32(&b)) return fail("opcode 2 is cut short", at);
                if (!oldRangeOk(a, block * b))
                    return fail("opcode 2 reads outside the old file", at);
                st.copiedBytes += block * b;
                break;
            case kOpCopyRange:
                if (!w.U32(&a) || !w.U32(&b)) return fail("opcode 3 is cut short", at);
                if (b > block) return fail("opcode 3 copies more than one block", at);
                if (!oldRangeOk(a, b)) return fail("opcode 3 reads outside the old file", at);
                st.copiedBytes += b;
                break;
            case kOpLiteralBlock:
                if (!w.Skip(block)) return fail("opcode 4 is cut short", at);
                st.literalBytes += block;
                break;
            case kOpLiteralBlocks:
                if (!w.U32(&a)) return fail("opcode 5 is cut short", at);
                if (!w.Skip(block * a)) return fail("opcode 5 is cut short", at);
                st.literalBytes += block * a;
                break;
            case kOpLiteralRange:
                if (!w.U32(&a)) return fail("opcode 6 is cut short", at);
                if (a > block) return fail("opcode 6 inserts more than one block", at);
                if (!w.Skip(a)) return fail("opcode 6 is cut short", at);
                st.literalBytes += a;
                break;
        }
    }
}

}  // namespace kzp::encoder
