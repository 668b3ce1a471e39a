#include "tools/kzp/text_encoding.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <iconv.h>
#include <cerrno>
#endif

#include <vector>

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

#ifdef _WIN32

namespace {

bool ToWide(const std::string& text, UINT codePage, DWORD flags, std::wstring* out) {
    out->clear();
    if (text.empty()) return true;
    int n = MultiByteToWideChar(codePage, flags, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (n <= 0) return false;
    out->resize(static_cast<size_t>(n));
    return MultiByteToWideChar(codePage, flags, text.data(), static_cast<int>(text.size()),
                               out->data(), n) == n;
}

bool FromWide(const std::wstring& wide, UINT codePage, bool strict, std::string* out) {
    out->clear();
    if (wide.empty()) return true;
    const bool utf8 = codePage == CP_UTF8;
    BOOL usedDefault = FALSE;
    DWORD flags = strict && !utf8 ? WC_NO_BEST_FIT_CHARS : 0;
    BOOL* used = strict && !utf8 ? &usedDefault : nullptr;
    int n = WideCharToMultiByte(codePage, flags, wide.data(), static_cast<int>(wide.size()),
                                nullptr, 0, nullptr, used);
    if (n <= 0) return false;
    out->resize(static_cast<size_t>(n));
    if (WideCharToMultiByte(codePage, flags, wide.data(), static_cast<int>(wide.size()),
                            out->data(), n, nullptr, used) != n) {
        return false;
    }
    return !usedDefault;
}

}  // namespace

std::optional<std::string> FromUtf8(const std::string& utf8, uint32_t codePage) {
    std::wstring wide;
    std::string out;
    if (!IsUtf8(utf8) || !ToWide(utf8, CP_UTF8, 0, &wide) || !FromWide(wide, codePage, true, &out)) {
        return std::nullopt;
    }
    // A round trip catches characters that were mapped to look-alikes.
    std::wstring back;
    if (!ToWide(out, codePage, 0, &back) || back != wide) return std::nullopt;
    return out;
}

std::string ToUtf8(const std::string& text, uint32_t codePage) {
    std::wstring wide;
    std::string out;
    if (!ToWide(text, codePage, 0, &wide)) {
        wide.clear();
        for (unsigned char c : text) wide.push_back(c < 0x80 ? c : 0xFFFD);
    }
    FromWide(wide, CP_UTF8, false, &out);
    return out;
}

uint32_t TerminalCodePage() {
    UINT cp = GetConsoleOutputCP();
    return cp != 0 ? cp : GetACP();
}

std::string ForTerminal(const std::string& text, uint32_t codePage) {
    const uint32_t terminal = TerminalCodePage();
    if (terminal == codePage) return text;
    std::wstring wide;
    std::string out;
    if (!ToWide(text, codePage, 0, &wide)) return text;
    FromWide(wide, terminal, false, &out);
    return out;
}

#else

namespace {

std::string IconvName(uint32_t codePage) {
    if (codePage == 65001) return "UTF-8";
    return "CP" + std::to_string(codePage);
}

// Converts all of `text`; false on the first byte sequence that cannot be
// converted when `lossy` is off, U+FFFD (or '?') for it otherwise.
bool Convert(const std::string& text, const std::string& from, const std::string& to, bool lossy,
             std::string* out) {
    out->clear();
    iconv_t cd = iconv_open(to.c_str(), from.c_str());
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
            if (!lossy) {
                ok = false;
                break;
            }
            out->append(to == "UTF-8" ? "\xEF\xBF\xBD" : "?");
            ++in;
            --inLeft;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        } else if (r > 0 && !lossy) {
            // Irreversible conversions: a character was replaced.
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

}  // namespace

std::optional<std::string> FromUtf8(const std::string& utf8, uint32_t codePage) {
    std::string out;
    if (!IsUtf8(utf8) || !Convert(utf8, "UTF-8", IconvName(codePage), false, &out)) {
        return std::nullopt;
    }
    std::string back;
    if (!Convert(out, IconvName(codePage), "UTF-8", false, &back) || back != utf8) {
        return std::nullopt;
    }
    return out;
}

std::string ToUtf8(const std::string& text, uint32_t codePage) {
    std::string out;
    if (!Convert(text, IconvName(codePage), "UTF-8", true, &out)) {
        out.clear();
        for (unsigned char c : text) out += c < 0x80 ? std::string(1, static_cast<char>(c)) : "\xEF\xBF\xBD";
    }
    return out;
}

uint32_t TerminalCodePage() { return 65001; }

std::string ForTerminal(const std::string& text, uint32_t codePage) { return ToUtf8(text, codePage); }

#endif

}  // namespace kzp::tool
