#include "common/LogText.h"

#include <cstdio>

namespace age {
namespace {

// Length of the valid UTF-8 sequence at text[i]; 0 when the byte starts none.
std::size_t sequenceLength(std::string_view text, std::size_t i) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char c = byte(i);
    if (c < 0x80) return 1;
    std::size_t len = c >= 0xF5 ? 0 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
    if (len == 0 || i + len > text.size()) return 0;
    for (std::size_t k = 1; k < len; ++k)
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
    unsigned char c1 = byte(i + 1);
    if ((c == 0xE0 && c1 < 0xA0) || (c == 0xED && c1 >= 0xA0)) return 0;  // overlong, surrogates
    if ((c == 0xF0 && c1 < 0x90) || (c == 0xF4 && c1 >= 0x90)) return 0;  // overlong, past U+10FFFF
    return len;
}

void appendHex(std::string& out, unsigned char c) {
    char buf[5];
    std::snprintf(buf, sizeof buf, "\\x%02x", c);
    out += buf;
}

void appendControl(std::string& out, unsigned char c) {
    switch (c) {
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            appendHex(out, c);
    }
}

}  // namespace

std::string quoted(std::string_view text, std::size_t max) {
    std::string out;
    out.reserve(std::min(text.size(), max) + 8);
    std::size_t shown = 0, i = 0;
    while (i < text.size()) {
        if (shown == max) return out + "…";
        unsigned char c = static_cast<unsigned char>(text[i]);
        std::size_t len = sequenceLength(text, i);
        if (len == 0) {
            appendHex(out, c);  // not UTF-8: shown byte by byte
            len = 1;
        } else if (c < 0x20 || c == 0x7F) {
            appendControl(out, c);
        } else if (c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
            appendHex(out, static_cast<unsigned char>(text[i + 1]));  // C1 controls (U+0080..U+009F)
        } else {
            out.append(text.substr(i, len));
        }
        i += len;
        ++shown;
    }
    return out;
}

}  // namespace age
