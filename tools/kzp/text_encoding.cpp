#include "tools/kzp/text_encoding.h"

#include "tools/kzp/host.h"

namespace kzp::tool {

bool IsUtf8(const std::string& text) {
    size_t i = 0;
    const size_t n = text.size();
    while (i < n) {
        const uint8_t c = static_cast<uint8_t>(text[i]);
        size_t extra;
        uint32_t value;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1;
            value = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2;
            value = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3;
            value = c & 0x07;
        } else {
            return false;
        }
        if (n - i - 1 < extra) return false;
        for (size_t k = 1; k <= extra; ++k) {
            const uint8_t t = static_cast<uint8_t>(text[i + k]);
            if ((t & 0xC0) != 0x80) return false;
            value = value << 6 | (t & 0x3F);
        }
        static const uint32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
        if (value < kMinimum[extra] || value > 0x10FFFF || (value >= 0xD800 && value < 0xE000)) {
            return false;
        }
        i += extra + 1;
    }
    return true;
}

std::string ForTerminal(const std::string& text, uint32_t codePage) {
    const uint32_t terminal = TerminalCodePage();
    if (terminal == codePage) return text;
    std::string utf8 = ToUtf8(text, codePage);
    return terminal == 65001 ? utf8 : FromUtf8Lossy(utf8, terminal);
}

}  // namespace kzp::tool
