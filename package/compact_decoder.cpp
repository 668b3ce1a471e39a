#include "package/compact_decoder.h"

#include <string.h>

#include "LzmaDec.h"
#include "package/package_layout.h"
#include "platform/owned_handles.h"
#include "support/md5.h"

namespace kzp {

// Packed bytes are read from the package this many at a time per stream:
// large enough that each read goes straight past the package's read-ahead.
constexpr uint32_t kCompactInput = 16 * 1024;

struct CompactStreamState {
    // LZMA's allocator calls come back with this record, whose heap they use.
    ISzAlloc alloc;
    HeapHandle heap;
    CLzmaDec lzma;
    bool allocated;
    uint8_t properties[kLzmaPropertiesSize];
    uint64_t unpackedLeft;  // bytes the stream has yet to decode
    uint32_t packedLeft;    // bytes yet to be read from the package
    uint32_t position;      // package position of the next of them
    SizeT handedOut;        // bytes of the dictionary up to here are taken
    uint32_t inPos;
    uint32_t inSize;
    uint8_t input[kCompactInput];
};

namespace {

constexpr uint32_t kCompactWindows = 32;

// A stream is decoded at most this many bytes ahead of what is taken: the
// decoded bytes are still in the cache when they are copied out, and the
// packed bytes, which progress counts, are taken as the new file grows
// rather than a dictionary's worth at once.
constexpr uint32_t kCompactDecodeStep = 16 * 1024;

void* LzmaAlloc(void* self, size_t size) {
    return TheOs().HeapAllocZero(reinterpret_cast<CompactStreamState*>(self)->heap, size);
}
void LzmaFree(void* self, void* block) {
    if (block != nullptr)
        TheOs().HeapFree(reinterpret_cast<CompactStreamState*>(self)->heap, block);
}

uint64_t LoadLe(const uint8_t* p, int bytes) {
    uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) value = value << 8 | p[i];
    return value;
}

// Reads the next packed bytes of the stream (at most its input buffer).
bool Refill(PackageFile& package, CompactStreamState& s) {
    const uint32_t size = s.packedLeft < kCompactInput ? s.packedLeft : kCompactInput;
    if (size == 0 || !package.Seek(s.position) || !package.Read(s.input, size)) return false;
    s.position += size;
    s.packedLeft -= size;
    s.inPos = 0;
    s.inSize = size;
    return true;
}

// Decodes more of the stream into its dictionary, once all it held was taken.
bool DecodeMore(PackageFile& package, CompactStreamState& s, uint64_t* consumed) {
    CLzmaDec& d = s.lzma;
    if (d.dicPos == d.dicBufSize) d.dicPos = s.handedOut = 0;
    for (;;) {
        if (s.unpackedLeft == 0) return false;
        if (s.inPos == s.inSize && !Refill(package, s)) return false;
        SizeT room = d.dicBufSize - d.dicPos;
        if (room > kCompactDecodeStep) room = kCompactDecodeStep;
        const SizeT limit =
            d.dicPos + (s.unpackedLeft < room ? static_cast<SizeT>(s.unpackedLeft) : room);
        const SizeT before = d.dicPos;
        SizeT inLength = s.inSize - s.inPos;
        ELzmaStatus status;
        if (LzmaDec_DecodeToDic(&d, limit, s.input + s.inPos, &inLength, LZMA_FINISH_ANY,
                                &status) != SZ_OK) {
            return false;
        }
        // Progress counts the packed bytes decoded, not those read ahead: a
        // stream's first read may take all of it.
        s.inPos += static_cast<uint32_t>(inLength);
        *consumed += inLength;
        s.unpackedLeft -= d.dicPos - before;
        if (d.dicPos > before) return true;
        // No end mark is written: a stream that ends before its size is damaged.
        if (status == LZMA_STATUS_FINISHED_WITH_MARK) return false;
    }
}

// The next decoded bytes of the stream, at most `want` of them, in place.
bool Take(PackageFile& package, CompactStreamState& s, uint64_t* consumed, uint64_t want,
          const uint8_t** data, uint32_t* got) {
    if (s.lzma.dicPos == s.handedOut && !DecodeMore(package, s, consumed)) return false;
    const SizeT held = s.lzma.dicPos - s.handedOut;
    *got = static_cast<uint32_t>(want < held ? want : held);
    *data = s.lzma.dic + s.handedOut;
    s.handedOut += *got;
    return true;
}

// True once every byte of the stream has been taken.
bool Ended(const CompactStreamState& s) {
    return s.unpackedLeft == 0 && s.lzma.dicPos == s.handedOut;
}

// One unsigned LEB128 number of at most 64 bits.
bool TakeNumber(PackageFile& package, CompactStreamState& s, uint64_t* consumed, uint64_t* value) {
    *value = 0;
    for (uint32_t shift = 0; shift < 64; shift += 7) {
        const uint8_t* byte = nullptr;
        uint32_t got = 0;
        if (!Take(package, s, consumed, 1, &byte, &got)) return false;
        const uint64_t bits = *byte & 0x7Fu;
        if (shift == 63 && bits > 1) return false;
        *value |= bits << shift;
        if ((*byte & 0x80u) == 0) return true;
    }
    return false;
}

}  // namespace

CompactReader::CompactReader(PackageFile& package, FileHandle oldFile, HeapHandle heap)
    : package_(package),
      oldFile_(oldFile),
      heap_(heap),
      old_(oldFile, heap, oldFile == kInvalidFile ? 0 : KZP_COMPACT_READ_CACHE_SIZE,
           kCompactWindows) {}

CompactReader::~CompactReader() {
    if (streams_ == nullptr) return;
    for (uint32_t i = 0; i < kCompactStreams; ++i) {
        CompactStreamState& s = streams_[i];
        if (s.allocated) LzmaDec_Free(&s.lzma, &s.alloc);
    }
    TheOs().HeapFree(heap_, streams_);
}

Result CompactReader::Open(uint32_t dataOffset) {
    // Computed in 64 bits: an offset near 4 GiB must not wrap into the image.
    const uint64_t start = static_cast<uint64_t>(kPackageOffset) + dataOffset;
    uint8_t header[kCompactHeaderSize];
    if (!package_.Seek(start) || !package_.Read(header, 6)) return kErrorReadPackage;
    if (memcmp(header, kCompactMagic, sizeof(kCompactMagic)) != 0) return kErrorDiffData;
    if (LoadLe(header + 4, 2) != kCompactDataVersion) return kErrorDiffVersion;
    if (!package_.Read(header + 6, kCompactHeaderSize - 6)) return kErrorReadPackage;
    consumed_ = kCompactHeaderSize;
    newSize_ = LoadLe(header + 6, 8);

    streams_ = static_cast<CompactStreamState*>(
        TheOs().HeapAllocZero(heap_, sizeof(CompactStreamState) * kCompactStreams));
    if (streams_ == nullptr) return kErrorDiffData;
    uint64_t position = start + kCompactHeaderSize;
    uint64_t dictionaries = 0;
    for (uint32_t i = 0; i < kCompactStreams; ++i) {
        CompactStreamState& s = streams_[i];
        const uint8_t* fields = header + 14 + i * kCompactStreamFields;
        s.alloc.Alloc = LzmaAlloc;
        s.alloc.Free = LzmaFree;
        s.heap = heap_;
        LzmaDec_Construct(&s.lzma);
        memcpy(s.properties, fields, kLzmaPropertiesSize);
        s.unpackedLeft = LoadLe(fields + kLzmaPropertiesSize, 8);
        s.packedLeft = static_cast<uint32_t>(LoadLe(fields + kLzmaPropertiesSize + 8, 4));
        if (position > 0x7FFFFFFFu) return kErrorReadPackage;
        s.position = static_cast<uint32_t>(position);
        position += s.packedLeft;
        if (s.unpackedLeft == 0) {
            if (s.packedLeft != 0) return kErrorReadPackage;
            continue;
        }
        // Dictionaries and literal contexts beyond what the encoder ever asks
        // for are damage, and would take the memory the update is promised
        // not to need (the context tables grow 2^(lc + lp) times).
        CLzmaProps props;
        if (LzmaProps_Decode(&props, s.properties, kLzmaPropertiesSize) != SZ_OK ||
            props.dicSize > kCompactMaxDictionary || props.lc + props.lp > kCompactMaxContextBits) {
            return kErrorReadPackage;
        }
        dictionaries += props.dicSize;
        if (dictionaries > kCompactMaxDictionaries) return kErrorReadPackage;
        if (LzmaDec_Allocate(&s.lzma, s.properties, kLzmaPropertiesSize, &s.alloc) != SZ_OK) {
            return kErrorDiffData;
        }
        s.allocated = true;
        LzmaDec_Init(&s.lzma);
    }
    old_.SetFilePointerKnown(0);
    return kResultOk;
}

Result CompactReader::NextSegment() {
    uint64_t copy = 0;
    uint64_t literal = 0;
    uint64_t step = 0;
    if (!TakeNumber(package_, streams_[kCopyLengths], &consumed_, &copy) ||
        !TakeNumber(package_, streams_[kLiteralLengths], &consumed_, &literal) ||
        !TakeNumber(package_, streams_[kOldSteps], &consumed_, &step)) {
        return kErrorReadPackage;
    }
    const uint64_t left = newSize_ - produced_;
    if (copy + literal == 0 || copy > left || literal > left - copy) return kErrorReadPackage;
    if (copy > 0) {
        if (oldFile_ == kInvalidFile) return kErrorReadPackage;
        // Zigzag: even steps go forward, odd ones back.
        const uint64_t back = (step + 1) / 2;
        if ((step & 1) != 0 && back > oldCursor_) return kErrorReadPackage;
        const uint64_t at = (step & 1) != 0 ? oldCursor_ - back : oldCursor_ + step / 2;
        if (at > 0x7FFFFFFFu || !old_.Seek(static_cast<uint32_t>(at))) return kErrorOldFileRead;
        oldCursor_ = at + copy;
    } else if (step != 0) {
        return kErrorReadPackage;
    }
    oldCursor_ += literal;
    copyLeft_ = copy;
    literalLeft_ = literal;
    return kResultOk;
}

// Exactly `size` next bytes of the literal stream.
Result CompactReader::TakeLiterals(uint8_t* out, uint64_t size) {
    while (size > 0) {
        const uint8_t* data = nullptr;
        uint32_t got = 0;
        if (!Take(package_, streams_[kLiterals], &consumed_, size, &data, &got)) {
            return kErrorReadPackage;
        }
        memcpy(out, data, got);
        out += got;
        size -= got;
    }
    return kResultOk;
}

// Reads the kind of the change that starts here, `copyLeft` bytes before
// the copy's end, and what it needs.
Result CompactReader::StartChange(uint64_t copyLeft) {
    uint64_t kind = 0;
    if (!TakeNumber(package_, streams_[kChangeKinds], &consumed_, &kind)) return kErrorReadPackage;
    gapKnown_ = false;
    if (kind > 0) {
        if (kind > copyLeft) return kErrorReadPackage;
        replaceLeft_ = kind;
        return kResultOk;
    }
    if (copyLeft < kChangeWordSize) return kErrorReadPackage;
    addend_ = 0;
    for (uint32_t i = 0; i < kChangeWordSize;) {
        const uint8_t* bytes = nullptr;
        uint32_t got = 0;
        if (!Take(package_, streams_[kChangeWords], &consumed_, kChangeWordSize - i, &bytes,
                  &got)) {
            return kErrorReadPackage;
        }
        for (uint32_t k = 0; k < got; ++k, ++i)
            addend_ |= static_cast<uint64_t>(bytes[k]) << (8 * i);
    }
    wordLeft_ = kChangeWordSize;
    return kResultOk;
}

// Makes the changes to the next `size` copied bytes; copyLeft_ still
// counts them.
Result CompactReader::ApplyChanges(uint8_t* out, uint32_t size) {
    uint32_t i = 0;
    while (i < size) {
        if (wordLeft_ > 0) {
            // The addend goes in a byte at a time with its carry, so that a
            // change may straddle two pieces.
            for (; wordLeft_ > 0 && i < size; --wordLeft_, ++i) {
                const uint32_t sum = out[i] + static_cast<uint32_t>(addend_ & 0xFFu);
                out[i] = static_cast<uint8_t>(sum);
                addend_ = (addend_ >> 8) + (sum >> 8);
            }
            continue;
        }
        if (replaceLeft_ > 0) {
            const uint64_t n = size - i < replaceLeft_ ? size - i : replaceLeft_;
            const Result result = TakeLiterals(out + i, n);
            if (result != kResultOk) return result;
            i += static_cast<uint32_t>(n);
            replaceLeft_ -= n;
            continue;
        }
        if (!gapKnown_) {
            // After the last change the copied bytes stay as they are.
            CompactStreamState& gaps = streams_[kChangeGaps];
            if (Ended(gaps)) return kResultOk;
            if (!TakeNumber(package_, gaps, &consumed_, &untilChange_)) return kErrorReadPackage;
            gapKnown_ = true;
        }
        if (untilChange_ > 0) {
            const uint64_t skip = size - i < untilChange_ ? size - i : untilChange_;
            i += static_cast<uint32_t>(skip);
            untilChange_ -= skip;
            continue;
        }
        const Result result = StartChange(copyLeft_ - i);
        if (result != kResultOk) return result;
    }
    return kResultOk;
}

// The next `size` bytes of the current copy.
Result CompactReader::Copy(uint8_t* out, uint32_t size) {
    if (!old_.Read(out, size)) return kErrorOldFileRead;
    const Result result = ApplyChanges(out, size);
    copyLeft_ -= size;
    return result;
}

// The new file is whole: every stream must end here, with nothing left over.
Result CompactReader::Finish() {
    // A gap read for a change that never came is damage as well.
    if (gapKnown_) return kErrorReadPackage;
    for (uint32_t i = 0; i < kCompactStreams; ++i) {
        CompactStreamState& s = streams_[i];
        if (!Ended(s)) return kErrorReadPackage;
        // The last few bytes of a stream may not be needed for its last
        // symbols; they are read all the same, so that the data is read
        // whole. More than one buffer of them is not a stream's end.
        consumed_ += s.inSize - s.inPos;
        s.inPos = s.inSize;
        if (s.packedLeft > kCompactInput) return kErrorReadPackage;
        if (s.packedLeft > 0) {
            if (!Refill(package_, s)) return kErrorReadPackage;
            consumed_ += s.inSize;
            s.inPos = s.inSize;
        }
    }
    finished_ = true;
    return kResultOk;
}

Result CompactReader::Read(uint8_t* out, uint32_t capacity, uint32_t* got) {
    *got = 0;
    if (finished_) return kResultOk;
    while (*got < capacity) {
        if (copyLeft_ == 0 && literalLeft_ == 0) {
            if (produced_ == newSize_) return *got == 0 ? Finish() : kResultOk;
            const Result result = NextSegment();
            if (result != kResultOk) return result;
        }
        const uint32_t room = capacity - *got;
        uint32_t size;
        Result result;
        if (copyLeft_ > 0) {
            size = copyLeft_ < room ? static_cast<uint32_t>(copyLeft_) : room;
            result = Copy(out + *got, size);
        } else {
            size = literalLeft_ < room ? static_cast<uint32_t>(literalLeft_) : room;
            result = TakeLiterals(out + *got, size);
            literalLeft_ -= size;
        }
        if (result != kResultOk) return result;
        *got += size;
        produced_ += size;
    }
    return kResultOk;
}

namespace {

// Pieces of the new file are decoded into a buffer of this size.
constexpr uint32_t kCompactPiece = 64 * 1024;

Result WriteCompactData(CompactReader& reader, const FileEntry& entry, FileHandle newFile,
                        DecodeContext& context) {
    // A new version is mostly about the size the data gives.
    FileWriteBuffer out(newFile, context.Heap(), KZP_WRITE_BUFFER_SIZE, reader.NewSize());
    OwnedHeapBlock piece(context.Heap(), kCompactPiece);
    Result result = kResultOk;
    if (piece.Get() == nullptr) {
        result = kErrorDiffData;
    } else if (context.Cancelled()) {
        result = kResultCancelled;
    } else {
        uint8_t* buffer = static_cast<uint8_t*>(piece.Get());
        for (;;) {
            uint32_t got = 0;
            result = reader.Read(buffer, kCompactPiece, &got);
            if (result != kResultOk || got == 0) break;
            // Each piece counts as written before its progress is shown (see
            // ApplyDiffStream).
            out.BeginRange(got);
            if (!out.Write(buffer, got) || !out.EndRange()) {
                result = kErrorNewFileWrite;
                break;
            }
            context.FileProgress(reader.Consumed(), entry.dataLength);
            if (context.Cancelled()) {
                result = kResultCancelled;
                break;
            }
        }
    }
    if (!out.Finish(result == kResultOk)) result = kErrorNewFileWrite;
    context.FileProgress(reader.Consumed(), entry.dataLength);
    return result;
}

}  // namespace

Result ApplyCompactData(PackageFile& package, const FileEntry& entry, FileHandle oldFile,
                        FileHandle newFile, DecodeContext& context) {
    Result result;
    {
        // Its memory is given back before the file's time is set.
        CompactReader reader(package, oldFile, context.Heap());
        result = reader.Open(entry.dataOffset);
        if (result != kResultOk) return result;
        result = WriteCompactData(reader, entry, newFile, context);
    }
    if (result == kResultOk) TheOs().SetLastWriteTime(newFile, entry.fileTime);
    return result;
}

Result DigestCompactData(PackageFile& package, const FileEntry& entry, FileHandle oldFile,
                         DecodeContext& context, uint8_t digest[16], uint64_t* size) {
    Md5Context md5;
    Md5Init(&md5);
    *size = 0;
    Result result;
    {
        CompactReader reader(package, oldFile, context.Heap());
        result = reader.Open(entry.dataOffset);
        uint8_t piece[16 * 1024];
        for (uint32_t got = 1; result == kResultOk && got > 0;) {
            result = reader.Read(piece, sizeof(piece), &got);
            if (result != kResultOk) break;
            Md5Update(&md5, piece, got);
            *size += got;
        }
    }
    Md5Final(digest, &md5);
    return result;
}

}  // namespace kzp
