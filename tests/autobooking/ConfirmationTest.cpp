// The confirmation: period limits, the date list, the conflict query's replies and the booking step,
// against the real server. The template is room 101 today, 08:00 to 09:00.
#include <QMessageBox>
#include <QPushButton>

#include "AutoBookingFixture.h"
#include "common/BookingRules.h"
#include "platform/data/Abort.h"
#include "platform/ui/Showavi.h"

namespace autotest {
namespace {

using age::ui::Answer;
using age::ui::BoxKind;
using age::ui::ShownBox;
using Cli_Age12110::stDias;

const std::string kLimit = "Data selecionada acima do limite.";
const std::string kRoomTaken = "Sala já está reservada na(s) data(s) e horário(s) informados.";

std::string question(const std::string& dates) {
    return "Esta sala já está agendada na(s) data(s): " + dates +
           ", no horário informado.\r\nDeseja agendar as salas para o restante das datas informadas?";
}

TEST_F(AutoBookingTest, AllDaysFreeBooksTheWalkedDaysAndClosesWithoutAQuestion) {
    loadTemplate();
    useServer(server->host(), server->port(), "0002");  // the host's branch, not the template's
    const age::Date wed = kToday + days{2};
    Showavi::ResetCounters();
    withDialog([&](TfrmCadAutoSala& d) {
        enterDate(d.depDe, wed);
        enterDate(d.depAte, wed + days{13});  // the Tuesday 13 days later
        check({d.chbSeg, d.chbQua});
        press(Qt::Key_Return);
        EXPECT_FALSE(d.isVisible());
    });
    EXPECT_TRUE(shown().empty());
    EXPECT_EQ(Showavi::Activations(), 1);
    EXPECT_EQ(Showavi::Depth(), 0);
    EXPECT_FALSE(Cli_Age12110::boIdCriado);

    // Wednesday, Monday, Wednesday, Monday: one booking each, copied from the template with the host's
    // branch and operator, and nothing else.
    for (int offset : {2, 7, 9, 14})
        EXPECT_EQ(stored(kToday + days{offset}), Strings{"0800 0900 Reunião semanal A 0002 ana"}) << offset;
    EXPECT_EQ(storedCount(wed, wed + days{13}), 4u);
    open(kToday + days{7}, "101");  // on the agenda screen once its bookings are read again
    EXPECT_EQ(columnValues("DSAGENDASALA"), Strings{"Reunião semanal"});
}

// Enter in a date edit confirms the period as typed, before the edit is finished.
TEST_F(AutoBookingTest, EnterRightAfterTypingTheEndConfirmsTheTypedPeriod) {
    loadTemplate();
    withDialog([&](TfrmCadAutoSala& d) {
        enterDate(d.depDe, kToday + days{1});
        enterDate(d.depAte, kToday + days{13});
        check({d.chbSeg, d.chbQua});
        d.depAte->Editor()->setFocus();
        typeDate(d.depAte, kToday + days{4});  // Friday: the Mondays and the second Wednesday drop out
        press(Qt::Key_Return);
        EXPECT_FALSE(d.isVisible());
    });
    EXPECT_TRUE(shown().empty());
    EXPECT_EQ(stored(kToday + days{2}), Strings{"0800 0900 Reunião semanal A 0001 ana"});
    EXPECT_EQ(storedCount(kToday + days{1}, kToday + days{13}), 1u);
}

TEST_F(AutoBookingTest, PartlyTakenPeriodAsksWithTheTakenDatesNoBooksNothingYesBooksTheRest) {
    loadTemplate();
    seeder->book({"101", kToday + days{2}, "0830", "0930", "Outra reunião"});
    // Monday is the template's own day; Wednesday clashes with 08:30 to 09:30.
    const std::vector<ShownBox> asked{{BoxKind::Confirmation, question("07/12/2026, 09/12/2026")}};
    withDialog([&](TfrmCadAutoSala& d) {
        enterDate(d.depAte, kToday + days{4});
        check({d.chbSeg, d.chbQua, d.chbSex});
        messages().ScriptAnswers({Answer::No});
        press(Qt::Key_Return);
        EXPECT_EQ(shown(), asked);
        EXPECT_TRUE(d.isVisible());
        EXPECT_EQ(d.depAte->DisplayText(), QStringLiteral("11/12/2026"));
        EXPECT_EQ(weekdays(d), "0111110 0101010 3");
        EXPECT_EQ(storedCount(kToday, kToday + days{4}), 2u);  // the template and the other booking

        // The real box: Yes is the default button and Escape answers No.
        messages().StopRecording();
        QString defaultText, escapeText;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box || !box->isVisible()) return;
            poll.stop();
            defaultText = box->defaultButton()->text();
            escapeText =
                box->escapeButton() ? qobject_cast<QAbstractButton*>(box->escapeButton())->text() : "";
            QTest::keyClick(box, Qt::Key_Escape);
        });
        poll.start(10);
        d.sbtConfirma->click();
        messages().StartRecording();
        EXPECT_EQ(defaultText, QStringLiteral("&Sim"));
        EXPECT_EQ(escapeText, QStringLiteral("&Não"));
        EXPECT_TRUE(d.isVisible());
        EXPECT_EQ(storedCount(kToday, kToday + days{4}), 2u);

        messages().ScriptAnswers({Answer::Yes});
        d.sbtConfirma->click();
        EXPECT_EQ(shown(), asked);
        EXPECT_FALSE(d.isVisible());
    });
    EXPECT_EQ(stored(kToday).size(), 1u);
    EXPECT_EQ(stored(kToday + days{2}).size(), 1u);
    EXPECT_EQ(stored(kToday + days{4}), Strings{"0800 0900 Reunião semanal A 0001 ana"});
}

TEST_F(AutoBookingTest, DayTakenWhileTheQuestionIsOpenIsNamedAfterTheRestIsBooked) {
    loadTemplate();
    seeder->book({"101", december(10), "0830", "0930", "Outra reunião"});
    std::vector<std::string> boxes;
    withDialog([&](TfrmCadAutoSala& d) {
        enterDate(d.depAte, december(16));
        check({d.chbTer, d.chbQui});  // 08/12, 10/12 (taken), 15/12
        // Real boxes: another user books 15/12 while the question is up; then the user answers Sim.
        messages().StopRecording();
        {
            BoxAnswerer answerer([&](QMessageBox&, std::size_t n) {  // Sim, then OK
                if (n == 1) seeder->book({"101", december(15), "0700", "0800", "Chegou antes", "A", "bruno"});
            });
            d.sbtConfirma->click();
            boxes = answerer.texts();
        }
        messages().StartRecording();
        EXPECT_FALSE(d.isVisible());
    });
    const std::string missed =
        "A sala não foi agendada na(s) data(s): 15/12/2026, reservada(s) por outro usuário antes da confirmação. "
        "As demais datas foram agendadas.";
    EXPECT_EQ(boxes, (Strings{question("10/12/2026"), missed}));
    EXPECT_EQ(stored(december(8)), Strings{"0800 0900 Reunião semanal A 0001 ana"});
    EXPECT_EQ(stored(december(15)), Strings{"0700 0800 Chegou antes A 0001 bruno"});
    EXPECT_EQ(stored(december(10)).size(), 1u);
}

TEST_F(AutoBookingTest, RepliesWithoutAFreeDayBookNothing) {
    loadTemplate();
    withDialog([&](TfrmCadAutoSala& d) {
        check({d.chbSeg});
        press(Qt::Key_Return);  // today only, the template's own day: the server answers "0"
        EXPECT_EQ(errorsShown(), Strings{kRoomTaken});
        EXPECT_TRUE(d.isVisible());

        // Replies the server never gives for a list, with a free day in it that must not be booked.
        for (const char* reply : {"1_", "", "  "}) {
            stDias = "_11/12/2026";
            d.answerConflictReply(reply);
            EXPECT_TRUE(shown().empty()) << '"' << reply << '"';
        }
        stDias = "_11/12/2026";
        EXPECT_THROW(d.answerConflictReply("X_11/12/2026"), EAbort);  // the message ends the confirmation
        EXPECT_EQ(errorsShown(), Strings{kRoomTaken});
        EXPECT_TRUE(d.isVisible());
    });
    EXPECT_EQ(stored(kToday).size(), 1u);
    EXPECT_TRUE(stored(kToday + days{4}).empty());
}

TEST_F(AutoBookingTest, PeriodAndListLimitsAreCheckedBeforeTheServerIsAsked) {
    loadTemplate();
    withDialog([&](TfrmCadAutoSala& d) {
        // Dates first: a date half typed may be invalid for a moment, which unchecks every box.
        enterDate(d.depAte, kToday + days{age::kMaxPeriodDays + 1});
        check({d.chbSeg});
        press(Qt::Key_Return);
        EXPECT_EQ(errorsShown(), Strings{kLimit});
        EXPECT_EQ(focusedControl(d), d.depAte);

        // 630 days of Mondays (91 of them) go to the server: only the template's day is taken.
        enterDate(d.depAte, kToday + days{age::kMaxPeriodDays});
        messages().ScriptAnswers({Answer::No});
        press(Qt::Key_Return);
        EXPECT_EQ(shown(), (std::vector<ShownBox>{{BoxKind::Confirmation, question("07/12/2026")}}));

        // Every weekday: 98 days make 1078 characters and go to the server, which drops the taken day.
        enterDate(d.depAte, kToday + days{97});
        check({d.chbDom, d.chbTer, d.chbQua, d.chbQui, d.chbSex, d.chbSab});
        messages().ScriptAnswers({Answer::No});
        press(Qt::Key_Return);
        EXPECT_EQ(shown(), (std::vector<ShownBox>{{BoxKind::Confirmation, question("07/12/2026")}}));
        EXPECT_EQ(stDias.size(), age::kMaxDateList - 11);

        // 99 days make 1089: refused with the list unsent.
        enterDate(d.depAte, kToday + days{98});
        press(Qt::Key_Return);
        EXPECT_EQ(errorsShown(), Strings{kLimit});
        EXPECT_EQ(focusedControl(d), d.depAte);
        EXPECT_EQ(stDias.size(), 1089u);
        EXPECT_TRUE(d.isVisible());
    });
    EXPECT_EQ(storedCount(kToday, kToday + days{98}), 1u);
}

TEST_F(AutoBookingTest, WithoutACurrentBookingTheServerRefusesTheTemplate) {
    ASSERT_FALSE(f->cdsAgendaSala->Active());
    withDialog([&](TfrmCadAutoSala& d) {
        check({d.chbSeg});
        press(Qt::Key_Return);
        auto errors = errorsShown();
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_NE(errors[0].find("Agendamento modelo não encontrado"), std::string::npos) << errors[0];
        EXPECT_TRUE(d.isVisible());
    });
    EXPECT_TRUE(stored(kToday).empty());
}

TEST_F(AutoBookingTest, FailedBookingStepStopsTheAnimationKeepsTheDialogAndCanBeRetried) {
    loadTemplate();
    // The template row is being edited on the agenda screen: its end is now before its start.
    f->cdsAgendaSala->Edit();
    set("HRFINAGESALA", "0700");
    const age::Date tue = kToday + days{1};
    withDialog([&](TfrmCadAutoSala& d) {
        enterDate(d.depDe, tue);
        enterDate(d.depAte, tue);
        check({d.chbTer});
        Showavi::ResetCounters();
        press(Qt::Key_Return);
        EXPECT_EQ(errorsShown(), Strings{"Hora final deve ser maior que hora inicial."});
        EXPECT_EQ(Showavi::Activations(), 1);
        EXPECT_EQ(Showavi::Depth(), 0);
        EXPECT_TRUE(d.isVisible());
        EXPECT_EQ(weekdays(d), "0010000 0010000 1");
        EXPECT_TRUE(stored(tue).empty());

        // Each confirmation reads the template afresh.
        f->cdsAgendaSala->Cancel();
        press(Qt::Key_Return);
        EXPECT_FALSE(d.isVisible());
        EXPECT_TRUE(shown().empty());
    });
    EXPECT_EQ(stored(tue), Strings{"0800 0900 Reunião semanal A 0001 ana"});
}

TEST_F(AutoBookingTest, PeriodsOverTheYearEndAndTheLeapDayBookTheirOwnDays) {
    loadTemplate();
    withDialog([&](TfrmCadAutoSala& d) {
        enterDate(d.depDe, december(28));                // a Monday
        enterDate(d.depAte, age::makeDate(2027, 1, 5));  // a Tuesday
        check({d.chbSeg, d.chbQui, d.chbSex});
        press(Qt::Key_Return);
        EXPECT_FALSE(d.isVisible());
    });
    for (age::Date day : {december(28), december(31), age::makeDate(2027, 1, 1), age::makeDate(2027, 1, 4)})
        EXPECT_EQ(stored(day), Strings{"0800 0900 Reunião semanal A 0001 ana"}) << age::formatShortDate(day);
    EXPECT_EQ(storedCount(december(28), age::makeDate(2027, 1, 5)), 4u);

    const age::Date sat = age::makeDate(2028, 2, 26);
    withDialog([&](TfrmCadAutoSala& d) {
        enterDate(d.depDe, sat);
        enterDate(d.depAte, sat + days{5});  // Thursday 02/03/2028: no Friday in the period
        EXPECT_EQ(weekdays(d), "1111101 0000000 0");
        check({d.chbTer, d.chbQua});
        press(Qt::Key_Return);
        EXPECT_FALSE(d.isVisible());
    });
    EXPECT_EQ(stored(age::makeDate(2028, 2, 29)), Strings{"0800 0900 Reunião semanal A 0001 ana"});
    EXPECT_EQ(stored(age::makeDate(2028, 3, 1)), Strings{"0800 0900 Reunião semanal A 0001 ana"});
    EXPECT_EQ(storedCount(sat, sat + days{5}), 2u);
    EXPECT_TRUE(shown().empty());
}

TEST_F(AutoBookingTest, ServerLostAtTheQuestionReportsItKeepsTheDialogAndBooksOnceItIsBack) {
    loadTemplate();
    const int port = server->port();
    const std::string address = server->address();
    std::vector<std::string> boxes;
    withDialog([&](TfrmCadAutoSala& d) {
        enterDate(d.depAte, kToday + days{4});
        check({d.chbSeg, d.chbQua});  // Monday is the template's own day
        // Real boxes: the server goes away while the question is up; the user answers Sim, then OK.
        messages().StopRecording();
        Showavi::ResetCounters();
        {
            BoxAnswerer answerer([&](QMessageBox&, std::size_t n) {
                if (n == 1) server->stop();
            });
            d.sbtConfirma->click();
            boxes = answerer.texts();
        }
        messages().StartRecording();
        ASSERT_EQ(boxes.size(), 2u);
        EXPECT_EQ(boxes[0], question("07/12/2026"));
        EXPECT_NE(boxes[1].find(address), std::string::npos) << boxes[1];
        EXPECT_EQ(Showavi::Activations(), 1);
        EXPECT_EQ(Showavi::Depth(), 0);
        EXPECT_TRUE(d.isVisible());
        EXPECT_EQ(d.depAte->DisplayText(), QStringLiteral("11/12/2026"));
        EXPECT_EQ(weekdays(d), "0111110 0101000 2");

        server->start(port);
        EXPECT_TRUE(stored(kToday + days{2}).empty());
        messages().ScriptAnswers({Answer::Yes});
        d.sbtConfirma->click();
        EXPECT_EQ(shown(), (std::vector<ShownBox>{{BoxKind::Confirmation, question("07/12/2026")}}));
        EXPECT_FALSE(d.isVisible());
    });
    EXPECT_EQ(stored(kToday + days{2}), Strings{"0800 0900 Reunião semanal A 0001 ana"});
    EXPECT_EQ(stored(kToday).size(), 1u);
}

}  // namespace
}  // namespace autotest
