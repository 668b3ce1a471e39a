#include "platform/posix/code_page.h"

#include <errno.h>
#include <iconv.h>

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

static bool Convert(const std::string& input, const std::string& from, const std::string& to,
                    std::string* out) {
    iconv_t cd = iconv_open(to.c_str(), from.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    out->clear();
    char* in = const_cast<char*>(input.data());
    size_t inLeft = input.size();
    char buffer[1024];
    while (inLeft > 0) {
        char* o = buffer;
        size_t oLeft = sizeof(buffer);
        size_t r = iconv(cd, &in, &inLeft, &o, &oLeft);
        out->append(buffer, static_cast<size_t>(o - buffer));
        if (r == static_cast<size_t>(-1)) {
            if (errno == E2BIG) continue;
            // An unmappable or broken sequence: put a question mark in its
            // place and step over one byte of it.
            out->push_back('?');
            ++in;
            --inLeft;
        }
    }
    iconv_close(cd);
    return true;
}

bool FromUtf8(const std::string& utf8, uint32_t codePage, std::string* out) {
    return Convert(utf8, "UTF-8", IconvName(codePage), out);
}

bool ToUtf8(const std::string& text, uint32_t codePage, std::string* out) {
    return Convert(text, IconvName(codePage), "UTF-8", out);
}

}  // namespace kzp
