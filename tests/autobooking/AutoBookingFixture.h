// The automatic booking dialog against a real age-server whose clock is pinned to Monday 07/12/2026 10:00:
// a host-like main window with the agenda screen open, bookings created on the server, and the dialog
// opened through the agenda screen's command and driven from inside its modal loop.
#pragma once

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QMainWindow>
#include <QMdiArea>
#include <QPointer>
#include <QTest>
#include <QTimer>
#include <functional>
#include <memory>

#include "GuiTest.h"
#include "agenda/Cli_Age12100.h"
#include "autobooking/Cli_Age12110.h"
#include "common/Dates.h"
#include "platform/rpc/Wire.h"
#include "platform/ui/Consiste.h"
#include "platform/ui/DateEditPlus.h"
#include "platform/ui/Ormelin.h"
#include "tests/support/TestServer.h"

namespace age::ui {
inline void PrintTo(const ShownBox& box, std::ostream* os) {
    *os << "{" << static_cast<int>(box.kind) << ", \"" << box.text << "\"}";
}
}  // namespace age::ui

namespace autotest {

using std::chrono::days;
inline const age::Date kToday = age::makeDate(2026, 12, 7);  // a Monday, the server's day

struct Stored {
    std::string start, end, reference, status, branch, operatorCode;
};

struct Unload {
    std::string className;
    QWidget* form;
};

class AutoBookingTest : public GuiTest {
  protected:
    void SetUp() override {
        GuiTest::SetUp();
        server = std::make_unique<age::test::TestServer>();
        Ormelin::SetHostValues({"0001", "ana", server->host(), server->port()});
        Ormelin::SetUnloadHandler([this](const std::string& name, QWidget* form) {
            unloads.push_back({name, form});
        });
        window = new QMainWindow;
        auto* mdi = new QMdiArea(window);
        window->setCentralWidget(mdi);
        window->setGeometry(120, 80, 1100, 700);
        Application::SetMainWindow(window, mdi);
        window->show();
        QApplication::setActiveWindow(window);
        ASSERT_TRUE(QTest::qWaitForWindowActive(window));
        Cli_Age12100::CriaAgendaSala();
        ASSERT_NE(Cli_Age12100::frmAgendaDeSala, nullptr);
        shown();  // the agenda screen's opening is not under test
    }
    void TearDown() override {
        Ormelin::SetUnloadHandler(nullptr);
        delete window;
        Application::SetMainWindow(nullptr, nullptr);
        server.reset();
        GuiTest::TearDown();
    }

    static age::ui::MessageService& messages() { return age::ui::MessageService::Instance(); }
    static TfrmAgendaDeSala& agenda() { return *Cli_Age12100::frmAgendaDeSala; }
    static TAppServer& call() { return agenda().netAgendaSala.AppServer(); }

    // Opens the dialog with the agenda screen's command and runs `inside` in its modal loop once the dialog
    // is the active window. A dialog that `inside` leaves open is closed afterwards.
    void withDialog(const std::function<void(TfrmCadAutoSala&)>& inside) {
        bool reached = false;
        QObject scope;  // no timer outlives this call
        QTimer::singleShot(0, &scope, [&] {
            QPointer<TfrmCadAutoSala> dialog(Cli_Age12110::frmCadAutoSala);
            if (!dialog || !dialog->isVisible()) return;
            reached = true;
            // The platform activates a dialog it shows; wait for that, as a user would.
            EXPECT_TRUE(QTest::qWaitFor([&] { return dialog && QApplication::activeWindow() == dialog; }));
            inside(*dialog);
            if (dialog && dialog->isVisible()) dialog->close();
        });
        agenda().RunHandler([] { agenda().sbtCadAutoClick(agenda().sbtCadAuto); });
        QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        EXPECT_TRUE(reached) << "the dialog did not open";
    }

    // Types a day over what the date edit holds, as the user does, without moving the focus.
    static void typeDate(TDateEditPlus* edit, age::Date day) {
        edit->Editor()->setCursorPosition(0);
        QTest::keyClicks(edit->Editor(), QString::fromStdString(age::formatShortDate(day)).remove('/'));
    }
    // The key goes to the control that has the focus, as the keyboard sends it.
    static void press(Qt::Key key) { QTest::keyClick(QApplication::focusWidget(), key); }
    static void check(std::initializer_list<QCheckBox*> boxes) {
        for (QCheckBox* box : boxes) box->click();
    }
    static std::string enabledDays(TfrmCadAutoSala& d) {
        std::string on;
        for (QCheckBox* box : d.WeekdayBoxes()) on += box->isEnabled() ? '1' : '0';
        return on;  // Sunday first
    }
    static std::string checkedDays(TfrmCadAutoSala& d) {
        std::string on;
        for (QCheckBox* box : d.WeekdayBoxes()) on += box->isChecked() ? '1' : '0';
        return on;
    }
    // The dialog's control that holds the focus (a date edit for its inner editor).
    static QWidget* focusedControl(TfrmCadAutoSala& d) {
        QWidget* w = QApplication::focusWidget();
        for (QWidget* edit : {static_cast<QWidget*>(d.depDe), static_cast<QWidget*>(d.depAte)})
            if (w && edit->isAncestorOf(w)) return edit;
        return w;
    }

    // A scheduled booking stored on the server; returns its sequence number.
    std::string book(const std::string& room, age::Date day, const std::string& start, const std::string& end,
                     const std::string& reference) {
        auto seqPacket = Consiste::CheckResultServ(call().Call("GetNrSeq", {room, day}), true, 0);
        const std::string seq = std::get<std::string>(seqPacket.rows.at(0).at(0));
        TClientDataSet cds;
        cds.LoadFromPacket(Consiste::CheckResultServ(call().Call("GetAgendaSala", {room, day}), true, 0));
        cds.Append();
        auto set = [&](const char* field, const std::string& value) {
            cds.FieldByName(field).SetAsString(value);
        };
        set("CDFILIAL", "0001");
        set("NRSEQAGESALA", seq);
        set("IDSITAGESALA", "A");
        set("DSAGENDASALA", reference);
        set("CDSALA", room);
        cds.FieldByName("DTATIAGESALA").SetAsDateTime(age::atMidnight(day));
        set("CDOPERADOR", "bruno");
        set("HRINIAGESALA", start);
        set("HRFINAGESALA", end);
        cds.FieldByName("DTINCAGESALA").SetAsDateTime(age::makeDateTime(2026, 12, 7, 9, 0));
        cds.Post();
        Consiste::CheckResultServ(call().Call("SetAgendaSala", {age::rpc::changeLogToJson(cds.Delta())}),
                                  true, 0);
        return seq;
    }

    // The template: a booking of room 101 today, 08:00 to 09:00, loaded as the agenda screen's current row.
    std::string loadTemplate() {
        std::string seq = book("101", kToday, "0800", "0900", "Reunião semanal");
        loadAgenda("101", kToday);
        return seq;
    }
    void loadAgenda(const std::string& room, age::Date day) {
        agenda().cdsAgendaSala->LoadFromPacket(
            Consiste::CheckResultServ(call().Call("GetAgendaSala", {room, day}), true, 0));
    }

    std::vector<Stored> stored(const std::string& room, age::Date day) {
        TClientDataSet cds;
        cds.LoadFromPacket(Consiste::CheckResultServ(call().Call("GetAgendaSala", {room, day}), true, 0));
        std::vector<Stored> rows;
        auto text = [&](const char* field) { return cds.FieldByName(field).AsString(); };
        for (cds.First(); !cds.Eof(); cds.Next())
            rows.push_back({text("HRINIAGESALA"), text("HRFINAGESALA"), text("DSAGENDASALA"),
                            text("IDSITAGESALA"), text("CDFILIAL"), text("CDOPERADOR")});
        return rows;
    }
    std::size_t storedCount(const std::string& room, age::Date from, age::Date to) {
        std::size_t n = 0;
        for (age::Date d = from; d <= to; d += days{1}) n += stored(room, d).size();
        return n;
    }

    std::unique_ptr<age::test::TestServer> server;
    QMainWindow* window = nullptr;
    std::vector<Unload> unloads;
};

}  // namespace autotest
