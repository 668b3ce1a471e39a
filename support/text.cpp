#include "support/text.h"

namespace kzp {

size_t TextLength(const char* text) {
    size_t n = 0;
    while (text[n] != 0) ++n;
    return n;
}

bool TextEquals(const char* a, const char* b) {
    while (*a != 0 && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

static char FoldAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool TextEqualsIgnoreCase(const char* a, const char* b) {
    while (*a != 0 && FoldAscii(*a) == FoldAscii(*b)) {
        ++a;
        ++b;
    }
    return FoldAscii(*a) == FoldAscii(*b);
}

bool CopyText(char* target, size_t size, const char* source) {
    if (size == 0) return false;
    target[0] = 0;
    return AppendText(target, size, source);
}

bool AppendText(char* target, size_t size, const char* source) {
    if (size == 0) return false;
    size_t n = TextLength(target);
    while (*source != 0) {
        if (n + 1 >= size) {
            target[n] = 0;
            return false;
        }
        target[n++] = *source++;
    }
    target[n] = 0;
    return true;
}

bool AppendChar(char* target, size_t size, char c) {
    const char text[2] = {c, 0};
    return AppendText(target, size, text);
}

bool EndsWithBackslash(const char* text) {
    size_t n = TextLength(text);
    return n > 0 && text[n - 1] == '\\';
}

bool AppendBackslashIfMissing(char* target, size_t size) {
    if (target[0] == 0 || EndsWithBackslash(target)) return true;
    return AppendChar(target, size, '\\');
}

bool IsCp932LeadByte(uint8_t byte) {
    return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

bool IsLeadByte(uint32_t codePage, uint8_t byte) {
    switch (codePage) {
        case 932:
            return IsCp932LeadByte(byte);
        case 936:  // Simplified Chinese GBK
        case 949:  // Korean
        case 950:  // Traditional Chinese Big5
            return byte >= 0x81 && byte <= 0xFE;
        default:
            return false;
    }
}

size_t CharacterLength(const char* text, uint32_t codePage) {
    return IsLeadByte(codePage, static_cast<uint8_t>(text[0])) && text[1] != 0 ? 2 : 1;
}

size_t CharacterBoundaryWithin(const char* text, uint32_t codePage, size_t limit) {
    size_t n = 0;
    while (text[n] != 0) {
        const size_t step = CharacterLength(text + n, codePage);
        if (n + step > limit) break;
        n += step;
    }
    return n;
}

PathParts SplitPath(const char* path, uint32_t codePage) {
    PathParts parts{};
    size_t n = TextLength(path);
    parts.end = n;
    if (n >= 2 && path[1] == ':') parts.driveEnd = 2;
    parts.directoryEnd = parts.driveEnd;
    size_t lastDot = n;
    for (size_t i = parts.driveEnd; i < n; ++i) {
        uint8_t c = static_cast<uint8_t>(path[i]);
        if (IsLeadByte(codePage, c) && i + 1 < n) {
            ++i;
            continue;
        }
        if (c == '\\' || c == '/') {
            parts.directoryEnd = i + 1;
            lastDot = n;
        } else if (c == '.') {
            lastDot = i;
        }
    }
    parts.extensionStart = lastDot;
    return parts;
}

bool CopyTextRange(char* target, size_t size, const char* text, size_t begin, size_t end) {
    if (size == 0) return false;
    size_t n = 0;
    bool fits = true;
    for (size_t i = begin; i < end; ++i) {
        if (n + 1 >= size) {
            fits = false;
            break;
        }
        target[n++] = text[i];
    }
    target[n] = 0;
    return fits;
}

}  // namespace kzp
