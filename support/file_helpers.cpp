#include "support/file_helpers.h"

#include "support/text.h"

namespace kzp {

int FileExists(const char* path) {
    return TheOs().FindFirstFileExists(path) ? 1 : 0;
}

int MakeDirectoryPath(const char* path) {
    Os& os = TheOs();
    if (TextLength(path) >= kMaxPath) return 0;
    const uint32_t codePage = os.GetAnsiCodePage();

    // Walk the components between backslashes (runs count as one separator;
    // double-byte characters are stepped over so that a trailing 0x5C byte is
    // not taken for a separator).
    char built[kMaxPath] = {};
    size_t i = 0;
    bool first = true;
    while (path[i] != 0) {
        while (path[i] == '\\') ++i;
        if (path[i] == 0) break;
        size_t begin = i;
        while (path[i] != 0 && path[i] != '\\') {
            if (IsLeadByte(codePage, static_cast<uint8_t>(path[i])) && path[i + 1] != 0) ++i;
            ++i;
        }
        char component[kMaxPath];
        CopyTextRange(component, sizeof(component), path, begin, i);
        if (first) {
            if (component[1] != ':') return 0;  // no drive, or a network share
            CopyText(built, sizeof(built), component);
            AppendChar(built, sizeof(built), '\\');
            first = false;
            continue;
        }
        if (!AppendText(built, sizeof(built), component)) return 0;
        if (!os.FindFirstFileExists(built) && !os.MakeDirectory(built)) return 0;
        if (!AppendChar(built, sizeof(built), '\\')) return 0;
    }
    return first ? 0 : 1;
}

static FileHandle OpenWith(const char* path, uint32_t access, uint32_t shareMode,
                           uint32_t disposition, uint32_t flags) {
    Os& os = TheOs();
    bool nt = os.GetVersion().platformId == kPlatformWin32Nt;
    return os.CreateFileHandle(path, access, shareMode, nt, disposition,
                               flags | kFileAttributeArchive);
}

FileHandle OpenFileForRead(const char* path, uint32_t shareMode, uint32_t flags) {
    return OpenWith(path, kGenericRead, shareMode, kOpenExisting, flags);
}

FileHandle CreateFileForWrite(const char* path, uint32_t shareMode, uint32_t flags) {
    return OpenWith(path, kGenericWrite, shareMode, kCreateAlways, flags);
}

int OsClassOf(const OsVersion& version) {
    if (version.platformId == kPlatformWin32Nt) {
        if (version.majorVersion < 4) return -1;
        if (version.majorVersion == 4) return 3;
        return version.minorVersion == 1 ? 6 : 4;
    }
    if (version.minorVersion == 10) return 2;
    if (version.minorVersion == 90) return 5;
    return 1;
}

int GetOsClass() {
    return OsClassOf(TheOs().GetVersion());
}

char* ReplaceReservedChars(char* text, char replacement) {
    static const char kReserved[] = "/:,;*?\"<>|";
    for (size_t i = 0; text[i] != 0; ++i) {
        uint8_t c = static_cast<uint8_t>(text[i]);
        if (IsCp932LeadByte(c)) {
            if (text[i + 1] == 0) break;
            ++i;
            continue;
        }
        for (const char* r = kReserved; *r != 0; ++r) {
            if (text[i] == *r) {
                text[i] = replacement;
                break;
            }
        }
    }
    return text;
}

}  // namespace kzp
