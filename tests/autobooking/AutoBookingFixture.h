// The automatic booking dialog over the agenda screen's fixture (real age-server, clock at Monday
// 07/12/2026 10:00), opened through the agenda screen's command and driven from inside its modal loop.
#pragma once

#include <QCheckBox>
#include <QLineEdit>
#include <functional>

#include "autobooking/Cli_Age12110.h"
#include "common/Dates.h"
#include "platform/ui/DateEditPlus.h"
#include "tests/agenda/AgendaFixture.h"
#include "tests/agenda/ModalDialog.h"

namespace age::ui {
inline void PrintTo(const ShownBox& box, std::ostream* os) {
    *os << "{" << static_cast<int>(box.kind) << ", \"" << box.text << "\"}";
}
}  // namespace age::ui

namespace autotest {

using namespace agenda_test;
using std::chrono::days;
inline const age::Date kToday = december(7);  // a Monday, the server's day

class AutoBookingTest : public AgendaFixture {
  protected:
    void SetUp() override {
        AgendaFixture::SetUp();
        Ormelin::SetUnloadHandler([this](const std::string& name, QWidget* form) {
            unloads.push_back({name, form});
        });
    }
    void TearDown() override {
        Ormelin::SetUnloadHandler(nullptr);
        AgendaFixture::TearDown();
    }

    static age::ui::MessageService& messages() { return age::ui::MessageService::Instance(); }

    // Opens the dialog with the agenda screen's command and runs `inside` in its modal loop.
    void withDialog(const std::function<void(TfrmCadAutoSala&)>& inside) {
        withModal<TfrmCadAutoSala>([this] { f->RunHandler([this] { f->sbtCadAutoClick(f->sbtCadAuto); }); },
                                   inside);
    }

    // Types a day over what the date edit holds, as the user does, without finishing the edit.
    static void typeDate(TDateEditPlus* edit, age::Date day) {
        edit->Editor()->setCursorPosition(0);
        QTest::keyClicks(edit->Editor(), QString::fromStdString(age::formatShortDate(day)).remove('/'));
    }
    // Goes into the date edit, types the day over it and leaves with Tab: the finished edit counts, and
    // the field's exit check runs.
    static void enterDate(TDateEditPlus* edit, age::Date day) {
        edit->Editor()->setFocus(Qt::TabFocusReason);
        typeDate(edit, day);
        QTest::keyClick(edit->Editor(), Qt::Key_Tab);
    }
    // The key goes to the control that has the focus, as the keyboard sends it.
    static void press(Qt::Key key) { QTest::keyClick(QApplication::focusWidget(), key); }
    static void check(std::initializer_list<QCheckBox*> boxes) {
        for (QCheckBox* box : boxes) box->click();
    }
    // The weekday boxes, Sunday first, as "enabled checked count", e.g. "0100000 0000000 0".
    static std::string weekdays(TfrmCadAutoSala& d) {
        std::string enabled, checked;
        for (QCheckBox* box : d.WeekdayBoxes()) {
            enabled += box->isEnabled() ? '1' : '0';
            checked += box->isChecked() ? '1' : '0';
        }
        return enabled + " " + checked + " " + std::to_string(Cli_Age12110::inQtDiaSem);
    }
    // The dialog's control that holds the focus (a date edit for its inner editor).
    static QWidget* focusedControl(TfrmCadAutoSala& d) {
        QWidget* w = QApplication::focusWidget();
        for (QWidget* edit : {static_cast<QWidget*>(d.depDe), static_cast<QWidget*>(d.depAte)})
            if (w && edit->isAncestorOf(w)) return edit;
        return w;
    }

    // The template: a booking of room 101 today, 08:00 to 09:00, made current on the agenda screen.
    void loadTemplate() {
        seeder->book({"101", kToday, "0800", "0900", "Reunião semanal", "A", "bruno"});
        open(kToday, "101");
    }
    // Room 101's bookings of the day as "HHMM HHMM reference status branch operator".
    Strings stored(age::Date day) {
        return seeder->stored(
            "101", day,
            {"HRINIAGESALA", "HRFINAGESALA", "DSAGENDASALA", "IDSITAGESALA", "CDFILIAL", "CDOPERADOR"});
    }
    std::size_t storedCount(age::Date from, age::Date to) {
        std::size_t n = 0;
        for (age::Date d = from; d <= to; d += days{1}) n += stored(d).size();
        return n;
    }

    std::vector<std::pair<std::string, QWidget*>> unloads;  // what the host was told is gone
};

}  // namespace autotest
