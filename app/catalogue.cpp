#include "app/catalogue.h"

#include <string.h>

#include "package/package_reader.h"

namespace kzp {

const char kBuiltInFontFace[] = "\x82\x6C\x82\x72\x20\x82\x6F\x83\x53\x83\x56\x83\x62\x83\x4E";

Result ReadLanguageSection(PackageFile& file, UpdaterState& state, uint16_t formatVersion) {
    state.codePage = 0;
    LanguageSectionHead head;
    Result result = ReadLanguageSectionHead(file, formatVersion, &head);
    state.deleteBackupsDefault = head.deleteBackupsDefault;
    if (result != kResultOk) return result;
    for (uint32_t i = 0; i < head.blockCount; ++i) {
        result = ReadLanguageBlock(file, state);
        if (result != kResultOk) return result;
    }
    return kResultOk;
}

Result ReadLanguageBlock(PackageFile& file, UpdaterState& state) {
    LanguageBlockHead head;
    const Result result = ReadLanguageBlockHead(file, &head);
    if (result != kResultOk) return result;
    const bool taken = state.codePage == 0 || head.codePage == ansiCodePage;
    if (taken) {
        state.codePage = head.codePage;
        CopyText(state.fontFace, sizeof(state.fontFace), head.fontFace);
        state.fontHeight = head.fontHeight;
    }

    char text[kMaxPath];
    for (int k = 0; k < kCatalogueSlots; ++k) {
        if (!ReadShortString(file, text)) return kErrorReadPackage;
        if (taken) {
            CopyText(state.catalogue[k], kMaxPath, text);
            ConvertLineBreaks(state.catalogue[k]);
        }
    }
    return kResultOk;
}

void LoadDefaultCatalogue(UpdaterState& state) {
    Os& os = TheOs();
    state.codePage = kBuiltInCodePage;
    CopyText(state.fontFace, sizeof(state.fontFace), kBuiltInFontFace);
    state.fontHeight = kBuiltInFontHeight;
    for (int k = 0; k < kCatalogueSlots; ++k) {
        char* slot = state.catalogue[k];
        slot[0] = 0;
        os.LoadStringResource(state.instance, kCatalogueStringBase + static_cast<uint32_t>(k), slot,
                              static_cast<int>(kMaxPath));
        slot[kMaxPath - 1] = 0;
        ConvertLineBreaks(slot);
    }
}

void ConvertLineBreaks(char* text) {
    size_t n = TextLength(text);
    size_t i = 0;
    while (i + 1 < n) {
        if (text[i] == '\\' && text[i + 1] == 'n') {
            text[i] = '\r';
            text[i + 1] = '\n';
            i += 2;
        } else {
            ++i;
        }
    }
}

FontDescription MakePackageFontDescription(const char* fontFace, uint32_t fontHeight,
                                           uint32_t codePage) {
    FontDescription font;
    memset(&font, 0, sizeof(font));
    font.height = static_cast<int32_t>(fontHeight);
    font.weight = 400;  // FW_NORMAL
    font.charSet = 1;   // DEFAULT_CHARSET
    font.quality = 2;   // PROOF_QUALITY
    // Cut a long face at a character boundary so that no half of a double-byte
    // character is left at the end.
    const size_t n = CharacterBoundaryWithin(fontFace, codePage, sizeof(font.faceName) - 1);
    memcpy(font.faceName, fontFace, n);
    font.faceName[n] = 0;
    return font;
}

void CreatePackageFont(UpdaterState& state) {
    packageFont = TheOs().CreateFontFrom(
        MakePackageFontDescription(state.fontFace, state.fontHeight, state.codePage));
}

}  // namespace kzp
