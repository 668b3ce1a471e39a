#include "platform/posix/code_page.h"

#include <errno.h>
#include <iconv.h>
#include <locale.h>
#include <wctype.h>

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

std::string UpperCaseUtf8(const std::string& utf8) {
    static const locale_t unicode = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t{});
    std::string out;
    out.reserve(utf8.size());
    for (size_t i = 0; i < utf8.size();) {
        const uint8_t lead = static_cast<uint8_t>(utf8[i]);
        const size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        if (i + length > utf8.size() || (lead >= 0x80 && lead < 0xC0)) {
            out += utf8.substr(i);  // not UTF-8 after all: kept as it is
            break;
        }
        uint32_t c = length == 1 ? lead : lead & (0x7Fu >> length);
        for (size_t k = 1; k < length; ++k) c = c << 6 | (static_cast<uint8_t>(utf8[i + k]) & 0x3F);
        if (c < 0x80)
            c = c >= 'a' && c <= 'z' ? c - 32 : c;
        else if (unicode != locale_t{})
            c = static_cast<uint32_t>(towupper_l(static_cast<wint_t>(c), unicode));
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | c >> 6);
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | c >> 12);
            out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | c >> 18);
            out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
            out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
        i += length;
    }
    return out;
}

}  // namespace kzp
