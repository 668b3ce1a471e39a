// Formatting of catalogue texts.
//
// Catalogue texts can come from a package and are used as format strings, so
// the formatter must be safe whatever they hold: it takes its arguments as a
// typed array and never reads one that was not passed; a conversion without a
// matching argument, or of the wrong kind, is copied to the output as it
// stands; there is no conversion that writes memory (no %n) and the output is
// always terminated inside the buffer. Otherwise it follows wsprintfA:
// %[-][0][width][.precision][h|l]{s,S,c,C,d,i,u,x,X} and %%.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace kzp {

struct FormatArg {
    enum Kind : uint8_t { kText, kSigned, kUnsigned };
    Kind kind;
    const char* text;
    int64_t number;

    FormatArg(const char* t) : kind(kText), text(t), number(0) {}
    FormatArg(char* t) : kind(kText), text(t), number(0) {}
    FormatArg(int v) : kind(kSigned), text(nullptr), number(v) {}
    FormatArg(long v) : kind(kSigned), text(nullptr), number(v) {}
    FormatArg(unsigned v) : kind(kUnsigned), text(nullptr), number(v) {}
    FormatArg(unsigned long v) : kind(kUnsigned), text(nullptr), number(static_cast<int64_t>(v)) {}
};

// Returns the length written (without terminator).
size_t FormatTextArgs(char* out, size_t size, const char* format, const FormatArg* args,
                      size_t count);

template <typename... Args>
size_t FormatText(char* out, size_t size, const char* format, Args... args) {
    if constexpr (sizeof...(Args) == 0) {
        return FormatTextArgs(out, size, format, nullptr, 0);
    } else {
        const FormatArg list[] = {FormatArg(args)...};
        return FormatTextArgs(out, size, format, list, sizeof...(Args));
    }
}

}  // namespace kzp
