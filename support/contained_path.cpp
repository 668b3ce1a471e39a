#include "support/contained_path.h"

#include "support/text.h"

namespace kzp {
namespace {

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

char Upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// The device names that every folder holds. A component names the device
// when the part before its first dot, with trailing spaces dropped, is one.
bool IsDeviceName(const char* begin, const char* end) {
    const char* stem = begin;
    while (stem < end && *stem != '.') ++stem;
    while (stem > begin && stem[-1] == ' ') --stem;
    char upper[8];
    const long length = stem - begin;
    if (length < 3 || length > 7) return false;
    for (long i = 0; i < length; ++i) upper[i] = Upper(begin[i]);
    upper[length] = 0;
    static const char* const kDevices[] = {"CON",    "PRN",     "AUX",   "NUL",
                                           "CONIN$", "CONOUT$", "CLOCK$"};
    for (const char* device : kDevices) {
        if (TextEquals(upper, device)) return true;
    }
    if (length != 4 || upper[3] < '1' || upper[3] > '9') return false;
    upper[3] = 0;
    return TextEquals(upper, "COM") || TextEquals(upper, "LPT");
}

bool IsForbiddenInName(char c) {
    const uint8_t byte = static_cast<uint8_t>(c);
    if (byte < 0x20) return true;
    for (const char* p = ":*?\"<>|"; *p != 0; ++p) {
        if (c == *p) return true;
    }
    return false;
}

bool IsDotsAndSpaces(const char* begin, const char* end) {
    for (const char* p = begin; p < end; ++p) {
        if (*p != '.' && *p != ' ') return false;
    }
    return true;
}

}  // namespace

bool IsContainedRelativeName(const char* name, uint32_t codePage) {
    if (name[0] == 0 || IsSeparator(name[0])) return false;
    const char* component = name;
    const char* p = name;
    for (;;) {
        const char c = *p;
        if (c == 0 || IsSeparator(c)) {
            // An empty component between two separators is harmless; at the
            // end it would make the name a folder.
            if (p == component && c == 0) return false;
            // "." before a separator names the folder it stands in, as the
            // system reads it; anywhere else a run of dots and spaces climbs
            // out ("..") or names no file.
            const bool currentFolder = p == component + 1 && *component == '.' && c != 0;
            if (p > component && !currentFolder &&
                (IsDotsAndSpaces(component, p) || IsDeviceName(component, p))) {
                return false;
            }
            if (c == 0) return true;
            component = ++p;
            continue;
        }
        if (IsForbiddenInName(c)) return false;
        p += CharacterLength(p, codePage);
    }
}

bool IsSinglePathComponent(const char* text, uint32_t codePage) {
    for (const char* p = text; *p != 0;) {
        if (IsSeparator(*p)) return false;
        p += CharacterLength(p, codePage);
    }
    return true;
}

}  // namespace kzp
