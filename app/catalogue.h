// The message catalogue: 69 text slots, settled once per run from the
// package's language blocks or from the built-in texts.
#pragma once

#include "app/updater_state.h"
#include "package/package_file.h"
#include "support/result_code.h"

namespace kzp {

// Catalogue slots by what they say (slot k defaults to string 1000 + k).
enum CatalogueSlot : int {
    kSlotOk = 0,
    kSlotCancel = 1,
    kSlotClose = 2,
    kSlotBrowse = 3,
    kSlotCopyrightLabel = 4,
    kSlotFinished = 5,
    kSlotLogLabel = 6,
    kSlotDeleteBackups = 7,
    kSlotCaption = 8,
    kSlotHeading = 9,
    kSlotConfirm = 10,
    kSlotPackagePath = 11,
    kSlotUpdatingLabel = 12,
    kSlotAddingLabel = 13,
    kSlotDeletingLabel = 14,
    kSlotIntegrityCheck = 15,
    kSlotCheckingPackage = 16,
    kSlotReadingInfo = 17,
    kSlotStopping = 18,
    kSlotApplied = 19,
    kSlotErrorOccurred = 20,
    kSlotCancelled = 21,
    kSlotProgramRunning = 22,
    kSlotRestoring = 23,
    kSlotRestored = 24,
    kSlotTargetFolder = 25,
    kSlotVerifyMd5 = 26,
    kSlotVerifyDateSize = 27,
    kSlotFileMd5 = 28,
    kSlotFileDateSize = 29,
    kSlotUpdatingLog = 30,
    kSlotAddingLog = 31,
    kSlotDeletingLog = 32,
    kSlotWaitForProgram = 34,
    kSlotUpdateMissing = 35,
    kSlotAddExists = 36,
    kSlotAddOverwrite = 37,
    kSlotDeleteMissing = 38,
    kSlotSeparator = 39,
    // The messages of the error results, 0x10001 to 0x10012 in order; 0x10008
    // has two lines.
    kSlotOpenError = 41,
    kSlotReadError = 42,
    kSlotNotPackageError = 43,
    kSlotPackageVersionError = 44,
    kSlotOldFileMissingError = 45,
    kSlotOldFileOpenError = 46,
    kSlotOldFileReadError = 47,
    kSlotTargetFolderError = 48,
    kSlotNotInstalled = 49,
    kSlotDigestMismatchError = 50,
    kSlotDateSizeMismatchError = 51,
    kSlotRenameError = 52,
    kSlotNewFileOpenError = 53,
    kSlotNewFileWriteError = 54,
    kSlotDiffDataError = 55,
    kSlotDiffVersionError = 56,
    kSlotTamperedError = 57,
    kSlotProcessListError = 58,
    kSlotAddExistsError = 59,
    kSlotDocumentCaption = 60,
    kSlotPasswordCaption = 61,
    kSlotPasswordPrompt = 62,
    kSlotPasswordMismatch = 63,
    kSlotFolderCaption = 64,
    kSlotFolderPrompt = 65,
    kSlotFolderPickerTitle = 66,
    kSlotFolderEmpty = 67,
    kSlotFolderMissing = 68,
};

constexpr uint32_t kCatalogueStringBase = 1000;
// Fixed texts of the main window, Japanese (932) and English (other code pages).
constexpr uint32_t kStringThreadStartFailedJa = 109;
constexpr uint32_t kStringOpenErrorJa = 110;
constexpr uint32_t kStringReadErrorJa = 111;
constexpr uint32_t kStringThreadStartFailedEn = 209;
constexpr uint32_t kStringOpenErrorEn = 210;
constexpr uint32_t kStringReadErrorEn = 211;
// English texts of catalogue slots for runs that stop before the catalogue
// is settled on a system whose code page is not 932.
constexpr uint32_t kStringCloseEn = 212;
constexpr uint32_t kStringErrorOccurredEn = 213;
constexpr uint32_t kStringNotPackageEn = 214;
constexpr uint32_t kStringPackageVersionEn = 215;

// "ＭＳ Ｐゴシック" in code page 932.
extern const char kBuiltInFontFace[];
constexpr uint32_t kBuiltInFontHeight = 12;
constexpr uint32_t kBuiltInCodePage = 932;

// Sets codePage to 0, then reads the language section (nothing below version
// 120): deleteBackupsDefault (1 without the section) and every block through
// ReadLanguageBlock. 0 or 0x10002.
Result ReadLanguageSection(PackageFile& file, UpdaterState& state, uint16_t formatVersion);

// Reads one language block at the file position and takes it when no block
// is taken yet or its code page is the system's. 0 or 0x10002.
Result ReadLanguageBlock(PackageFile& file, UpdaterState& state);

// Code page 932, the built-in face and height, and strings 1000..1068.
void LoadDefaultCatalogue(UpdaterState& state);

// Turns each backslash + "n" pair into CR LF, in place, byte by byte.
void ConvertLineBreaks(char* text);

// The LOGFONTA values of the package font. A face longer than the 31 bytes
// the description holds is cut at a character boundary of `codePage`.
FontDescription MakePackageFontDescription(const char* fontFace, uint32_t fontHeight,
                                           uint32_t codePage);
// Creates packageFont from the state's face and height.
void CreatePackageFont(UpdaterState& state);

}  // namespace kzp
