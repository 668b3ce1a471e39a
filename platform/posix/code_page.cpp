#include "platform/posix/code_page.h"

#include <errno.h>
#include <iconv.h>

#include <vector>

namespace kzp {

std::string IconvName(uint32_t codePage) {
    switch (codePage) {
        case 65001:
            return "UTF-8";
        case 936:
            return "GBK";
        case 20127:
            return "ASCII";
        case 28591:
            return "ISO-8859-1";
        default:
            return "CP" + std::to_string(codePage);
    }
}

bool ConvertCodePage(const std::string& text, uint32_t from, uint32_t to, bool strict,
                     std::string* out) {
    out->clear();
    iconv_t cd = iconv_open(IconvName(to).c_str(), IconvName(from).c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    std::vector<char> input(text.begin(), text.end());
    char* in = input.data();
    size_t inLeft = input.size();
    bool ok = true;
    char buffer[4096];
    while (inLeft > 0) {
        char* o = buffer;
        size_t oLeft = sizeof(buffer);
        size_t r = iconv(cd, &in, &inLeft, &o, &oLeft);
        out->append(buffer, static_cast<size_t>(o - buffer));
        if (r == static_cast<size_t>(-1)) {
            if (errno == E2BIG) continue;
            if (strict) {
                ok = false;
                break;
            }
            // A sequence that cannot be converted: a replacement in its place,
            // and on with the next byte.
            out->append(to == 65001 ? "\xEF\xBF\xBD" : "?");
            ++in;
            --inLeft;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        } else if (r > 0 && strict) {
            // iconv counts the characters it could only replace.
            ok = false;
            break;
        }
    }
    if (ok) {
        char* o = buffer;
        size_t oLeft = sizeof(buffer);
        iconv(cd, nullptr, nullptr, &o, &oLeft);
        out->append(buffer, static_cast<size_t>(o - buffer));
    }
    iconv_close(cd);
    return ok;
}

}  // namespace kzp
