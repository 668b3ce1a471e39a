#include "app/program_helpers.h"

#include "support/contained_path.h"
#include "support/text.h"

namespace kzp {

bool IsSkipConfirmSwitch(int argc, const char* const* argv) {
    if (argc < 2 || argv == nullptr || argv[1] == nullptr) return false;
    const char* first = argv[1];
    return first[0] == '-' && (first[1] == 'F' || first[1] == 'f');
}

bool EndsWithBackslashChar(const char* text, uint32_t codePage) {
    size_t last = static_cast<size_t>(-1);
    for (size_t i = 0; text[i] != 0; i += CharacterLength(text + i, codePage)) last = i;
    return last != static_cast<size_t>(-1) && text[last] == '\\';
}

void DropTrailingBackslash(char* path, uint32_t codePage) {
    if (EndsWithBackslashChar(path, codePage)) path[TextLength(path) - 1] = 0;
}

bool JoinFollowUpPath(const char* folder, const char* file, uint32_t codePage, char* out,
                      size_t size) {
    // The package names a file of the target folder; nothing outside it is
    // opened on its word.
    if (!IsContainedRelativeName(file, codePage)) {
        if (size > 0) out[0] = 0;
        return false;
    }
    bool fits = CopyText(out, size, folder);
    if (fits && !EndsWithBackslashChar(out, codePage)) fits = AppendChar(out, size, '\\');
    if (fits) fits = AppendText(out, size, file);
    if (!fits && size > 0) out[0] = 0;
    return fits;
}

size_t MakeLogLine(const char* text, uint32_t codePage, char* line, size_t size) {
    if (size < 3) {
        if (size > 0) line[0] = 0;
        return 0;
    }
    size_t n = CharacterBoundaryWithin(text, codePage, size - 3);
    for (size_t i = 0; i < n; ++i) line[i] = text[i];
    line[n++] = '\r';
    line[n++] = '\n';
    line[n] = 0;
    return n;
}

}  // namespace kzp
