// The host's form translation, applied once to every screen when it is created. It gives each control a
// user can reach an accessible name in the screen's language when the screen set none: the control's own
// caption, the text of the label that names it (its buddy), or the hint of an icon-only button.
#pragma once

class QWidget;

namespace Trad_utl {

void Trad(QWidget* form);

}  // namespace Trad_utl
