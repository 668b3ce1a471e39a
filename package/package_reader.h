// The package's forward pass, one operation per section, in the order the
// apply thread calls them. Each returns 0, or 0x10002 when a read fails or
// falls short (0x10003 / 0x10004 for the header's magic and version).
#pragma once

#include "package/package_file.h"
#include "package/package_records.h"
#include "support/result_code.h"

namespace kzp {

// Seeks to the package offset and reads magic, version, the four header texts
// and the password fields.
Result ReadPackageHeader(PackageFile& file, PackageHeader* header);

// For version 120 the backup default and the block count; below it, the
// defaults without reading anything.
Result ReadLanguageSectionHead(PackageFile& file, uint16_t formatVersion,
                               LanguageSectionHead* head);
// Code page, font face and height of one block.
Result ReadLanguageBlockHead(PackageFile& file, LanguageBlockHead* head);

// A u8 length and that many bytes, terminated (always fits 260 bytes).
bool ReadShortString(PackageFile& file, char* text260);
// A u32 length and that many bytes into a zero-filled heap block one byte
// longer; *text is null when the length is 0. A length beyond what remains of
// the package fails before anything is allocated.
Result ReadLongText(PackageFile& file, HeapHandle heap, char** text);

// The target-folder section with its record; rules go to a new PtrArray of
// heap records.
Result ReadTargetFolderSection(PackageFile& file, uint16_t formatVersion, HeapHandle heap,
                               TargetFolderSection* section);
void ReleaseFolderRules(HeapHandle heap, TargetFolderSection* section);

Result ReadRunningCheckSection(PackageFile& file, RunningCheckSection* section);

// The follow-up file name into `launchFile260`, then the two documents (heap
// blocks, as ReadLongText gives them).
Result ReadLaunchAndDocuments(PackageFile& file, HeapHandle heap, char* launchFile260,
                              char** documentBefore, char** documentAfter);

// Sets the three option flags to 0, then reads them for version 120.
Result ReadApplyOptions(PackageFile& file, uint16_t formatVersion, ApplyOptionFlags* options);

// verifyMode and the three counts. Counts that could not fit in what remains
// of the package fail at once.
Result ReadListHeader(PackageFile& file, ListHeader* header);

Result ReadFileEntry(PackageFile& file, EntryKind kind, FileEntry* entry);

}  // namespace kzp
