// ApplyCompactData over any compact data, against a small old file, writing
// to a scratch file. Data made from fuzzed streams (packed here) is compared
// with a model of the segments: what the model rebuilds the decoder must
// rebuild, with its progress ending at exactly 1000; data the model refuses
// may only be refused with one of the decoder's codes. Raw fuzzed bytes
// exercise the header and the LZMA decoder itself.
//
// Input: old-file length (u8, at most 64) and that many bytes, the
// notification after which the user cancels (u8, 0 never), a mode (u8: bit 0
// raw bytes, bit 1 an add's data without an old file), the new size (u16),
// then the raw data, or six stream lengths (u16 each; the literals take the
// rest) and the streams' bytes.
#include <string.h>

#include <new>

#include <algorithm>
#include <vector>

#include "engine/notify.h"
#include "engine/status_notification.h"
#include "package/compact_decoder.h"
#include "package/package_layout.h"
#include "support/file_helpers.h"
#include "tests/fuzz/decoder_sink.h"
#include "tests/fuzz/fuzz_platform.h"
#include "tools/encoder/compact_encoder.h"

namespace kzp::fuzz {
namespace {

using Bytes = std::vector<uint8_t>;

// Reads one stream's numbers and bytes the way the format defines them.
struct StreamCursor {
    const Bytes& bytes;
    size_t at = 0;
    bool Number(uint64_t* value) {
        *value = 0;
        for (uint32_t shift = 0; shift < 64; shift += 7) {
            if (at == bytes.size()) return false;
            const uint8_t b = bytes[at++];
            if (shift == 63 && (b & 0x7F) > 1) return false;
            *value |= static_cast<uint64_t>(b & 0x7F) << shift;
            if ((b & 0x80) == 0) return true;
        }
        return false;
    }
    bool Byte(uint8_t* value) {
        if (at == bytes.size()) return false;
        *value = bytes[at++];
        return true;
    }
};

// The new file the streams describe, or false when they are not well-formed
// (or need more than the old file holds).
bool Model(const Bytes (&streams)[kCompactStreams], uint64_t newSize, const Bytes* old,
           Bytes* out) {
    StreamCursor copies{streams[kCopyLengths]}, literals{streams[kLiteralLengths]},
        steps{streams[kOldSteps]}, gaps{streams[kChangeGaps]}, kinds{streams[kChangeKinds]},
        words{streams[kChangeWords]}, bytes{streams[kLiterals]};
    uint64_t cursor = 0;
    bool gapKnown = false;
    uint64_t untilChange = 0;
    while (out->size() < newSize) {
        uint64_t copy, literal, step;
        if (!copies.Number(&copy) || !literals.Number(&literal) || !steps.Number(&step))
            return false;
        const uint64_t left = newSize - out->size();
        if (copy + literal == 0 || copy > left || literal > left - copy) return false;
        if (copy > 0) {
            if (old == nullptr) return false;
            const uint64_t back = (step + 1) / 2;
            if ((step & 1) && back > cursor) return false;
            const uint64_t at = (step & 1) ? cursor - back : cursor + step / 2;
            if (at > old->size() || copy > old->size() - at) return false;
            const size_t base = out->size();
            out->insert(out->end(), old->begin() + at, old->begin() + at + copy);
            for (uint64_t i = 0; i < copy;) {
                if (!gapKnown) {
                    if (gaps.at == gaps.bytes.size()) break;  // no more changes
                    if (!gaps.Number(&untilChange)) return false;
                    gapKnown = true;
                }
                // A change due at the copy's end starts with the next copy.
                if (untilChange >= copy - i) {
                    untilChange -= copy - i;
                    break;
                }
                i += untilChange;
                gapKnown = false;
                uint64_t kind;
                if (!kinds.Number(&kind)) return false;
                uint8_t* place = out->data() + base + i;
                if (kind == 0) {
                    if (copy - i < 4) return false;
                    uint32_t addend = 0;
                    for (int k = 0; k < 4; ++k) {
                        uint8_t b;
                        if (!words.Byte(&b)) return false;
                        addend |= static_cast<uint32_t>(b) << (8 * k);
                    }
                    uint32_t value = 0;
                    for (int k = 3; k >= 0; --k) value = value << 8 | place[k];
                    value += addend;
                    for (int k = 0; k < 4; ++k) place[k] = static_cast<uint8_t>(value >> (8 * k));
                    i += 4;
                } else {
                    if (kind > copy - i) return false;
                    for (uint64_t k = 0; k < kind; ++k) {
                        if (!bytes.Byte(place + k)) return false;
                    }
                    i += kind;
                }
            }
            cursor = at + copy;
        } else if (step != 0) {
            return false;
        }
        cursor += literal;
        for (uint64_t i = 0; i < literal; ++i) {
            uint8_t b;
            if (!bytes.Byte(&b)) return false;
            out->push_back(b);
        }
    }
    for (const StreamCursor* c : {&copies, &literals, &steps, &gaps, &kinds, &words, &bytes}) {
        if (c->at != c->bytes.size()) return false;
    }
    return !gapKnown;
}

}  // namespace
}  // namespace kzp::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kzp;
    static const fuzz::ScratchFile package = fuzz::Scratch("updater.exe");
    static const fuzz::ScratchFile oldFile = fuzz::Scratch("old.bin");
    static const fuzz::ScratchFile newFile = fuzz::Scratch("new.bin");
    fuzz::InputReader input(data, size);
    fuzz::Bytes old(input.U8() % 65);
    for (uint8_t& b : old) b = input.U8();
    const uint32_t cancelAfter = input.U8();
    const uint8_t mode = input.U8();
    const bool raw = (mode & 1) != 0;
    const bool add = (mode & 2) != 0;
    const uint64_t newSize = input.U8() | input.U8() << 8;
    fuzz::Bytes streams[kCompactStreams];
    fuzz::Bytes compact;
    if (raw) {
        compact.assign(input.Rest(), input.Rest() + input.RestSize());
    } else {
        size_t lengths[kCompactStreams - 1];
        for (size_t& n : lengths) n = input.U8() | input.U8() << 8;
        for (uint32_t i = 0; i + 1 < kCompactStreams; ++i) {
            const size_t n = std::min(lengths[i], input.RestSize());
            streams[i].assign(input.Rest(), input.Rest() + n);
            for (size_t k = 0; k < n; ++k) input.U8();
        }
        streams[kLiterals].assign(input.Rest(), input.Rest() + input.RestSize());
        compact = encoder::PackCompactStreams(newSize, streams);
    }
    fuzz::Refill(package, kPackageOffset, compact.data(), compact.size());
    fuzz::Refill(oldFile, 0, old.data(), old.size());

    FileEntry entry{};
    entry.dataLength = static_cast<uint32_t>(compact.size());
    entry.fileTime = {0x89ABCDEFu, 0x01D00000u};
    entry.compact = true;
    static UpdaterState* state = new UpdaterState;
    InitUpdaterState(state, kNoInstance);
    fuzz::CancellingSink sink(*state, cancelAfter);
    state->sink = &sink;
    Os& os = TheOs();
    FileHandle packageHandle = OpenFileForRead(package.windowsPath.c_str(), kFileShareRead, 0);
    FileHandle oldHandle = add ? kInvalidFile : OpenFileForRead(oldFile.windowsPath.c_str(), 0, 0);
    FileHandle newHandle = CreateFileForWrite(newFile.windowsPath.c_str(), 0, 0);
    fuzz::Require(packageHandle != kInvalidFile && (add || oldHandle != kInvalidFile) &&
                      newHandle != kInvalidFile,
                  "cannot open the scratch files");
    static void* fileMemory = operator new(sizeof(PackageFile));
    PackageFile* file = new (fileMemory) PackageFile(packageHandle);
    StateDecodeContext context(*state);
    const Result result = ApplyCompactData(*file, entry, oldHandle, newHandle, context);
    file->~PackageFile();
    os.CloseFile(packageHandle);
    if (oldHandle != kInvalidFile) os.CloseFile(oldHandle);
    os.CloseFile(newHandle);
    fuzz::Require(fuzz::IsDecoderResult(result), "a result the decoder does not return");

    fuzz::Bytes output;
    {
        FileHandle h = OpenFileForRead(newFile.windowsPath.c_str(), 0, 0);
        uint32_t n = os.GetFileSize(h, nullptr);
        output.resize(n);
        uint32_t got = 0;
        fuzz::Require(n == 0 || (os.ReadFile(h, output.data(), n, &got) && got == n), "read back");
        os.CloseFile(h);
    }
    if (result == kResultOk) {
        fuzz::Require(output.size() == newSize, "decoded another size than the header's");
        fuzz::Require(sink.lastProgress == 1000, "progress did not end at 1000");
    }
    if (!raw) {
        fuzz::Bytes expected;
        const bool wellFormed = fuzz::Model(streams, newSize, add ? nullptr : &old, &expected);
        if (result == kResultOk) {
            fuzz::Require(wellFormed && output == expected, "decoded bytes differ from the model");
        } else if (cancelAfter == 0) {
            fuzz::Require(!wellFormed, "refused streams the model decodes");
        }
        if (result != kResultOk && wellFormed) {
            fuzz::Require(output.size() <= expected.size() &&
                              std::equal(output.begin(), output.end(), expected.begin()),
                          "a stopped decode wrote other bytes than the file's first ones");
        }
    }
    ReleaseUpdaterState(state);
    fuzz::Require(fuzz::Seam().OpenFileCount() == 0, "a file handle was left open");
    return 0;
}
