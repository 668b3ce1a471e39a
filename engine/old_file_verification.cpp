#include "engine/old_file_verification.h"

#include <string.h>

#include "engine/file_operations.h"
#include "engine/notify.h"
#include "package/package_records.h"
#include "platform/owned_handles.h"
#include "support/buffered_file.h"
#include "support/file_helpers.h"
#include "support/md5.h"
#include "support/text.h"

namespace kzp {

namespace {

constexpr uint32_t kDigestChunk = 512;

int32_t EntryCount(const PtrArray* list) {
    if (list == nullptr) return 0;
    int32_t count = list->Count();
    return count < 0 ? 0 : count;
}

// Digests `size` bytes of an open file in 512-byte chunks, polling for a
// cancel before each chunk but the first. The chunks are served from a
// read-ahead buffer; the polls and the outcome are those of the chunks.
Result DigestFile(FileHandle file, uint32_t size, UpdaterState& state, uint8_t checkValue[16]) {
    Md5Context context;
    Md5Init(&context);
    Result outcome = kResultOk;
    if (IsCancelRequested(state)) {
        outcome = kResultCancelled;
    } else {
        // Read front to back, 64 KiB at a time is as fast as any larger size.
        const uint32_t kDigestReadAhead = 64u * 1024u;
        uint32_t readAhead = size < kDigestReadAhead ? size : kDigestReadAhead;
        // Chunks alone would not fill the buffer: read them as they come.
        if (readAhead <= kDigestChunk) readAhead = 0;
        FileReadCache reader(file, state.heap, readAhead, 1);
        reader.SetReadLimit(size);
        // The handle was just opened: it reads from the beginning.
        reader.SetFilePointerKnown(0);
        uint8_t chunk[kDigestChunk];
        uint32_t remaining = size;
        while (outcome == kResultOk) {
            uint32_t length = remaining < kDigestChunk ? remaining : kDigestChunk;
            // Hashed where the read-ahead holds it, copied only otherwise.
            const uint8_t* data = nullptr;
            if (!reader.Peek(length, &data) || (data == nullptr && !reader.Read(chunk, length))) {
                outcome = kErrorOldFileRead;
                break;
            }
            Md5Update(&context, data != nullptr ? data : chunk, length);
            remaining -= length;
            if (remaining == 0) break;
            if (IsCancelRequested(state)) outcome = kResultCancelled;
        }
    }
    Md5Final(checkValue, &context);
    return outcome;
}

// One list of files that must be there as the package expects them.
Result VerifyList(PtrArray* list, uint8_t verifyMode, UpdaterState& state, uint8_t ignoreMissing,
                  uint32_t skippedCode) {
    const int32_t count = EntryCount(list);
    for (int32_t i = 0; i < count; ++i) {
        if (IsCancelRequested(state)) return kResultCancelled;
        const FileEntry* entry = static_cast<const FileEntry*>(list->Get(i));
        Result outcome = VerifyOldEntry(*entry, verifyMode, state, ignoreMissing, skippedCode);
        if (outcome != kResultOk && outcome != kOutcomeSkippedMissing) return outcome;
    }
    return kResultOk;
}

}  // namespace

Result CheckOldFile(const char* path, uint8_t checkValue[16], uint8_t verifyMode,
                    UpdaterState& state, uint8_t ignoreMissing) {
    memset(checkValue, 0, 16);
    const bool exists = FileExists(path) != 0;
    if (!exists && ignoreMissing == 1) return kOutcomeSkippedMissing;
    NotifyText(state, verifyMode != 0 ? SN_VERIFY_FILE_DATE_SIZE : SN_VERIFY_FILE_MD5, path);
    if (!exists) return kErrorOldFileMissing;

    Os& os = TheOs();
    OwnedFile file(OpenFileForRead(path, 0, 0));
    if (!file.IsOpen()) return kErrorOldFileOpen;
    Result outcome = kResultOk;
    const uint32_t size = os.GetFileSize(file.Get(), nullptr);
    if (size == kInvalidFileValue) {
        outcome = kErrorOldFileRead;
    } else if (verifyMode != 0) {
        FileTime lastWrite{};
        if (os.GetLastWriteTime(file.Get(), &lastWrite)) {
            const uint32_t words[4] = {lastWrite.low, lastWrite.high, size, 0};
            for (int i = 0; i < 4; ++i) {
                for (int b = 0; b < 4; ++b) {
                    checkValue[4 * i + b] = static_cast<uint8_t>(words[i] >> (8 * b));
                }
            }
        } else {
            // Without its time the file cannot be compared.
            outcome = kErrorOldFileRead;
        }
    } else {
        outcome = DigestFile(file.Get(), size, state, checkValue);
    }
    return outcome;
}

Result VerifyOldEntry(const FileEntry& entry, uint8_t verifyMode, UpdaterState& state,
                      uint8_t ignoreMissing, uint32_t skippedCode) {
    char path[kMaxPath];
    // A name that makes the path too long names no file we could open.
    if (!BuildFullPath(state, entry.name, path)) return kErrorOldFileOpen;
    uint8_t checkValue[16];
    Result outcome = CheckOldFile(path, checkValue, verifyMode, state, ignoreMissing);
    if (outcome == kOutcomeSkippedMissing) {
        NotifyText(state, skippedCode, path);
        return outcome;
    }
    if (outcome != kResultOk) return outcome;
    if (!DigestsEqual(checkValue, entry.digest)) {
        return verifyMode != 0 ? kErrorDateSizeMismatch : kErrorDigestMismatch;
    }
    return kResultOk;
}

Result VerifyAddEntry(const FileEntry& entry, UpdaterState& state) {
    char path[kMaxPath];
    // The add would be refused when it creates the file; refuse it now,
    // while nothing has been changed.
    if (!BuildFullPath(state, entry.name, path)) return kErrorNewFileOpen;
    if (FileExists(path)) {
        NotifyText(state, SN_VERIFY_ADD_EXISTS, path);
        if (state.overwriteOnAdd == 0) return kErrorAddExists;
    }
    return kResultOk;
}

Result VerifyOldFiles(PtrArray* updates, PtrArray* adds, PtrArray* deletes, uint8_t verifyMode,
                      UpdaterState& state) {
    Notify(state, verifyMode != 0 ? SN_VERIFY_DATE_SIZE : SN_VERIFY_MD5);
    Result result =
        VerifyList(updates, verifyMode, state, state.ignoreMissingUpdate, SN_VERIFY_UPDATE_SKIPPED);
    if (result != kResultOk) return result;
    result =
        VerifyList(deletes, verifyMode, state, state.ignoreMissingDelete, SN_VERIFY_DELETE_SKIPPED);
    if (result != kResultOk) return result;

    const int32_t count = EntryCount(adds);
    for (int32_t i = 0; i < count; ++i) {
        result = VerifyAddEntry(*static_cast<const FileEntry*>(adds->Get(i)), state);
        if (result != kResultOk) return result;
    }
    return kResultOk;
}

}  // namespace kzp
