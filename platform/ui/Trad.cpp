#include "platform/ui/Trad.h"

#include <QAbstractButton>
#include <QGroupBox>
#include <QLabel>
#include <QRegularExpression>
#include <QWidget>

namespace Trad_utl {
namespace {

QString stripMnemonic(QString text) {
    text.remove(QRegularExpression(QStringLiteral("&(?!&)")));
    return text.trimmed();
}

QString ownCaption(QWidget* w) {
    if (auto* button = qobject_cast<QAbstractButton*>(w)) {
        if (!button->text().isEmpty()) return stripMnemonic(button->text());
        return button->toolTip();
    }
    if (auto* group = qobject_cast<QGroupBox*>(w)) return stripMnemonic(group->title());
    return {};
}

}  // namespace

void Trad(QWidget* form) {
    if (!form) return;
    // Labels name the controls they are buddies of.
    for (auto* label : form->findChildren<QLabel*>()) {
        QWidget* buddy = label->buddy();
        if (buddy && buddy->accessibleName().isEmpty()) {
            QString name = stripMnemonic(label->text());
            if (name.endsWith(QLatin1Char(':'))) name.chop(1);
            buddy->setAccessibleName(name);
        }
    }
    for (auto* w : form->findChildren<QWidget*>()) {
        if (!w->accessibleName().isEmpty()) continue;
        QString caption = ownCaption(w);
        if (caption.isEmpty()) caption = w->toolTip();
        if (!caption.isEmpty()) w->setAccessibleName(caption);
    }
    // A composite control (a date edit) is reached through its inner editor: it carries the same name.
    for (auto* w : form->findChildren<QWidget*>()) {
        QWidget* proxy = w->focusProxy();
        if (proxy && proxy->accessibleName().isEmpty()) proxy->setAccessibleName(w->accessibleName());
    }
}

}  // namespace Trad_utl
