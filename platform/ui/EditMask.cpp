#include "platform/ui/EditMask.h"

#include <algorithm>
#include <string>

namespace EditMask {
namespace {

bool isSlot(char c) {
    switch (c) {
        case 'L': case 'l': case 'A': case 'a': case 'C': case 'c': case '0': case '9': case '#':
            return true;
        default:
            return false;
    }
}

bool isCaseMark(char c) { return c == '!' || c == '>' || c == '<'; }

// The literal characters of a mask, in order, with each slot marked by '\0'.
std::string layout(const std::string& mask) {
    std::string out;
    for (std::size_t i = 0; i < mask.size(); ++i) {
        char c = mask[i];
        if (c == '\\' && i + 1 < mask.size()) {
            out += mask[++i];
        } else if (isSlot(c)) {
            out += '\0';
        } else if (!isCaseMark(c)) {
            out += c;
        }
    }
    return out;
}

}  // namespace

Parsed Parse(std::string_view editMask) {
    Parsed p;
    std::string_view rest = editMask;
    auto part = [&rest]() {
        auto semi = rest.find(';');
        std::string_view piece = rest.substr(0, semi);
        rest = semi == std::string_view::npos ? std::string_view{} : rest.substr(semi + 1);
        return piece;
    };
    p.mask = std::string(part());
    if (!rest.empty()) {
        std::string_view store = part();
        p.storeLiterals = store != "0";
    }
    if (!rest.empty()) p.blank = rest[0];
    return p;
}

QString InputMask(std::string_view editMask) {
    Parsed p = Parse(editMask);
    QString out;
    for (std::size_t i = 0; i < p.mask.size(); ++i) {
        char c = p.mask[i];
        switch (c) {
            case 'L': out += 'A'; break;
            case 'l': out += 'a'; break;
            case 'A': out += 'N'; break;
            case 'a': out += 'n'; break;
            case 'C': out += 'X'; break;
            case 'c': out += 'x'; break;
            case '0': out += '9'; break;
            case '9': out += '0'; break;
            case '#': out += '#'; break;
            case '>': case '<': out += QLatin1Char(c); break;
            case '!': break;
            case '\\':
                if (i + 1 < p.mask.size()) out += QStringLiteral("\\") + QLatin1Char(p.mask[++i]);
                break;
            default:
                if (QStringLiteral("AaNnXx90Hh#BbDd><!{}[]").contains(QLatin1Char(c))) out += '\\';
                out += QLatin1Char(c);
        }
    }
    return out + QLatin1Char(';') + QLatin1Char(p.blank);
}

std::string Format(std::string_view editMask, std::string_view value) {
    Parsed p = Parse(editMask);
    if (value.empty() || p.storeLiterals) return std::string(value);
    std::string shape = layout(p.mask);
    std::size_t slotCount = std::count(shape.begin(), shape.end(), '\0');
    if (value.size() > slotCount) return std::string(value);
    // A mask starting with '!' right-aligns a short value, the missing optional characters in front.
    std::string filled = p.mask.find('!') != std::string::npos ? std::string(slotCount - value.size(), ' ') + std::string(value)
                                                              : std::string(value) + std::string(slotCount - value.size(), ' ');
    std::string out;
    std::size_t next = 0;
    for (char c : shape) out += c == '\0' ? filled[next++] : c;
    return out;
}

std::string Strip(std::string_view editMask, std::string_view text) {
    Parsed p = Parse(editMask);
    std::string out;
    if (p.storeLiterals) {
        out = std::string(text);
    } else {
        std::string shape = layout(p.mask);
        for (char c : text)
            if (shape.find(c) == std::string::npos) out += c;
    }
    while (!out.empty() && (out.back() == ' ' || out.back() == p.blank)) out.pop_back();
    return out;
}

}  // namespace EditMask
