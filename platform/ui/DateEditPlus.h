// Date edit: a day typed as dd/mm/aaaa, a calendar pop-up, the weekday's name beside it, the text in
// ValidDateColor while it holds a valid date.
//
// Reading: Text() is what the user typed without the mask's literals ("07122026", "" when nothing is
// typed), so Consiste::EmptyString(Text()) tells an empty edit; DisplayText() is the text as shown
// ("07/12/2026"). GetDate() is the day typed; when the text is empty or not a valid date it is NullDate
// (30/12/1899, day zero of the classic date serial), which callers pass on like any other day.
#pragma once

#include <QColor>
#include <QWidget>
#include <array>
#include <functional>
#include <optional>

#include "common/Dates.h"

class QLabel;
class QLineEdit;
class QToolButton;
class QCalendarWidget;

class TDateEditPlus : public QWidget {
    Q_OBJECT
public:
    static constexpr age::Date NullDate = std::chrono::sys_days{std::chrono::year{1899} / 12 / 30};

    explicit TDateEditPlus(QWidget* parent = nullptr);

    age::Date GetDate() const;
    std::optional<age::Date> Date() const;  // nothing when empty or invalid
    // Sets the day shown; raises no OnDateChange (only the user's changes do).
    void SetDate(age::Date date);
    void Clear();
    // With SaveTime on, a time of day given by SetDateTime is kept and GetDateTime returns it; off, the
    // value is a whole day and GetDateTime gives its midnight.
    void SetDateTime(age::DateTime value);
    age::DateTime GetDateTime() const;
    bool SaveTime = false;

    QString Text() const;         // typed digits, without the literals
    QString DisplayText() const;  // as shown, "dd/mm/aaaa"
    bool IsValidDate() const;

    // Reports "Data inválida: <texto>." (MensErro, ending the event, focus back here) when something is
    // typed that is not a valid date. An empty edit passes.
    void CheckValidDate();

    // Weekday names, Sunday first.
    std::array<QString, 7> NomeSemana;
    void SetValidDateColor(const QColor& color);
    QColor ValidDateColor() const { return validColor_; }
    void SetColor(const QColor& background);

    // The user finished an edit with a date other than the last one: left the field, pressed Enter, or
    // picked a day in the calendar. Keystrokes raise nothing (a date typed over another passes through
    // other valid dates on the way), nor do empty or impossible dates.
    std::function<void(QObject* sender)> OnDateChange;

    QLineEdit* Editor() const { return edit_; }
    QLabel* WeekdayLabel() const { return weekday_; }
    QToolButton* CalendarButton() const { return button_; }
    void ShowCalendar();
    QCalendarWidget* Calendar() const { return calendar_; }  // the pop-up; null until first shown

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void refresh();
    void userChanged();
    QLineEdit* edit_;
    QToolButton* button_;
    QLabel* weekday_;
    QCalendarWidget* calendar_ = nullptr;
    QColor validColor_ = Qt::blue;
    std::chrono::seconds timeOfDay_{0};
    std::optional<age::Date> lastDate_;  // the last finished date, set by the program or reported
};
