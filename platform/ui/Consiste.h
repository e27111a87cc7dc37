// The validation unit of the screens: report an error and end the current event, read server results,
// test for empty text, find a grid column by field.
#pragma once

#include <string>
#include <string_view>

#include "platform/rpc/CheckResult.h"  // Consiste::CheckResultServ

class TDBGrid;

namespace Consiste {

// Shows `text` as an error box. With `abort` true it then throws EAbort, so the event that called it (a
// post, an exit from a field, a confirmation) ends there; the toolkit boundary drops it silently.
void MensErro(const std::string& text, bool abort);

// True when the text holds nothing to store: empty or blanks only.
bool EmptyString(std::string_view text);

// Index of the grid column bound to the field, -1 when no column is.
int IndiceCol(const TDBGrid* grid, std::string_view fieldName);

}  // namespace Consiste
