#include "package/diff_decoder.h"

#include <string.h>

#include "package/package_layout.h"
#include "platform/owned_handles.h"
#include "support/buffered_file.h"

namespace kzp {

namespace {

constexpr uint64_t kUnknownSize = ~0ull;

// The old file's size, or kUnknownSize.
uint64_t OldFileSize(FileHandle oldFile) {
    uint32_t high = 0;
    const uint32_t size = TheOs().GetFileSize(oldFile, &high);
    if (size == kInvalidFileValue) return kUnknownSize;
    return size | static_cast<uint64_t>(high) << 32;
}

// The old file's read cache: windows of 8 KiB, no more of them than the file
// fills (a size that cannot be had gets the whole cache).
constexpr uint32_t kOldWindow = KZP_READ_CACHE_SIZE / KZP_READ_CACHE_WINDOWS;
uint32_t OldCacheSize(uint64_t oldSize) {
    if (oldSize >= KZP_READ_CACHE_SIZE) return KZP_READ_CACHE_SIZE;
    return (static_cast<uint32_t>(oldSize) / kOldWindow + 1) * kOldWindow;
}

// Where decoded bytes go: a file, or only into a digest.
struct Output {
    FileHandle file;
    Md5Context* digest;
    uint64_t* written;  // where to tell how many bytes were written (or null)
};

class Decoder {
  public:
    Decoder(PackageFile& package, const FileEntry& entry, FileHandle oldFile, const Output& output,
            DecodeContext& context, uint8_t* work, uint32_t workSize, uint32_t blockSize,
            uint64_t oldSize)
        : package_(package),
          entry_(entry),
          context_(context),
          old_(oldFile, context.Heap(), OldCacheSize(oldSize), OldCacheSize(oldSize) / kOldWindow),
          out_(output.digest != nullptr
                   ? FileWriteBuffer(output.digest, context.Heap(), KZP_WRITE_BUFFER_SIZE)
                   // A new version is mostly about the size of the old one.
                   : FileWriteBuffer(output.file, context.Heap(), KZP_WRITE_BUFFER_SIZE,
                                     oldSize == kUnknownSize ? 0 : oldSize)),
          written_(output.written),
          work_(work),
          workSize_(workSize),
          blockSize_(blockSize) {}

    Result Run();

  private:
    void SendProgress() { context_.FileProgress(consumed_, entry_.dataLength); }
    bool ReadOperand(uint32_t* value) {
        if (!package_.ReadU32(value)) return false;
        consumed_ += 4;
        return true;
    }
    Result Opcode(uint8_t opcode);
    template <typename ReadInto>
    Result MoveToNewFile(uint32_t size, Result readError, ReadInto read);
    Result CopyOld(uint32_t size);
    Result CopyLiteral(uint32_t size);

    PackageFile& package_;
    const FileEntry& entry_;
    DecodeContext& context_;
    FileReadCache old_;
    FileWriteBuffer out_;
    uint64_t* written_;
    uint8_t* work_;
    uint32_t workSize_;
    uint32_t blockSize_;
    uint64_t consumed_ = kDiffHeaderSize;
};

// Moves `size` bytes to the new file, read by `read(into, piece)`: straight
// into the new file's buffer where it has one, otherwise through the work
// buffer (in pieces when they exceed it).
template <typename ReadInto>
Result Decoder::MoveToNewFile(uint32_t size, Result readError, ReadInto read) {
    // A range counts as written once it is accepted: either its disk space
    // is already the file's, so that its write cannot be refused for want of
    // it, or it goes to the file in one call, before progress counts it and
    // before the next poll or read. So a refusal is reported as the failure
    // of this write, never replaced by what comes after it.
    out_.BeginRange(size);
    const uint64_t start = out_.Accepted();
    while (size > 0) {
        uint32_t room = 0;
        uint8_t* into = out_.Room(&room);
        if (room == 0) {
            into = work_;
            room = workSize_;
        }
        const uint32_t piece = size < room ? size : room;
        if (!read(into, piece)) {
            // The range was cut short: its write never came.
            out_.DropAfter(start);
            return readError;
        }
        const bool written = into == work_ ? out_.Write(work_, piece) : out_.Commit(piece);
        if (!written) return kErrorNewFileWrite;
        size -= piece;
    }
    return out_.EndRange() ? kResultOk : kErrorNewFileWrite;
}

// Moves `size` bytes of the old file from its current position.
Result Decoder::CopyOld(uint32_t size) {
    return MoveToNewFile(size, kErrorOldFileRead,
                         [this](uint8_t* into, uint32_t piece) { return old_.Read(into, piece); });
}

// Moves `size` literal bytes of the stream.
Result Decoder::CopyLiteral(uint32_t size) {
    return MoveToNewFile(size, kErrorReadPackage, [this](uint8_t* into, uint32_t piece) {
        if (!package_.Read(into, piece)) return false;
        consumed_ += piece;
        return true;
    });
}

Result Decoder::Opcode(uint8_t opcode) {
    uint32_t offset = 0;
    uint32_t count = 0;
    Result result = kResultOk;
    switch (opcode) {
        case kOpCopyBlock:
            if (!ReadOperand(&offset)) return kErrorReadPackage;
            if (!old_.Seek(offset)) return kErrorOldFileRead;
            result = CopyOld(blockSize_);
            if (result == kResultOk) SendProgress();
            return result;

        case kOpCopyBlocks:
            if (!ReadOperand(&offset) || !ReadOperand(&count)) return kErrorReadPackage;
            if (!old_.Seek(offset)) return kErrorOldFileRead;
            for (uint32_t i = 0; i < count; ++i) {
                if (context_.Cancelled()) {
                    result = kResultCancelled;
                    break;
                }
                result = CopyOld(blockSize_);
                if (result != kResultOk) break;
            }
            // One update for the whole range, also when it ended early.
            SendProgress();
            return result;

        case kOpCopyRange:
            if (!ReadOperand(&offset) || !ReadOperand(&count)) return kErrorReadPackage;
            if (!old_.Seek(offset)) return kErrorOldFileRead;
            result = CopyOld(count);
            if (result == kResultOk) SendProgress();
            return result;

        case kOpLiteralBlock:
            result = CopyLiteral(blockSize_);
            if (result == kResultOk) SendProgress();
            return result;

        case kOpLiteralBlocks:
            if (!ReadOperand(&count)) return kErrorReadPackage;
            for (uint32_t i = 0; i < count; ++i) {
                if (context_.Cancelled()) return kResultCancelled;
                result = CopyLiteral(blockSize_);
                if (result != kResultOk) return result;
                SendProgress();
            }
            return kResultOk;

        case kOpLiteralRange:
            if (!ReadOperand(&count)) return kErrorReadPackage;
            result = CopyLiteral(count);
            if (result == kResultOk) SendProgress();
            return result;

        default:
            // 7 to 255: skipped, one byte each.
            return kResultOk;
    }
}

Result Decoder::Run() {
    Result result = kResultOk;
    if (context_.Cancelled()) {
        result = kResultCancelled;
    } else {
        for (;;) {
            uint8_t opcode = 0;
            if (!package_.ReadU8(&opcode)) {
                result = kErrorReadPackage;
                break;
            }
            consumed_ += 1;
            if (opcode == kOpEnd) break;
            result = Opcode(opcode);
            if (result != kResultOk) break;
            if (context_.Cancelled()) {
                result = kResultCancelled;
                break;
            }
        }
    }
    // However the run ends, what was accepted reaches the file and the file
    // ends where it does. A refusal of those bytes is a write of this run
    // that failed; a file that cannot be cut back is not the new version.
    if (!out_.Finish(result == kResultOk)) result = kErrorNewFileWrite;
    if (written_ != nullptr) *written_ = out_.Accepted();
    SendProgress();
    return result;
}

// Reads the stream's header at the entry's data and decodes it into `output`.
Result DecodeStream(PackageFile& package, const FileEntry& entry, FileHandle oldFile,
                    const Output& output, DecodeContext& context) {
    // Computed in 64 bits: a data offset near 4 GiB must not wrap around into
    // the program image.
    if (!package.Seek(static_cast<uint64_t>(kPackageOffset) + entry.dataOffset)) {
        return kErrorReadPackage;
    }
    uint8_t magic[sizeof(kDiffMagic)];
    if (!package.Read(magic, sizeof(magic))) return kErrorReadPackage;
    if (memcmp(magic, kDiffMagic, sizeof(magic)) != 0) return kErrorDiffData;
    uint16_t version = 0;
    if (!package.ReadU16(&version)) return kErrorReadPackage;
    if (version > kMaxDiffVersion) return kErrorDiffVersion;
    uint32_t blockSize = 0;
    if (!package.ReadU32(&blockSize)) return kErrorReadPackage;
    // A block of no bytes describes no data.
    if (blockSize == 0) return kErrorDiffData;

    uint32_t workSize = blockSize < kMaxWorkBuffer ? blockSize : kMaxWorkBuffer;
    OwnedHeapBlock work(context.Heap(), workSize);
    if (work.Get() == nullptr) return kErrorDiffData;
    Decoder decoder(package, entry, oldFile, output, context, static_cast<uint8_t*>(work.Get()),
                    workSize, blockSize, OldFileSize(oldFile));
    return decoder.Run();
}

}  // namespace

Result ApplyDiffStream(PackageFile& package, const FileEntry& entry, FileHandle oldFile,
                       FileHandle newFile, DecodeContext& context) {
    // The decoder's buffers are freed before the file's time is set.
    const Result result =
        DecodeStream(package, entry, oldFile, Output{newFile, nullptr, nullptr}, context);
    if (result == kResultOk) TheOs().SetLastWriteTime(newFile, entry.fileTime);
    return result;
}

Result DigestRebuiltFile(PackageFile& package, const FileEntry& entry, FileHandle oldFile,
                         DecodeContext& context, uint8_t digest[16], uint64_t* size) {
    Md5Context md5;
    Md5Init(&md5);
    *size = 0;
    const Result result =
        DecodeStream(package, entry, oldFile, Output{kInvalidFile, &md5, size}, context);
    Md5Final(digest, &md5);
    return result;
}

}  // namespace kzp
