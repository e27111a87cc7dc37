#include "platform/ui/DateEditPlus.h"

#include <QCalendarWidget>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QToolButton>

#include "common/Booking.h"
#include "platform/ui/Boundary.h"
#include "platform/ui/Consiste.h"

namespace {

QDate toQDate(age::Date d) {
    std::chrono::year_month_day ymd{d};
    return QDate(static_cast<int>(ymd.year()), static_cast<unsigned>(ymd.month()),
                 static_cast<unsigned>(ymd.day()));
}

age::Date fromQDate(const QDate& d) { return age::makeDate(d.year(), d.month(), d.day()); }

}  // namespace

TDateEditPlus::TDateEditPlus(QWidget* parent) : QWidget(parent) {
    for (std::size_t i = 0; i < NomeSemana.size(); ++i)
        NomeSemana[i] = QString::fromUtf8(age::kWeekdayNames[i].data(), age::kWeekdayNames[i].size());

    edit_ = new QLineEdit(this);
    edit_->setInputMask(QStringLiteral("99/99/9999;_"));
    edit_->setAccessibleDescription(QStringLiteral("dd/mm/aaaa"));
    edit_->setFixedWidth(edit_->fontMetrics().horizontalAdvance(QStringLiteral("00/00/00000")) + 12);
    edit_->installEventFilter(this);

    button_ = new QToolButton(this);
    button_->setArrowType(Qt::DownArrow);
    button_->setFocusPolicy(Qt::NoFocus);
    button_->setToolTip(QStringLiteral("Calendário"));
    button_->setAccessibleName(QStringLiteral("Calendário"));

    weekday_ = new QLabel(this);
    weekday_->setMinimumWidth(weekday_->fontMetrics().horizontalAdvance(QStringLiteral("Segunda ")));

    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    layout->addWidget(edit_);
    layout->addWidget(button_);
    layout->addWidget(weekday_);
    layout->addStretch();
    setToolTip(QStringLiteral("dd/mm/aaaa"));
    setFocusProxy(edit_);
    setFocusPolicy(Qt::StrongFocus);

    connect(edit_, &QLineEdit::textChanged, this, [this] { refresh(); });
    connect(button_, &QToolButton::clicked, this, [this] { ShowCalendar(); });
    refresh();
}

QString TDateEditPlus::Text() const {
    QString digits = edit_->text();
    digits.remove(QLatin1Char('/'));
    return digits.trimmed();
}

QString TDateEditPlus::DisplayText() const { return edit_->displayText(); }

std::optional<age::Date> TDateEditPlus::Date() const {
    return age::parseShortDate(edit_->text().toStdString());
}

bool TDateEditPlus::IsValidDate() const { return Date().has_value(); }

age::Date TDateEditPlus::GetDate() const { return Date().value_or(NullDate); }

void TDateEditPlus::SetDate(age::Date date) {
    lastDate_ = date;
    edit_->setText(QString::fromStdString(age::formatShortDate(date)));
}

void TDateEditPlus::Clear() {
    lastDate_.reset();
    edit_->clear();
}

void TDateEditPlus::SetDateTime(age::DateTime value) {
    timeOfDay_ = SaveTime ? value - age::atMidnight(age::wholeDay(value)) : std::chrono::seconds{0};
    SetDate(age::wholeDay(value));
}

age::DateTime TDateEditPlus::GetDateTime() const {
    return age::atMidnight(GetDate()) + (SaveTime ? timeOfDay_ : std::chrono::seconds{0});
}

void TDateEditPlus::CheckValidDate() {
    if (Consiste::EmptyString(Text().toStdString()) || IsValidDate()) return;
    edit_->setFocus();
    Consiste::MensErro("Data inválida: " + DisplayText().toStdString() + ".", true);
}

void TDateEditPlus::SetValidDateColor(const QColor& color) {
    validColor_ = color;
    refresh();
}

void TDateEditPlus::SetColor(const QColor& background) {
    QPalette pal = edit_->palette();
    pal.setColor(QPalette::Base, background);
    edit_->setPalette(pal);
}

void TDateEditPlus::refresh() {
    auto date = Date();
    QPalette pal = edit_->palette();
    pal.setColor(QPalette::Text, date ? validColor_ : palette().color(QPalette::Text));
    edit_->setPalette(pal);
    weekday_->setText(date ? NomeSemana[static_cast<std::size_t>(age::dayOfWeek(*date) - 1)] : QString());
}

void TDateEditPlus::userChanged() {
    // Only a finished edit counts (see OnDateChange): the dates passed through while a date is typed over
    // another are no change, and a date the user arrives back at is none either.
    auto date = Date();
    if (!date || date == lastDate_) return;
    lastDate_ = date;
    if (OnDateChange) Boundary::run([&] { OnDateChange(this); });
}

void TDateEditPlus::ShowCalendar() {
    if (!calendar_) {
        calendar_ = new QCalendarWidget(this);
        calendar_->setWindowFlags(Qt::Popup);
        calendar_->setAccessibleName(QStringLiteral("Calendário"));
        // A day is picked by a click, or by Enter on the day chosen with the keys.
        auto pick = [this](const QDate& d) {
            if (!calendar_->isVisible()) return;  // one pick, however many signals it raised
            calendar_->hide();
            // A pick is the user's change: shown, then reported like a finished typed date.
            edit_->setText(QString::fromStdString(age::formatShortDate(fromQDate(d))));
            edit_->setFocus();
            userChanged();
        };
        connect(calendar_, &QCalendarWidget::clicked, this, pick);
        connect(calendar_, &QCalendarWidget::activated, this, pick);
    }
    if (auto date = Date()) calendar_->setSelectedDate(toQDate(*date));
    calendar_->move(edit_->mapToGlobal(QPoint(0, edit_->height())));
    calendar_->show();
    calendar_->setFocus();
}

bool TDateEditPlus::eventFilter(QObject* watched, QEvent* event) {
    if (watched == edit_ && event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        // Alt+Down opens the calendar, as in a drop-down list.
        if (key->key() == Qt::Key_Down && (key->modifiers() & Qt::AltModifier)) {
            ShowCalendar();
            return true;
        }
        // Enter and Tab finish the edit before the key goes on (to a dialog's default command, or to the
        // focus chain, which then sees the controls the new date enables).
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter || key->key() == Qt::Key_Tab ||
            key->key() == Qt::Key_Backtab)
            userChanged();
    }
    // Coming into the field otherwise than by a click (the window's first focus, the focus put back after a
    // refusal), a cursor left after the last digit could type nothing: it goes to the start, as with Tab.
    if (watched == edit_ && event->type() == QEvent::FocusIn) {
        const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
        if (reason != Qt::MouseFocusReason && reason != Qt::PopupFocusReason &&
            edit_->cursorPosition() >= edit_->displayText().size())
            edit_->setCursorPosition(0);
    }
    // Leaving the field finishes the edit; a pop-up opening over it (the calendar, a menu) does not.
    if (watched == edit_ && event->type() == QEvent::FocusOut &&
        static_cast<QFocusEvent*>(event)->reason() != Qt::PopupFocusReason)
        userChanged();
    return QWidget::eventFilter(watched, event);
}
