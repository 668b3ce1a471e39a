#include "package/package_reader.h"

#include <new>
#include <string.h>

#include "package/package_layout.h"
#include "platform/owned_handles.h"

namespace kzp {
namespace {

// Smallest encoded sizes, used to refuse counts that cannot fit the package.
constexpr uint64_t kMinUpdateEntry = 1 + kUpdateEntryFields;
constexpr uint64_t kMinAddEntry = 1 + kAddEntryFields;
constexpr uint64_t kMinDeleteEntry = 1 + kDeleteEntryFields;
constexpr uint64_t kMinFolderRule = 1 + 1 + 1 + 1 + 1 + 1;

bool ReadFileTime(PackageFile& file, FileTime* time) {
    return file.ReadU32(&time->low) && file.ReadU32(&time->high);
}

}  // namespace

bool ReadShortString(PackageFile& file, char* text260) {
    uint8_t length = 0;
    text260[0] = 0;
    if (!file.ReadU8(&length)) return false;
    if (!file.Read(text260, length)) {
        text260[0] = 0;
        return false;
    }
    text260[length] = 0;
    return true;
}

Result ReadLongText(PackageFile& file, HeapHandle heap, char** text) {
    *text = nullptr;
    uint32_t length = 0;
    if (!file.ReadU32(&length)) return kErrorReadPackage;
    if (length == 0) return kResultOk;
    if (length > file.Remaining()) return kErrorReadPackage;
    OwnedHeapBlock block(heap, static_cast<size_t>(length) + 1);
    if (block.Get() == nullptr || !file.Read(block.Get(), length)) return kErrorReadPackage;
    *text = static_cast<char*>(block.Release());
    return kResultOk;
}

Result ReadPackageHeader(PackageFile& file, PackageHeader* header) {
    memset(header, 0, sizeof(*header));
    if (!file.Seek(kPackageOffset)) return kErrorReadPackage;
    char magic[4];
    if (!file.Read(magic, 4)) return kErrorReadPackage;
    if (memcmp(magic, kPackageMagic, 4) != 0) return kErrorNotPackage;
    if (!file.ReadU16(&header->formatVersion)) return kErrorReadPackage;
    if (!IsKnownFormatVersion(header->formatVersion)) return kErrorPackageVersion;
    if (!ReadShortString(file, header->title) || !ReadShortString(file, header->oldVersion) ||
        !ReadShortString(file, header->newVersion) ||
        !ReadShortString(file, header->copyrightText) || !file.ReadU8(&header->passwordFlag)) {
        return kErrorReadPackage;
    }
    if (header->passwordFlag == 1 && !file.Read(header->passwordDigest, 16)) {
        return kErrorReadPackage;
    }
    return kResultOk;
}

Result ReadLanguageSectionHead(PackageFile& file, uint16_t formatVersion,
                               LanguageSectionHead* head) {
    head->deleteBackupsDefault = 1;
    head->blockCount = 0;
    if (formatVersion < kVersionWithLanguages) return kResultOk;
    return file.ReadU8(&head->deleteBackupsDefault) && file.ReadU16(&head->blockCount)
               ? kResultOk
               : kErrorReadPackage;
}

Result ReadLanguageBlockHead(PackageFile& file, LanguageBlockHead* head) {
    memset(head, 0, sizeof(*head));
    return file.ReadU32(&head->codePage) && ReadShortString(file, head->fontFace) &&
                   file.ReadU8(&head->fontHeight)
               ? kResultOk
               : kErrorReadPackage;
}

Result ReadTargetFolderSection(PackageFile& file, uint16_t formatVersion, HeapHandle heap,
                               TargetFolderSection* section) {
    memset(section, 0, sizeof(*section));
    if (!file.ReadU8(&section->folderType)) return kErrorReadPackage;
    switch (section->folderType) {
        case kFolderAsk:
            section->hasRecord = true;
            return kResultOk;
        case kFolderRegistry:
            section->hasRecord = true;
            return file.ReadU8(&section->rootOrBase) && ReadShortString(file, section->path) &&
                           ReadShortString(file, section->name)
                       ? kResultOk
                       : kErrorReadPackage;
        case kFolderIni:
            section->hasRecord = true;
            return file.ReadU8(&section->rootOrBase) && ReadShortString(file, section->path) &&
                           ReadShortString(file, section->name) &&
                           ReadShortString(file, section->key)
                       ? kResultOk
                       : kErrorReadPackage;
        case kFolderBasePlusPath:
            section->hasRecord = true;
            return file.ReadU8(&section->rootOrBase) && ReadShortString(file, section->path)
                       ? kResultOk
                       : kErrorReadPackage;
        case kFolderRules:
            if (formatVersion < kVersionWithLanguages) return kResultOk;
            break;
        default:
            return kResultOk;
    }

    section->hasRecord = true;
    uint32_t ruleCount = 0;
    if (!file.ReadU32(&ruleCount)) return kErrorReadPackage;
    if (ruleCount * kMinFolderRule > file.Remaining()) return kErrorReadPackage;
    section->rules = PtrArray::Create(10);
    if (section->rules == nullptr) return kErrorReadPackage;
    for (uint32_t i = 0; i < ruleCount; ++i) {
        OwnedHeapBlock block(heap, sizeof(FolderRule));
        FolderRule* rule = static_cast<FolderRule*>(block.Get());
        if (rule == nullptr) return kErrorReadPackage;
        bool ok = file.ReadU8(&rule->ruleKind) && file.ReadU8(&rule->rootOrBase) &&
                  ReadShortString(file, rule->rulePath) && ReadShortString(file, rule->ruleName) &&
                  ReadShortString(file, rule->ruleKey) && file.ReadU8(&rule->resultVariable);
        if (!ok || section->rules->Push(rule) < 0) return kErrorReadPackage;
        block.Release();  // the list holds it now
    }
    return kResultOk;
}

void ReleaseFolderRules(HeapHandle heap, TargetFolderSection* section) {
    if (section->rules == nullptr) return;
    for (int32_t i = 0; i < section->rules->Count(); ++i) {
        TheOs().HeapFree(heap, section->rules->Get(i));
    }
    PtrArray::Destroy(section->rules);
    section->rules = nullptr;
}

Result ReadRunningCheckSection(PackageFile& file, RunningCheckSection* section) {
    memset(section, 0, sizeof(*section));
    if (!file.ReadU8(&section->checkType)) return kErrorReadPackage;
    bool ok = true;
    if (section->checkType == kCheckByWindow) {
        ok = ReadShortString(file, section->windowTitle) &&
             ReadShortString(file, section->windowClass) && file.ReadU8(&section->waitForExit);
    } else if (section->checkType == kCheckByProcess) {
        ok = ReadShortString(file, section->programName) && file.ReadU8(&section->waitForExit);
    }
    return ok ? kResultOk : kErrorReadPackage;
}

Result ReadLaunchAndDocuments(PackageFile& file, HeapHandle heap, char* launchFile260,
                              char** documentBefore, char** documentAfter) {
    if (!ReadShortString(file, launchFile260)) return kErrorReadPackage;
    Result result = ReadLongText(file, heap, documentBefore);
    if (result != kResultOk) return result;
    return ReadLongText(file, heap, documentAfter);
}

Result ReadApplyOptions(PackageFile& file, uint16_t formatVersion, ApplyOptionFlags* options) {
    memset(options, 0, sizeof(*options));
    if (formatVersion < kVersionWithLanguages) return kResultOk;
    return file.ReadU8(&options->ignoreMissingUpdate) && file.ReadU8(&options->overwriteOnAdd) &&
                   file.ReadU8(&options->ignoreMissingDelete)
               ? kResultOk
               : kErrorReadPackage;
}

Result ReadListHeader(PackageFile& file, ListHeader* header) {
    memset(header, 0, sizeof(*header));
    if (!file.ReadU8(&header->verifyMode) || !file.ReadU32(&header->updateCount) ||
        !file.ReadU32(&header->addCount) || !file.ReadU32(&header->deleteCount)) {
        return kErrorReadPackage;
    }
    uint64_t least = header->updateCount * kMinUpdateEntry + header->addCount * kMinAddEntry +
                     header->deleteCount * kMinDeleteEntry;
    if (least > file.Remaining()) return kErrorReadPackage;
    return kResultOk;
}

Result ReadFileEntry(PackageFile& file, EntryKind kind, FileEntry* entry) {
    memset(entry, 0, sizeof(*entry));
    if (!ReadShortString(file, entry->name)) return kErrorReadPackage;
    bool ok = true;
    if (kind != EntryKind::kAdd) ok = file.Read(entry->digest, 16);
    if (ok && kind != EntryKind::kDelete) {
        ok = ReadFileTime(file, &entry->fileTime) && file.ReadU32(&entry->dataOffset) &&
             file.ReadU32(&entry->dataLength);
    }
    return ok ? kResultOk : kErrorReadPackage;
}

}  // namespace kzp
