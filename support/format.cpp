#include "support/format.h"

namespace kzp {
namespace {

class Output {
  public:
    Output(char* out, size_t size) : out_(out), size_(size), length_(0) {}
    void Put(char c) {
        if (size_ != 0 && length_ + 1 < size_) out_[length_++] = c;
    }
    void Put(const char* begin, const char* end) {
        while (begin < end) Put(*begin++);
    }
    void Pad(char c, size_t count) {
        for (size_t i = 0; i < count; ++i) Put(c);
    }
    size_t Finish() {
        if (size_ != 0) out_[length_] = 0;
        return length_;
    }

  private:
    char* out_;
    size_t size_;
    size_t length_;
};

struct Conversion {
    bool leftAlign = false;
    bool zeroPad = false;
    size_t width = 0;
    bool hasPrecision = false;
    size_t precision = 0;
    char type = 0;
};

// Parses the conversion after its '%'. Returns the position after it, or null
// when the text ends inside it.
const char* ParseConversion(const char* p, Conversion* c) {
    for (;; ++p) {
        if (*p == '-')
            c->leftAlign = true;
        else if (*p == '0')
            c->zeroPad = true;
        else if (*p == '#')
            continue;
        else
            break;
    }
    while (*p >= '0' && *p <= '9') {
        if (c->width < 100000) c->width = c->width * 10 + static_cast<size_t>(*p - '0');
        ++p;
    }
    if (*p == '.') {
        c->hasPrecision = true;
        ++p;
        while (*p >= '0' && *p <= '9') {
            if (c->precision < 100000)
                c->precision = c->precision * 10 + static_cast<size_t>(*p - '0');
            ++p;
        }
    }
    if (*p == 'h' || *p == 'l') ++p;
    if (*p == 0) return nullptr;
    c->type = *p;
    return p + 1;
}

void PutPadded(Output& out, const Conversion& c, const char* text, size_t length, bool numeric) {
    size_t pad = c.width > length ? c.width - length : 0;
    if (!c.leftAlign) {
        if (numeric && c.zeroPad) {
            // Keep a sign in front of the zeros.
            if (length > 0 && text[0] == '-') {
                out.Put('-');
                ++text;
                --length;
            }
            out.Pad('0', pad);
        } else {
            out.Pad(' ', pad);
        }
    }
    out.Put(text, text + length);
    if (c.leftAlign) out.Pad(' ', pad);
}

size_t NumberText(char* buffer, uint64_t magnitude, bool negative, unsigned base, bool upper,
                  const Conversion& c) {
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char reversed[32];
    size_t n = 0;
    do {
        reversed[n++] = digits[magnitude % base];
        magnitude /= base;
    } while (magnitude != 0);
    // A precision asks for at least that many digits.
    size_t minimum = c.hasPrecision && c.precision < 24 ? c.precision : 0;
    while (n < minimum) reversed[n++] = '0';
    size_t length = 0;
    if (negative) buffer[length++] = '-';
    while (n > 0) buffer[length++] = reversed[--n];
    return length;
}

bool IsNumberType(char type) {
    return type == 'd' || type == 'i' || type == 'u' || type == 'x' || type == 'X';
}

}  // namespace

size_t FormatTextArgs(char* out, size_t size, const char* format, const FormatArg* args,
                      size_t count) {
    Output output(out, size);
    size_t next = 0;
    const char* p = format;
    while (*p != 0) {
        if (*p != '%') {
            output.Put(*p++);
            continue;
        }
        const char* start = p;
        if (p[1] == '%') {
            output.Put('%');
            p += 2;
            continue;
        }
        Conversion c;
        const char* after = ParseConversion(p + 1, &c);
        if (after == nullptr) {
            // The text ends inside the conversion: keep what is there.
            while (*p != 0) output.Put(*p++);
            break;
        }
        p = after;
        bool known = c.type == 's' || c.type == 'S' || c.type == 'c' || c.type == 'C' ||
                     IsNumberType(c.type);
        if (!known || next >= count) {
            output.Put(start, p);
            continue;
        }
        const FormatArg& arg = args[next++];
        if (c.type == 's' || c.type == 'S') {
            if (arg.kind != FormatArg::kText || arg.text == nullptr) {
                output.Put(start, p);
                continue;
            }
            size_t length = 0;
            while (arg.text[length] != 0 && (!c.hasPrecision || length < c.precision)) ++length;
            PutPadded(output, c, arg.text, length, false);
        } else if (c.type == 'c' || c.type == 'C') {
            if (arg.kind == FormatArg::kText) {
                output.Put(start, p);
                continue;
            }
            char ch = static_cast<char>(arg.number);
            PutPadded(output, c, &ch, 1, false);
        } else {
            if (arg.kind == FormatArg::kText) {
                output.Put(start, p);
                continue;
            }
            char buffer[40];
            size_t length;
            if (c.type == 'x' || c.type == 'X') {
                length = NumberText(buffer, static_cast<uint32_t>(arg.number), false, 16,
                                    c.type == 'X', c);
            } else if (c.type == 'u') {
                length = NumberText(buffer, static_cast<uint32_t>(arg.number), false, 10, false, c);
            } else {
                int32_t v = static_cast<int32_t>(arg.number);
                uint64_t magnitude = v < 0 ? static_cast<uint64_t>(-static_cast<int64_t>(v))
                                           : static_cast<uint64_t>(v);
                length = NumberText(buffer, magnitude, v < 0, 10, false, c);
            }
            PutPadded(output, c, buffer, length, true);
        }
    }
    return output.Finish();
}

}  // namespace kzp
