#include "platform/ui/ButtonFlat.h"

TButtonFlat::TButtonFlat(QWidget* parent) : QToolButton(parent) {
    setAutoRaise(true);
    setFocusPolicy(Qt::NoFocus);
    setIconSize(QSize(22, 22));
    setToolButtonStyle(Qt::ToolButtonIconOnly);
}

void TButtonFlat::SetHint(const QString& hint) {
    setToolTip(hint);
    setAccessibleName(hint);
}
