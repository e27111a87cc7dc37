// Edit masks of fields ("!90:00;0; ": a mask, whether literals are stored, the blank character) applied to
// the toolkit's line edits: the equivalent input mask, the value shown through the mask, and the typed
// text stored without the literals.
#pragma once

#include <QString>
#include <string>
#include <string_view>

namespace EditMask {

struct Parsed {
    std::string mask;           // the character part
    bool storeLiterals = true;  // second part "0" means literals are not stored
    char blank = '_';
};
Parsed Parse(std::string_view editMask);

// The toolkit's input mask of the same meaning ("!90:00;0; " gives "09:99; ").
QString InputMask(std::string_view editMask);
// A stored value shown through the mask: "0930" gives "09:30". Empty stays empty; a value that does not fit
// the mask's slots is shown as it is.
std::string Format(std::string_view editMask, std::string_view value);
// Typed text as stored: the literals dropped when the mask does not store them, trailing blanks dropped.
std::string Strip(std::string_view editMask, std::string_view text);

}  // namespace EditMask
