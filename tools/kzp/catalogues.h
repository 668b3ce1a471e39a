// The language blocks kzp puts into a package unless told otherwise: English
// for code page 1252 first, then the updater's built-in Japanese texts for
// code page 932, so that every system shows readable texts.
#pragma once

#include <string>

#include "tools/package_writer/package_writer.h"

namespace kzp::tool {

constexpr int kSlotCount = 69;

// The English texts, slot 0 first. Each has the conversions (%s) of its
// slot's built-in text; a backslash followed by "n" is a line break.
extern const char* const kEnglishTexts[kSlotCount];

writer::LanguageBlock EnglishBlock();
// The built-in catalogue of the updater, converted to code page 932.
writer::LanguageBlock JapaneseBlock();

// A block by its short name: "en" or "ja"; false for other names.
bool BuiltInBlock(const std::string& name, writer::LanguageBlock* block);

}  // namespace kzp::tool
