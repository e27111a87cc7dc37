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
    const age::Date wed = kToday + days{2};
    Showavi::ResetCounters();
    withDialog([&](TfrmCadAutoSala& d) {
        typeDate(d.depDe, wed);
        typeDate(d.depAte, wed + days{13});  // the Tuesday 13 days later
        check({d.chbSeg, d.chbQua});
        press(Qt::Key_Return);
        EXPECT_FALSE(d.isVisible());
    });
    EXPECT_TRUE(shown().empty());
    EXPECT_EQ(Showavi::Activations(), 1);
    EXPECT_EQ(Showavi::Depth(), 0);
    EXPECT_FALSE(Cli_Age12110::boIdCriado);

    // Wednesday, Monday, Wednesday, Monday: one booking each, copied from the template, and nothing else.
    for (int offset : {2, 7, 9, 14}) {
        auto rows = stored("101", kToday + days{offset});
        ASSERT_EQ(rows.size(), 1u) << offset;
        EXPECT_EQ(rows[0].start, "0800");
        EXPECT_EQ(rows[0].end, "0900");
        EXPECT_EQ(rows[0].reference, "Reunião semanal");
        EXPECT_EQ(rows[0].status, "A");
        EXPECT_EQ(rows[0].branch, "0001");
        EXPECT_EQ(rows[0].operatorCode, "ana");  // the host's operator, not the template's
    }
    EXPECT_EQ(storedCount("101", wed, wed + days{13}), 4u);

    // They show on the agenda screen once its bookings are read again.
    loadAgenda("101", kToday + days{7});
    auto* model = agenda().dbgPadrao->model();
    ASSERT_EQ(model->rowCount(), 1);
    bool found = false;
    for (int c = 0; c < model->columnCount(); ++c)
        found = found || model->index(0, c).data().toString() == QStringLiteral("Reunião semanal");
    EXPECT_TRUE(found);
}

TEST_F(AutoBookingTest, PartlyTakenPeriodAsksWithTheTakenDatesAndYesBooksTheRest) {
    loadTemplate();
    book("101", kToday + days{2}, "0830", "0930", "Outra reunião");
    messages().ScriptAnswers({Answer::Yes});
    withDialog([&](TfrmCadAutoSala& d) {
        typeDate(d.depAte, kToday + days{4});
        check({d.chbSeg, d.chbQua, d.chbSex});
        press(Qt::Key_Return);
        EXPECT_FALSE(d.isVisible());
    });
    // Monday is the template's own day; Wednesday clashes with 08:30 to 09:30.
    EXPECT_EQ(shown(), (std::vector<ShownBox>{{BoxKind::Confirmation, question("07/12/2026, 09/12/2026")}}));
    EXPECT_EQ(stored("101", kToday).size(), 1u);
    EXPECT_EQ(stored("101", kToday + days{2}).size(), 1u);
    auto friday = stored("101", kToday + days{4});
    ASSERT_EQ(friday.size(), 1u);
    EXPECT_EQ(friday[0].reference, "Reunião semanal");
}

TEST_F(AutoBookingTest, AnsweringNoBooksNothingAndKeepsTheInputs) {
    loadTemplate();
    book("101", kToday + days{2}, "0830", "0930", "Outra reunião");
    withDialog([&](TfrmCadAutoSala& d) {
        typeDate(d.depAte, kToday + days{4});
        check({d.chbSeg, d.chbQua, d.chbSex});
        messages().ScriptAnswers({Answer::No});
        press(Qt::Key_Return);
        EXPECT_EQ(shown().size(), 1u);
        EXPECT_TRUE(d.isVisible());
        EXPECT_EQ(d.depAte->DisplayText(), QStringLiteral("11/12/2026"));
        EXPECT_EQ(checkedDays(d), "0101010");
        EXPECT_EQ(Cli_Age12110::inQtDiaSem, 3);

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
    });
    EXPECT_EQ(storedCount("101", kToday, kToday + days{4}), 2u);  // the template and the other booking
}

TEST_F(AutoBookingTest, RepliesWithoutAFreeDayBookNothing) {
    loadTemplate();
    withDialog([&](TfrmCadAutoSala& d) {
        check({d.chbSeg});
        press(Qt::Key_Return);  // today only, the template's own day: the server answers "0"
        EXPECT_EQ(errorsShown(), std::vector<std::string>{kRoomTaken});
        EXPECT_TRUE(d.isVisible());

        // Replies the server never gives for a list, with a free day in it that must not be booked.
        for (const char* reply : {"1_", "", "  "}) {
            stDias = "_11/12/2026";
            d.answerConflictReply(reply);
            EXPECT_TRUE(shown().empty()) << '"' << reply << '"';
        }
        stDias = "_11/12/2026";
        EXPECT_THROW(d.answerConflictReply("X_11/12/2026"), EAbort);  // the message ends the confirmation
        EXPECT_EQ(errorsShown(), std::vector<std::string>{kRoomTaken});
        EXPECT_TRUE(d.isVisible());
    });
    EXPECT_EQ(stored("101", kToday).size(), 1u);
    EXPECT_TRUE(stored("101", kToday + days{4}).empty());
}

TEST_F(AutoBookingTest, PeriodAndListLimitsAreCheckedBeforeTheServerIsAsked) {
    loadTemplate();
    withDialog([&](TfrmCadAutoSala& d) {
        // Dates first: a date half typed may be invalid for a moment, which unchecks every box.
        typeDate(d.depAte, kToday + days{age::kMaxPeriodDays + 1});
        check({d.chbSeg});
        press(Qt::Key_Return);
        EXPECT_EQ(errorsShown(), std::vector<std::string>{kLimit});
        EXPECT_EQ(focusedControl(d), d.depAte);

        // 630 days of Mondays (91 of them) go to the server: only the template's day is taken.
        typeDate(d.depAte, kToday + days{age::kMaxPeriodDays});
        messages().ScriptAnswers({Answer::No});
        press(Qt::Key_Return);
        EXPECT_EQ(shown(), (std::vector<ShownBox>{{BoxKind::Confirmation, question("07/12/2026")}}));

        // Every weekday: 98 days make 1078 characters and go to the server, which drops the taken day.
        typeDate(d.depAte, kToday + days{97});
        check({d.chbDom, d.chbTer, d.chbQua, d.chbQui, d.chbSex, d.chbSab});
        messages().ScriptAnswers({Answer::No});
        press(Qt::Key_Return);
        EXPECT_EQ(shown(), (std::vector<ShownBox>{{BoxKind::Confirmation, question("07/12/2026")}}));
        EXPECT_EQ(stDias.size(), age::kMaxDateList - 11);

        // 99 days make 1089: refused with the list unsent.
        typeDate(d.depAte, kToday + days{98});
        press(Qt::Key_Return);
        EXPECT_EQ(errorsShown(), std::vector<std::string>{kLimit});
        EXPECT_EQ(focusedControl(d), d.depAte);
        EXPECT_EQ(stDias.size(), 1089u);
        EXPECT_TRUE(d.isVisible());
    });
    EXPECT_EQ(storedCount("101", kToday, kToday + days{98}), 1u);
}

TEST_F(AutoBookingTest, WithoutACurrentBookingTheServerRefusesTheTemplate) {
    ASSERT_FALSE(agenda().cdsAgendaSala->Active());
    withDialog([&](TfrmCadAutoSala& d) {
        check({d.chbSeg});
        press(Qt::Key_Return);
        auto errors = errorsShown();
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_NE(errors[0].find("Agendamento modelo não encontrado"), std::string::npos) << errors[0];
        EXPECT_TRUE(d.isVisible());
    });
    EXPECT_TRUE(stored("101", kToday).empty());
}

TEST_F(AutoBookingTest, FailedBookingStepStopsTheAnimationKeepsTheDialogAndCanBeRetried) {
    loadTemplate();
    // The template row is being edited on the agenda screen: its end is now before its start.
    agenda().cdsAgendaSala->Edit();
    agenda().cdsAgendaSala->FieldByName("HRFINAGESALA").SetAsString("0700");
    const age::Date tue = kToday + days{1};
    withDialog([&](TfrmCadAutoSala& d) {
        typeDate(d.depDe, tue);
        typeDate(d.depAte, tue);
        check({d.chbTer});
        Showavi::ResetCounters();
        press(Qt::Key_Return);
        EXPECT_EQ(errorsShown(), std::vector<std::string>{"Hora final deve ser maior que hora inicial."});
        EXPECT_EQ(Showavi::Activations(), 1);
        EXPECT_EQ(Showavi::Depth(), 0);
        EXPECT_TRUE(d.isVisible());
        EXPECT_EQ(checkedDays(d), "0010000");
        EXPECT_TRUE(stored("101", tue).empty());

        // Each confirmation reads the template afresh.
        agenda().cdsAgendaSala->Cancel();
        press(Qt::Key_Return);
        EXPECT_FALSE(d.isVisible());
        EXPECT_TRUE(shown().empty());
    });
    auto rows = stored("101", tue);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].end, "0900");
}

}  // namespace
}  // namespace autotest
