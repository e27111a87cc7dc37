// The agenda screen's pictures: the glyphs of the status filter buttons.
#pragma once

#include <QIcon>
#include <QList>

namespace AgendaImages {

// Three glyphs that differ in shape as well as colour, in status order: scheduled (a clock, navy),
// cancelled (a cross, maroon), closed (a check mark, grey).
QList<QIcon> StatusImages();

}  // namespace AgendaImages
