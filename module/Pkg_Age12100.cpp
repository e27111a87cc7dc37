// The module's entry, exported under its plain name: the host loads the library and calls it to open the
// room agenda screen.
#include <QtGlobal>

#include "agenda/Cli_Age12100.h"

extern "C" Q_DECL_EXPORT void IniProc() { Cli_Age12100::CriaAgendaSala(); }
