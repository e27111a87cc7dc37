// The flat tool button of the button bars: icon only, its hint as tooltip and accessible name. It takes
// no focus, so pressing it never moves the focus out of the field being edited.
#pragma once

#include <QToolButton>

class TButtonFlat : public QToolButton {
    Q_OBJECT
public:
    explicit TButtonFlat(QWidget* parent = nullptr);
    // The hint: tooltip and accessible name.
    void SetHint(const QString& hint);
    QString Hint() const { return toolTip(); }
};
