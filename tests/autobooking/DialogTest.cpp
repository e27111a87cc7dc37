// The dialog's opening, placement, weekdays, period checks, keyboard, help and release.
#include <QGroupBox>
#include <QCalendarWidget>
#include <QLabel>
#include <QTableView>

#include "AutoBookingFixture.h"
#include "platform/ui/ButtonFlat.h"
#include "platform/ui/Showavi.h"

namespace autotest {
namespace {

using age::ui::BoxKind;
using age::ui::ShownBox;

const std::string kStartInPast = "Data inicial deve ser maior ou igual à data atual.";
const std::string kEndBeforeStart = "Data de término deve ser maior ou igual à data inicial.";

TEST_F(AutoBookingTest, OpensOnTheServersDayOverTheHostWindowWithOnlyThatWeekday) {
    withDialog([&](TfrmCadAutoSala& d) {
        EXPECT_EQ(d.windowTitle(), QStringLiteral("Cadastramento Automático"));
        EXPECT_EQ(d.depDe->DisplayText(), QStringLiteral("07/12/2026"));
        EXPECT_EQ(d.depAte->DisplayText(), QStringLiteral("07/12/2026"));
        EXPECT_EQ(weekdays(d), "0100000 0000000 0");  // Monday only
        EXPECT_EQ(focusedControl(d), d.depDe);
        EXPECT_EQ(age::ui::Screen::Cursor(), age::ui::TCursor::crDefault);

        // Centred over the host's main window (integer halves), fixed and at least the designed size.
        const QSize frame = d.frameGeometry().size();
        EXPECT_EQ(d.frameGeometry().topLeft(),
                  window->mapToGlobal(QPoint(1100 / 2 - frame.width() / 2, 700 / 2 - frame.height() / 2)));
        EXPECT_EQ(d.minimumSize(), d.maximumSize());
        EXPECT_GE(d.width(), 264);
        EXPECT_GE(d.height(), 183);
        // The designed font, 11 pixels high, in every control; the group titles in bold.
        for (QWidget* w :
             std::initializer_list<QWidget*>{&d, d.Label1, d.chbSab, d.depDe->Editor(), d.grbPeriodo}) {
            EXPECT_EQ(w->font().family(), QStringLiteral("MS Sans Serif")) << w->objectName().toStdString();
            EXPECT_EQ(w->font().pixelSize(), 11) << w->objectName().toStdString();
        }
        EXPECT_TRUE(d.GroupBox1->font().bold());
        EXPECT_FALSE(d.chbSab->font().bold());
        // Every text fits its control with the fonts in use.
        for (QWidget* w : std::initializer_list<QWidget*>{d.Label1, d.lblAte, d.chbDom, d.chbSeg, d.chbTer,
                                                          d.chbQua, d.chbQui, d.chbSex, d.chbSab, d.depDe})
            EXPECT_GE(w->width(), w->sizeHint().width()) << w->objectName().toStdString();
        EXPECT_EQ(d.GroupBox1->title(), QStringLiteral("Período"));
        EXPECT_EQ(d.sbtConfirma->Hint(), QStringLiteral("Confirmar"));
        EXPECT_EQ(d.sbtCancel->Hint(), QStringLiteral("Fechar"));
        EXPECT_TRUE(d.lblCodTela->isHidden());

        // Help: the dialog's context, or the active control's own when it has one.
        d.sbtHelp->click();
        d.depDe->setProperty("HelpContext", 31);
        d.sbtHelp->click();
        EXPECT_EQ(shown(), (std::vector<ShownBox>{{BoxKind::Help, "0"}, {BoxKind::Help, "31"}}));
    });
    EXPECT_EQ(age::ui::Screen::Cursor(), age::ui::TCursor::crDefault);

    // A host window lying beyond the screen's origin places the dialog at the origin.
    window->move(-1000, -900);
    QApplication::processEvents();
    withDialog([&](TfrmCadAutoSala& d) { EXPECT_EQ(d.frameGeometry().topLeft(), QPoint(0, 0)); });
}

TEST_F(AutoBookingTest, WeekdaysFollowThePeriodAndTheCountFollowsTheChecks) {
    withDialog([&](TfrmCadAutoSala& d) {
        const age::Date fri = kToday + days{4};
        enterDate(d.depDe, fri);
        enterDate(d.depAte, fri + days{2});
        EXPECT_EQ(weekdays(d), "1000011 0000000 0");  // Fri, Sat, Sun
        enterDate(d.depAte, fri + days{6});
        EXPECT_EQ(weekdays(d), "1111111 0000000 0");  // seven days through the walk
        enterDate(d.depAte, fri + days{20});
        EXPECT_EQ(weekdays(d), "1111111 0000000 0");
        check({d.chbSeg, d.chbQua, d.chbSab});
        EXPECT_EQ(weekdays(d), "1111111 0101001 3");
        d.chbSab->click();
        EXPECT_EQ(weekdays(d), "1111111 0101000 2");

        // Tab order: the dates, then the weekdays with Sunday last.
        d.depDe->setFocus();
        std::vector<QWidget*> order{focusedControl(d)};
        for (int i = 0; i < 8; ++i) {
            press(Qt::Key_Tab);
            order.push_back(focusedControl(d));
        }
        EXPECT_EQ(order, (std::vector<QWidget*>{d.depDe, d.depAte, d.chbSeg, d.chbTer, d.chbQua, d.chbQui,
                                                d.chbSex, d.chbSab, d.chbDom}));

        // An end one day before the start: nothing can be chosen (and leaving the end date is refused).
        enterDate(d.depAte, fri - days{1});
        EXPECT_EQ(weekdays(d), "0000000 0000000 0");
        EXPECT_EQ(errorsShown(), Strings{kEndBeforeStart});

        // Two weeks from a Monday, then only that Monday and Tuesday, then two weeks again.
        const age::Date mon = kToday + days{7};
        enterDate(d.depAte, mon + days{13});
        enterDate(d.depDe, mon);
        check({d.chbSeg, d.chbQua});
        EXPECT_EQ(weekdays(d), "1111111 0101000 2");
        enterDate(d.depAte, mon + days{1});
        EXPECT_EQ(weekdays(d), "0110000 0100000 1");
        enterDate(d.depAte, mon + days{13});
        EXPECT_EQ(weekdays(d), "1111111 0100000 1");
        EXPECT_TRUE(shown().empty());
    });
}

TEST_F(AutoBookingTest, WeekdaysChangeOnlyWithAFinishedDateTypedOrPicked) {
    withDialog([&](TfrmCadAutoSala& d) {
        enterDate(d.depAte, december(27));
        check({d.chbSeg, d.chbSex});
        ASSERT_EQ(weekdays(d), "1111111 0100010 2");
        // Typed over "27/12/2026", the end passes through 17/12, 10/12 and 10/02/2026 on its way to
        // 10/01/2027: the boxes move only when the user leaves the field, and keep what the period holds.
        d.depAte->Editor()->setFocus();
        typeDate(d.depAte, age::makeDate(2027, 1, 10));
        EXPECT_EQ(weekdays(d), "1111111 0100010 2");
        press(Qt::Key_Tab);
        EXPECT_EQ(weekdays(d), "1111111 0100010 2");

        // Typed 09/12 leaves Monday to Wednesday; 11/12 picked in the calendar brings Thursday and Friday.
        enterDate(d.depAte, december(9));
        EXPECT_EQ(weekdays(d), "0111000 0100000 1");
        d.depAte->ShowCalendar();
        auto* days = d.depAte->Calendar()->findChild<QTableView*>();
        ASSERT_NE(days, nullptr);
        QTest::keyClick(days, Qt::Key_Right);
        QTest::keyClick(days, Qt::Key_Right);
        QTest::mouseClick(days->viewport(), Qt::LeftButton, {}, days->visualRect(days->currentIndex()).center());
        EXPECT_EQ(d.depAte->DisplayText(), QStringLiteral("11/12/2026"));
        EXPECT_EQ(weekdays(d), "0111110 0100000 1");
        press(Qt::Key_Tab);
        EXPECT_EQ(weekdays(d), "0111110 0100000 1");
        EXPECT_TRUE(shown().empty());
    });
}

// The dialog opens in the start date, which holds today's date: the user types the new one at once, and
// again over a date that was refused.
TEST_F(AutoBookingTest, ADateTypedWhereTheFocusLandsReplacesTheOneShown) {
    auto typeHere = [](const char* digits) {
        for (const char* c = digits; *c; ++c) QTest::keyClick(QApplication::focusWidget(), *c);
    };
    withDialog([&](TfrmCadAutoSala& d) {
        ASSERT_EQ(focusedControl(d), d.depDe);
        typeHere("05122026");
        press(Qt::Key_Tab);
        EXPECT_EQ(errorsShown(), Strings{"Data inicial deve ser maior ou igual à data atual."});
        ASSERT_EQ(focusedControl(d), d.depDe);
        typeHere("09122026");
        press(Qt::Key_Tab);
        EXPECT_EQ(d.depDe->DisplayText(), QStringLiteral("09/12/2026"));
        EXPECT_EQ(focusedControl(d), d.depAte);
        EXPECT_TRUE(shown().empty());
    });
}

TEST_F(AutoBookingTest, PeriodChecksKeepTheFocusOnTheRefusedDate) {
    withDialog([&](TfrmCadAutoSala& d) {
        auto leave = [&](TDateEditPlus* edit, age::Date day) {
            typeDate(edit, day);
            press(Qt::Key_Tab);
        };
        leave(d.depDe, kToday - days{1});
        EXPECT_EQ(errorsShown(), Strings{kStartInPast});
        EXPECT_EQ(focusedControl(d), d.depDe);
        leave(d.depDe, kToday);
        leave(d.depAte, kToday - days{1});
        EXPECT_EQ(errorsShown(), Strings{kEndBeforeStart});
        EXPECT_EQ(focusedControl(d), d.depAte);
        leave(d.depAte, kToday);
        EXPECT_TRUE(shown().empty());
        EXPECT_EQ(focusedControl(d), d.chbSeg);

        // A click on the weekday group's frame with both dates wrong reports the start only.
        d.depAte->setFocus();
        typeDate(d.depAte, kToday - days{2});
        typeDate(d.depDe, kToday - days{1});
        const QPoint frame(d.GroupBox1->width() - 4, d.GroupBox1->height() - 4);
        QTest::mouseClick(d.GroupBox1, Qt::LeftButton, {}, frame);
        EXPECT_EQ(errorsShown(), Strings{kStartInPast});
        EXPECT_EQ(focusedControl(d), d.depDe);
        typeDate(d.depDe, kToday);
        QTest::mouseClick(d.GroupBox1, Qt::LeftButton, {}, frame);
        EXPECT_EQ(errorsShown(), Strings{kEndBeforeStart});
        EXPECT_EQ(focusedControl(d), d.depAte);
    });
}

TEST_F(AutoBookingTest, EnterConfirmsFromAnyControlEscClosesAndTheNextOpeningIsFresh) {
    QPointer<TfrmCadAutoSala> first;
    QWidget* firstRaw = nullptr;
    withDialog([&](TfrmCadAutoSala& d) {
        first = &d;
        firstRaw = &d;
        press(Qt::Key_Return);  // in the start date
        d.chbSeg->setFocus();
        press(Qt::Key_Enter);  // keypad Enter in a weekday box
        const std::string noWeekday = "Nenhum dia da semana foi informado.";
        EXPECT_EQ(errorsShown(), (Strings{noWeekday, noWeekday}));
        EXPECT_TRUE(d.isVisible());

        enterDate(d.depAte, kToday + days{10});
        check({d.chbQua, d.chbSex});
        typeDate(d.depDe, kToday - days{1});
        d.depDe->setFocus();
        press(Qt::Key_Escape);  // no check runs
        EXPECT_FALSE(d.isVisible());
        EXPECT_TRUE(shown().empty());
    });
    EXPECT_TRUE(first.isNull());
    EXPECT_FALSE(Cli_Age12110::boIdCriado);
    EXPECT_TRUE(Cli_Age12110::stDias.empty());
    // The dialog told the host it is gone; the agenda screen, and with it the module, stays.
    EXPECT_EQ(unloads, (decltype(unloads){{"TfrmCadAutoSala", firstRaw}}));
    EXPECT_TRUE(Cli_Age12100::boIdCriado);
    EXPECT_TRUE(f->isVisible());

    withDialog([&](TfrmCadAutoSala& d) {
        EXPECT_EQ(d.depDe->DisplayText(), QStringLiteral("07/12/2026"));
        EXPECT_EQ(d.depAte->DisplayText(), QStringLiteral("07/12/2026"));
        EXPECT_EQ(weekdays(d), "0100000 0000000 0");
    });
}

TEST_F(AutoBookingTest, FailedOpeningReportsAndRestoresTheCursor) {
    server->stop();
    f->RunHandler([this] { f->sbtCadAutoClick(f->sbtCadAuto); });
    auto errors = errorsShown();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find(server->host()), std::string::npos) << errors[0];
    EXPECT_FALSE(Cli_Age12110::boIdCriado);
    EXPECT_EQ(Cli_Age12110::frmCadAutoSala, nullptr);
    EXPECT_EQ(age::ui::Screen::Cursor(), age::ui::TCursor::crDefault);
    EXPECT_EQ(Showavi::Depth(), 0);
}

}  // namespace
}  // namespace autotest
