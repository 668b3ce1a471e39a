#include "tools/kzp/catalogues.h"

#include <stdexcept>

#include "app/catalogue.h"
#include "resources/string_table.h"
#include "tools/kzp/text_encoding.h"

namespace kzp::tool {

const char* const kEnglishTexts[kSlotCount] = {
    "&OK",
    "&Cancel",
    "&Close",
    "Browse...",
    // The label is 29 dialog units wide, too narrow for "Copyright:"; "Copr."
    // is the word's usual abbreviation in a copyright notice.
    "Copr.",
    "Finished",
    "Log:",
    "Delete the backups (*.old) when closing",
    "%s Updater (%s -> %s)",
    "Updates %s from version %s to version %s",
    "This will update %s from version %s to version %s.\\n\\nClick Yes to continue.",
    "Update file [%s]",
    "Updating %s%s...",
    "Adding %s%s...",
    "Deleting %s%s...",
    "Checking the integrity of the update file...",
    "Checking the update file...",
    "Reading the update file's information...",
    "Stopping the update...",
    "The update has been applied.",
    "An error occurred while applying the update.",
    "The update was cancelled.",
    "The update was stopped because \"%s\" is running.",
    "Restoring the files changed so far...",
    "The files changed so far have been restored.",
    "Folder to update [%s]",
    "Checking the old files [MD5 checksum]...",
    "Checking the old files [file date and size]...",
    "[%s] Computing the MD5 checksum...",
    "[%s] Reading the file date and size...",
    "[%s] Updating...",
    "[%s] Adding...",
    "[%s] Deleting...",
    " ",
    "Checking whether \"%s\" is running. If it is, please close it now...",
    "[%s] The file to update does not exist and is skipped.",
    "[%s] A file with the name of a file to add already exists.",
    "[%s] The file to add already exists and is overwritten.",
    "[%s] The file to delete does not exist and is skipped.",
    "----------",
    " ",
    "[Error] Unable to open the update file.",
    "[Error] Unable to read the update file.",
    "[Error] This file is not a kzp update file.",
    "[Error] The update file is of an unsupported version.",
    "[Error] A file of the old version does not exist.",
    "[Error] Unable to open a file of the old version.",
    "[Error] Unable to read a file of the old version.",
    "[Error] Unable to find the folder to update.",
    "[Error] \"%s\" may not be installed.",
    "[Error] A file of the old version has other contents (MD5 checksum mismatch).",
    "[Error] A file of the old version differs (file date and size mismatch).",
    // clang-format off
    "[Error] Unable to rename a file of the old version. A backup file of the same name may be left over.",
    // clang-format on
    "[Error] Unable to open a file of the new version.",
    "[Error] Unable to write a file of the new version.",
    "[Error] The diff data is not valid.",
    "[Error] The diff data is of an unsupported version.",
    "[Error] The update file is inconsistent. It may have been tampered with.",
    "[Error] Unable to obtain information on running programs.",
    "[Error] A file to be added already exists.",
    "Document",
    "Password",
    "This update file is protected by a password. Please enter the password:",
    "The password does not match.\\nPlease check the password and enter it again.",
    "Folder to Update",
    "Please enter the folder to update:",
    "Please select the folder to update.",
    "No folder has been entered.",
    "The folder does not exist.",
};

writer::LanguageBlock EnglishBlock() {
    writer::LanguageBlock block;
    block.codePage = 1252;
    block.fontFace = "MS Sans Serif";
    block.fontHeight = 13;
    for (int k = 0; k < kSlotCount; ++k) block.texts[k] = kEnglishTexts[k];
    return block;
}

writer::LanguageBlock JapaneseBlock() {
    writer::LanguageBlock block;
    block.codePage = kBuiltInCodePage;
    block.fontFace = kBuiltInFontFace;
    block.fontHeight = static_cast<uint8_t>(kBuiltInFontHeight);
    for (int k = 0; k < kSlotCount; ++k) {
        const char* utf8 = FindBuiltInString(kCatalogueStringBase + static_cast<uint32_t>(k));
        std::optional<std::string> text = FromUtf8(utf8 != nullptr ? utf8 : "", kBuiltInCodePage);
        if (!text)
            throw std::runtime_error("built-in text " + std::to_string(k) +
                                     " has no code page 932 form");
        block.texts[k] = *text;
    }
    return block;
}

bool BuiltInBlock(const std::string& name, writer::LanguageBlock* block) {
    if (name == "en") {
        *block = EnglishBlock();
    } else if (name == "ja") {
        *block = JapaneseBlock();
    } else {
        return false;
    }
    return true;
}

}  // namespace kzp::tool
