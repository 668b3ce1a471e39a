// ApplyDiffStream over any stream, against a small old file, writing to a
// scratch file, compared with a model of the decoder: a stream the model
// decodes with a block size the decoder must serve has to give the same
// result, the same bytes and the same final progress; any other stream may
// be refused, but only with one of the decoder's codes, and whatever the
// decoder then writes must be what the model writes.
//
// Input: old-file length (u8, at most 64) and that many bytes, the data
// length (u32), the notification after which the user cancels (u8, 0 never),
// then the stream.
#include <string.h>

#include <new>

#include <algorithm>
#include <vector>

#include "engine/notify.h"
#include "engine/status_notification.h"
#include "package/diff_decoder.h"
#include "package/package_layout.h"
#include "support/file_helpers.h"
#include "tests/fuzz/decoder_sink.h"
#include "tests/fuzz/fuzz_platform.h"

namespace kzp::fuzz {
namespace {

using Bytes = std::vector<uint8_t>;

// Block sizes up to this must be decoded; larger ones may be refused.
constexpr uint32_t kServedBlockSize = 1u << 16;

struct ModelRun {
    Result result = kResultOk;
    Bytes output;
    uint64_t consumed = 0;
    bool plain = true;  // no block size or length the decoder may refuse
};

ModelRun Model(const Bytes& stream, const Bytes& old) {
    ModelRun run;
    size_t at = 0;
    auto take = [&](size_t n, const uint8_t** bytes) {
        if (stream.size() - at < n) return false;
        *bytes = stream.data() + at;
        at += n;
        run.consumed += n;
        return true;
    };
    auto u32 = [&](uint32_t* v) {
        const uint8_t* b;
        if (!take(4, &b)) return false;
        *v = b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<uint32_t>(b[3]) << 24);
        return true;
    };
    // Seeks take a signed 32-bit distance; a read of nothing succeeds
    // wherever the file pointer stands.
    auto seekOld = [](uint32_t offset) { return offset <= 0x7FFFFFFF; };
    auto copyOld = [&](uint64_t offset, uint64_t length) {
        if (length == 0) return true;
        if (offset + length > old.size()) return false;
        run.output.insert(run.output.end(), old.begin() + static_cast<long>(offset),
                          old.begin() + static_cast<long>(offset + length));
        return true;
    };
    auto literal = [&](uint64_t length) {
        const uint8_t* b;
        if (!take(static_cast<size_t>(length), &b)) return false;
        run.output.insert(run.output.end(), b, b + length);
        return true;
    };
    const uint8_t* header;
    if (!take(4, &header)) {
        run.result = kErrorReadPackage;
        return run;
    }
    if (memcmp(header, kDiffMagic, 4) != 0) {
        run.result = kErrorDiffData;
        return run;
    }
    if (!take(2, &header)) {
        run.result = kErrorReadPackage;
        return run;
    }
    if ((header[0] | (header[1] << 8)) > kMaxDiffVersion) {
        run.result = kErrorDiffVersion;
        return run;
    }
    uint32_t block = 0;
    if (!u32(&block)) {
        run.result = kErrorReadPackage;
        return run;
    }
    if (block == 0 || block > kServedBlockSize) run.plain = false;
    for (;;) {
        const uint8_t* op;
        if (!take(1, &op)) {
            run.result = kErrorReadPackage;
            return run;
        }
        uint32_t a = 0, b = 0;
        bool ok = true;
        Result failure = kErrorOldFileRead;
        switch (*op) {
            case kOpEnd:
                return run;
            case kOpCopyBlock:
                ok = u32(&a) || ((failure = kErrorReadPackage), false);
                if (ok) ok = seekOld(a) && copyOld(a, block);
                break;
            case kOpCopyBlocks:
                ok = (u32(&a) && u32(&b)) || ((failure = kErrorReadPackage), false);
                if (ok) ok = seekOld(a);
                // A block size of 0 copies nothing however often.
                for (uint32_t i = 0; ok && i < b && block != 0; ++i) {
                    ok = copyOld(a + uint64_t{i} * block, block);
                }
                break;
            case kOpCopyRange:
                ok = (u32(&a) && u32(&b)) || ((failure = kErrorReadPackage), false);
                if (ok && b > block) run.plain = false;
                if (ok) ok = seekOld(a) && copyOld(a, b);
                break;
            case kOpLiteralBlock:
                failure = kErrorReadPackage;
                ok = literal(block);
                break;
            case kOpLiteralBlocks:
                failure = kErrorReadPackage;
                ok = u32(&a);
                for (uint32_t i = 0; ok && i < a && block != 0; ++i) ok = literal(block);
                break;
            case kOpLiteralRange:
                failure = kErrorReadPackage;
                ok = u32(&a);
                if (ok && a > block) run.plain = false;
                if (ok) ok = literal(a);
                break;
            default:
                break;
        }
        if (!ok) {
            run.result = failure;
            return run;
        }
    }
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
    FileEntry entry{};
    entry.dataLength = input.U32();
    entry.fileTime = {0x89ABCDEFu, 0x01D00000u};
    const uint32_t cancelAfter = input.U8();
    const fuzz::Bytes stream(input.Rest(), input.Rest() + input.RestSize());
    fuzz::Refill(package, kPackageOffset, stream.data(), stream.size());
    fuzz::Refill(oldFile, 0, old.data(), old.size());

    // Static: a fresh 20 KB record and 64 KB read-ahead per input would cost
    // more than the pass itself.
    static UpdaterState* state = new UpdaterState;
    InitUpdaterState(state, kNoInstance);
    fuzz::CancellingSink sink(*state, cancelAfter);
    state->sink = &sink;
    Os& os = TheOs();
    FileHandle packageHandle = OpenFileForRead(package.windowsPath.c_str(), kFileShareRead, 0);
    FileHandle oldHandle = OpenFileForRead(oldFile.windowsPath.c_str(), 0, 0);
    FileHandle newHandle = CreateFileForWrite(newFile.windowsPath.c_str(), 0, 0);
    fuzz::Require(
        packageHandle != kInvalidFile && oldHandle != kInvalidFile && newHandle != kInvalidFile,
        "cannot open the scratch files");
    static void* fileMemory = operator new(sizeof(PackageFile));
    PackageFile* file = new (fileMemory) PackageFile(packageHandle);
    StateDecodeContext context(*state);
    const Result result = ApplyDiffStream(*file, entry, oldHandle, newHandle, context);
    file->~PackageFile();
    FileTime written{};
    os.GetLastWriteTime(newHandle, &written);
    os.CloseFile(packageHandle);
    os.CloseFile(oldHandle);
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
    const fuzz::ModelRun model = fuzz::Model(stream, old);
    if (result == kResultOk) {
        fuzz::Require(model.result == kResultOk, "decoded a stream the model fails");
        fuzz::Require(output == model.output, "decoded bytes differ from the model");
        fuzz::Require(written.low == entry.fileTime.low && written.high == entry.fileTime.high,
                      "a decoded file without its time");
    } else if (result == kResultCancelled && model.plain) {
        fuzz::Require(output.size() <= model.output.size() &&
                          std::equal(output.begin(), output.end(), model.output.begin()),
                      "a cancelled decode wrote other bytes than the stream's first ones");
    }
    if (model.plain && result != kResultCancelled && cancelAfter == 0) {
        fuzz::Require(result == model.result, "result differs from the model");
        fuzz::Require(output == model.output, "bytes written differ from the model");
        if (result == kResultOk) {
            fuzz::Require(sink.lastProgress ==
                              (entry.dataLength == 0
                                   ? 0
                                   : static_cast<intptr_t>(static_cast<double>(model.consumed) /
                                                           entry.dataLength * 1000.0)),
                          "final progress differs from the model");
        }
    }
    ReleaseUpdaterState(state);
    fuzz::Require(fuzz::Seam().OpenFileCount() == 0, "a file handle was left open");
    return 0;
}
