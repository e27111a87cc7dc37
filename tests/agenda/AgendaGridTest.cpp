// Choosing the day and the room, loading the agenda, the status filter and what the grid shows.
#include <QComboBox>
#include <QFontMetrics>
#include <QHeaderView>
#include <QImage>
#include <map>
#include <set>

#include "AgendaFixture.h"
#include "platform/ui/Showavi.h"

using namespace agenda_test;

namespace {

// Room 101 on Monday 07/12 holds one booking of each status and a second scheduled one; room 102 one.
class AgendaGridTest : public AgendaFixture {
  protected:
    void SetUp() override {
        AgendaFixture::SetUp();
        seeder->book({"101", december(7), "0800", "0900", "Reunião de equipe"});
        seeder->book({"101", december(7), "1000", "1100", "Planejamento", "C", "bruno"});
        seeder->book({"101", december(7), "1400", "1500", "Retrospectiva", "E", "bruno"});
        seeder->book({"101", december(7), "1600", "1700", "Visita do cliente", "A", "bruno"});
        seeder->book({"102", december(7), "0900", "1200", "Treinamento"});
    }
    // Puts the filter buttons down or up as asked, by clicking the ones that differ.
    void filterBy(bool scheduled, bool cancelled, bool closed) {
        for (auto [button, down] :
             {std::pair{f->tbtAgendada, scheduled}, {f->tbtCancelada, cancelled}, {f->tbtEncerrada, closed}})
            if (button->isChecked() != down) button->click();
    }
    std::set<std::string> statuses() const {
        auto words = columnValues("IDSITAGESALA");
        return {words.begin(), words.end()};
    }
    bool insertOn() const {
        EXPECT_EQ(f->sbtIncluir->isEnabled(), f->mnuIncluir->isEnabled());
        return f->sbtIncluir->isEnabled();
    }
};

TEST_F(AgendaGridTest, EmptyDayRefusesEveryExitWithoutCallingTheServer) {
    Showavi::ResetCounters();
    for (QWidget* target : {static_cast<QWidget*>(f->cbbSalas), static_cast<QWidget*>(f->dbgPadrao)}) {
        focusOn(target);
        EXPECT_EQ(errorsShown(), Strings{"Data do agendamento deve ser informada."});
        EXPECT_TRUE(f->depAgenda->isAncestorOf(QApplication::focusWidget()));
    }
    EXPECT_FALSE(f->cdsAgendaSala->Active());
    EXPECT_EQ(Showavi::Activations(), 0);  // no load started
}

TEST_F(AgendaGridTest, RoomNameShowsAtOnceAndBookingsLoadOnlyOnLeavingThePanel) {
    choose(december(7), "102");
    EXPECT_EQ(f->edtNmSala->text(), QStringLiteral("Sala 102"));
    focusOn(f->cbbSalas);  // moving inside the panel loads nothing
    EXPECT_FALSE(f->cdsAgendaSala->Active());
    leavePanel();
    EXPECT_EQ(columnValues("DSAGENDASALA"), Strings{"Treinamento"});

    focusOn(f->cbbSalas);  // entering the panel empties the grid until it is left again
    EXPECT_EQ(rows(), 0);
    f->cbbSalas->setCurrentIndex(f->cbbSalas->findText("101"));
    EXPECT_EQ(f->edtNmSala->text(), QStringLiteral("Sala 101"));
    EXPECT_FALSE(f->cdsAgendaSala->Active());
    leavePanel();
    EXPECT_EQ(columnValues("DSAGENDASALA"), (Strings{"Reunião de equipe", "Visita do cliente"}));
    EXPECT_TRUE(shown().empty());
}

// The keyboard road: the day typed, Tab to the room, Tab into the grid, on to the filter buttons and
// round to the day; Shift+Tab back.
TEST_F(AgendaGridTest, TheKeyboardGoesFromTheDayToTheRoomTheGridAndTheFilters) {
    auto press = [](Qt::Key key, Qt::KeyboardModifiers modifiers = {}) {
        QTest::keyClick(QApplication::focusWidget(), key, modifiers);
        QApplication::processEvents();
    };
    for (char digit : std::string("07122026")) QTest::keyClick(QApplication::focusWidget(), digit);
    press(Qt::Key_Tab);
    ASSERT_EQ(QApplication::focusWidget(), f->cbbSalas);
    press(Qt::Key_Down);  // room 102
    ASSERT_EQ(f->cbbSalas->currentText(), QStringLiteral("102"));
    press(Qt::Key_Tab);
    ASSERT_EQ(QApplication::focusWidget(), f->dbgPadrao);
    EXPECT_EQ(columnValues("DSAGENDASALA"), Strings{"Treinamento"});
    EXPECT_TRUE(f->sbtIncluir->isEnabled());

    // Shift+Tab before the grid's first cell goes back into the panel, which empties the grid.
    press(Qt::Key_Backtab, Qt::ShiftModifier);
    ASSERT_EQ(QApplication::focusWidget(), f->cbbSalas);
    EXPECT_FALSE(f->cdsAgendaSala->Active());
    press(Qt::Key_Up);  // room 101
    press(Qt::Key_Tab);
    EXPECT_EQ(columnValues("DSAGENDASALA"), (Strings{"Reunião de equipe", "Visita do cliente"}));
    press(Qt::Key_Tab);  // inside the grid Tab goes from cell to cell
    EXPECT_EQ(QApplication::focusWidget(), f->dbgPadrao);

    // Tab after the last cell reaches the filter buttons; Space lists the cancelled bookings too.
    goTo(rows() - 1, "DTINCAGESALA");
    press(Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), f->tbtAgendada);
    press(Qt::Key_Tab);
    ASSERT_EQ(QApplication::focusWidget(), f->tbtCancelada);
    press(Qt::Key_Space);
    EXPECT_TRUE(f->tbtCancelada->isChecked());
    EXPECT_EQ(columnValues("DSAGENDASALA"),
              (Strings{"Reunião de equipe", "Planejamento", "Visita do cliente"}));
    press(Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), f->tbtEncerrada);
    press(Qt::Key_Tab);
    EXPECT_TRUE(f->depAgenda->isAncestorOf(QApplication::focusWidget()));
    EXPECT_FALSE(f->cdsAgendaSala->Active());
    EXPECT_TRUE(shown().empty());
}

TEST_F(AgendaGridTest, FirstLoadListsScheduledBookingsInTheNineColumns) {
    open(december(7), "101");
    EXPECT_EQ(f->cdsAgendaSala->Filter(), "IDSITAGESALA IN (' ', 'A')");
    const Strings titles{"Seqüencial",        "Situação",           "Referência",
                         "Reunião",           "Responsável",        "Data Reunião",
                         "Início da Reunião", "Término da Reunião", "Data de Reserva"};
    const std::map<int, int> widths{{1, 62}, {2, 190}, {4, 213}, {5, 73}, {7, 99}, {8, 121}};
    const std::set<int> readOnly{0, 3, 4, 5, 8};
    auto* grid = f->dbgPadrao;
    const QFontMetrics header = grid->horizontalHeader()->fontMetrics();
    for (int c = 0; c < 9; ++c) {
        const QString title = grid->model()->headerData(c, Qt::Horizontal).toString();
        EXPECT_EQ(title.toStdString(), titles[c]);
        // The design width is a minimum; no title is cut ("Data Reunião" needs more than 73 pixels).
        if (widths.contains(c)) {
            EXPECT_GE(grid->columnWidth(c), widths.at(c)) << c;
        }
        EXPECT_GT(grid->columnWidth(c), header.horizontalAdvance(title)) << titles[c];
        EXPECT_EQ(grid->Columns()[c].ReadOnly, readOnly.contains(c)) << c;
    }
    EXPECT_EQ(grid->columnWidth(2), 190);  // wide enough already: left as designed
    EXPECT_EQ(grid->Columns()[1].PickList, (QStringList{"Agendada", "Cancelada", "Encerrada"}));

    ASSERT_EQ(rows(), 2);
    Strings first;
    for (const auto& column : grid->Columns())
        first.push_back(cell(0, column.FieldName.c_str()).toStdString());
    EXPECT_EQ(first, (Strings{"00001", "Agendada", "Reunião de equipe", "101", "Ana Souza", "07/12/2026",
                              "08:00", "09:00", "07/12/2026 10:00:00"}));  // stamped by the server
    EXPECT_EQ(cell(1, "CDOPERADOR"), QStringLiteral("Bruno Lima"));
    EXPECT_EQ(f->dbtNome->text(), QStringLiteral("Reunião de equipe"));
}

TEST_F(AgendaGridTest, FilterTextAndCurrentBookingSurviveARefresh) {
    open(december(7), "101");
    struct Case {
        bool a, c, e;
        std::string text;
        std::set<std::string> listed;
    };
    const Case cases[] = {
        {false, false, false, "IDSITAGESALA IN (' ')", {}},
        {false, true, true, "IDSITAGESALA IN (' ', 'C', 'E')", {"Cancelada", "Encerrada"}},
        {true, true, true, "IDSITAGESALA IN (' ', 'A', 'C', 'E')", {"Agendada", "Cancelada", "Encerrada"}},
        {true, false, true, "IDSITAGESALA IN (' ', 'A', 'E')", {"Agendada", "Encerrada"}},
    };
    for (const Case& c : cases) {
        filterBy(c.a, c.c, c.e);
        EXPECT_EQ(f->cdsAgendaSala->Filter(), c.text);
        EXPECT_EQ(statuses(), c.listed) << c.text;
    }

    // Another user books meanwhile, before the current booking: the refresh lists it under the same filter
    // and the current booking stays current.
    filterBy(false, true, true);
    goTo(1, "DSAGENDASALA");
    ASSERT_EQ(current("DSAGENDASALA"), "Retrospectiva");
    seeder->book({"101", december(7), "1200", "1300", "Almoço", "C"});
    f->sbtVerificar->click();
    EXPECT_EQ(f->cdsAgendaSala->Filter(), "IDSITAGESALA IN (' ', 'C', 'E')");
    EXPECT_EQ(columnValues("DSAGENDASALA"), (Strings{"Planejamento", "Almoço", "Retrospectiva"}));
    EXPECT_EQ(current("DSAGENDASALA"), "Retrospectiva");
    EXPECT_EQ(f->dbgPadrao->currentIndex().row(), f->cdsAgendaSala->RecNo());
    EXPECT_TRUE(shown().empty());
}

TEST_F(AgendaGridTest, ToggleWhileABookingIsEnteredOrEditedIsPutBackSilently) {
    open(december(7), "101");
    f->sbtIncluir->click();
    ASSERT_EQ(state(), TDataSetState::dsInsert);
    f->tbtCancelada->click();
    EXPECT_FALSE(f->tbtCancelada->isChecked());
    EXPECT_EQ(state(), TDataSetState::dsInsert);
    EXPECT_EQ(rows(), 3);
    f->sbtCancelar->click();

    f->cdsAgendaSala->Edit();
    f->tbtAgendada->click();
    EXPECT_TRUE(f->tbtAgendada->isChecked());
    EXPECT_EQ(state(), TDataSetState::dsEdit);
    EXPECT_EQ(f->cdsAgendaSala->Filter(), "IDSITAGESALA IN (' ', 'A')");
    EXPECT_TRUE(shown().empty());
}

TEST_F(AgendaGridTest, InsertIsOnFromTheServersTodayWhateverItsHour) {
    open(december(6), "101");
    EXPECT_FALSE(insertOn());
    open(december(7), "101");
    EXPECT_TRUE(insertOn());
    f->sbtIncluir->click();  // the day's rule has the last word in every state
    EXPECT_TRUE(insertOn());
    f->sbtCancelar->click();
    open(december(8), "101");
    EXPECT_TRUE(insertOn());

    for (const char* now : {"2026-12-07T00:00:00", "2026-12-07T23:59:59"}) {
        age::test::ServerSetup setup;
        setup.now = now;
        age::test::TestServer other(setup);
        switchServer(other);
        open(december(7), "101");
        EXPECT_TRUE(insertOn()) << now;
        open(december(6), "101");
        EXPECT_FALSE(insertOn()) << now;
        switchServer(*server);
    }
    EXPECT_TRUE(shown().empty());
}

TEST_F(AgendaGridTest, CellsAreColouredByStatusAndTheNewRowShowsItsOperatorCode) {
    open(december(7), "101");
    filterBy(true, true, true);
    f->sbtIncluir->click();
    ASSERT_EQ(current("CDOPERADOR"), "ana");
    set("IDSITAGESALA", "X");  // unknown: no word, the grid's own colour
    // The reference holding the operator's code is the picture to compare the operator cell with: it is
    // drawn one pixel lower (3 below the top, the operator 2) in the same colours.
    set("DSAGENDASALA", "ana");
    f->dbgPadrao->SetSelectedIndex(col("NRSEQAGESALA"));
    const int row = f->cdsAgendaSala->RecNo();
    EXPECT_EQ(cell(row, "IDSITAGESALA"), QString());
    const QPalette palette = f->dbgPadrao->palette();
    const std::map<std::string, QColor> expected{{"A", QColor(0, 0, 128)},
                                                 {"C", QColor(128, 0, 0)},
                                                 {"E", palette.color(QPalette::Disabled, QPalette::Text)},
                                                 {"X", palette.color(QPalette::Text)}};
    std::set<std::string> seen;
    int selectedCells = 0;
    auto screenDraws = f->dbgPadrao->OnDrawColumnCell;
    f->dbgPadrao->OnDrawColumnCell = [&](QObject* s, const QRect& r, int c, TColumn& cl, TGridDrawState st) {
        screenDraws(s, r, c, cl, st);
        const TCanvas& canvas = f->dbgPadrao->Canvas();
        const std::string status = current("IDSITAGESALA");  // fields read here see the painted row
        if (st.Selected) {
            ++selectedCells;
            EXPECT_EQ(canvas.Font.Color, QColor(Qt::white));
            EXPECT_EQ(canvas.Brush.Color, palette.color(QPalette::Highlight));
        } else {
            EXPECT_EQ(canvas.Font.Color, expected.at(status)) << status;
            seen.insert(status);
        }
    };
    const QImage image = f->dbgPadrao->viewport()->grab().toImage();
    f->dbgPadrao->OnDrawColumnCell = screenDraws;
    EXPECT_EQ(seen, (std::set<std::string>{"A", "C", "E", "X"}));
    EXPECT_EQ(selectedCells, 1);
    const QRect selected = f->dbgPadrao->visualRect(f->dbgPadrao->currentIndex());
    EXPECT_EQ(image.pixelColor(selected.right() - 1, selected.bottom() - 1),
              palette.color(QPalette::Highlight));

    const QRect who = f->dbgPadrao->visualRect(f->dbgPadrao->model()->index(row, col("CDOPERADOR")));
    const QRect ref = f->dbgPadrao->visualRect(f->dbgPadrao->model()->index(row, col("DSAGENDASALA")));
    EXPECT_EQ(image.copy(who.left(), who.top(), 60, who.height() - 1),
              image.copy(ref.left(), ref.top() + 1, 60, ref.height() - 1));
    EXPECT_NE(image.copy(who.left(), who.top(), 60, who.height() - 1),
              image.copy(who.right() - 60, who.top(), 60, who.height() - 1))
        << "the operator cell is blank";
    EXPECT_EQ(cell(row == 0 ? 1 : 0, "CDOPERADOR"), QStringLiteral("Ana Souza"));  // stored rows: names
    f->sbtCancelar->click();
}

TEST_F(AgendaGridTest, StatusColumnOpensOnlyOnAScheduledBookingAndTakesNoTypedKeys) {
    open(december(7), "101");
    filterBy(true, true, true);
    ASSERT_EQ(columnValues("IDSITAGESALA"), (Strings{"Agendada", "Cancelada", "Encerrada", "Agendada"}));
    auto* grid = f->dbgPadrao;
    TColumn& status = grid->Columns()[col("IDSITAGESALA")];
    goTo(0, "DSAGENDASALA");
    for (int row : {1, 2}) {  // a row change reaches the flag as well as a column change
        goTo(row, "DSAGENDASALA");
        goTo(row, "IDSITAGESALA");
        EXPECT_TRUE(status.ReadOnly) << row;
        QTest::keyClick(grid, Qt::Key_F2);
        EXPECT_FALSE(grid->Editing());
        goTo(row == 1 ? 2 : 3, "IDSITAGESALA");
    }
    EXPECT_FALSE(status.ReadOnly);  // row 3, scheduled
    QTest::keyClick(grid, 'c');
    EXPECT_FALSE(grid->Editing());
    EXPECT_EQ(state(), TDataSetState::dsBrowse);
    QTest::keyClick(grid, Qt::Key_F2);
    auto* words = grid->findChild<QComboBox*>();
    ASSERT_NE(words, nullptr);
    QTest::keyClick(words, 'E');
    EXPECT_EQ(words->currentText(), QStringLiteral("Agendada"));
    words->setCurrentIndex(words->findText("Cancelada"));
    ASSERT_TRUE(grid->CommitEditor());
    EXPECT_EQ(current("IDSITAGESALA"), "C");
    f->sbtCancelar->click();
    EXPECT_TRUE(shown().empty());
}

TEST_F(AgendaGridTest, FailedLoadOnLeavingThePanelIsReportedOnceAndLeavesTheGridEmpty) {
    choose(december(7), "101");
    const std::string address = server->address();
    server->stop();
    leavePanel();
    EXPECT_EQ(errorsShown(), Strings{"Não foi possível conectar ao servidor de aplicação em " + address +
                                     ": conexão recusada."});
    EXPECT_FALSE(f->cdsAgendaSala->Active());
    EXPECT_EQ(rows(), 0);
    EXPECT_EQ(QApplication::focusWidget(), f->dbgPadrao);  // the exit completed
    EXPECT_EQ(Showavi::Depth(), 0);
}

TEST_F(AgendaGridTest, ImpossibleDayIsRefusedWithoutAskingTheServer) {
    focusOn(f->depAgenda);
    QTest::keyClicks(f->depAgenda->Editor(), "31022026");
    Showavi::ResetCounters();
    const std::string wrong = "Data do agendamento informada incorretamente.";
    for (QWidget* target : {static_cast<QWidget*>(f->cbbSalas), static_cast<QWidget*>(f->dbgPadrao)}) {
        focusOn(target);
        EXPECT_EQ(errorsShown(), Strings{wrong});
        EXPECT_TRUE(f->depAgenda->isAncestorOf(QApplication::focusWidget()));
    }
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_F5);  // nor does a refresh read day zero
    EXPECT_EQ(errorsShown(), Strings{wrong});
    EXPECT_FALSE(f->cdsAgendaSala->Active());
    EXPECT_EQ(Showavi::Activations(), 0);
}

// A refresh from the selection panel loads the grid while the focus stays there; a new row entered next
// must not be lost to the load that leaving the panel brings.
TEST_F(AgendaGridTest, InsertRightAfterARefreshFromTheSelectionPanelKeepsTheNewRow) {
    open(december(7), "101");  // the filter in force: scheduled bookings
    focusOn(f->depAgenda);
    for (QWidget* field : {static_cast<QWidget*>(f->depAgenda), static_cast<QWidget*>(f->cbbSalas)}) {
        focusOn(field);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_F5);
        ASSERT_EQ(columnValues("DSAGENDASALA"), (Strings{"Reunião de equipe", "Visita do cliente"}));
        ASSERT_TRUE(f->panPrincipal->isAncestorOf(QApplication::focusWidget()));
        f->sbtIncluir->click();
        EXPECT_EQ(state(), TDataSetState::dsInsert);
        EXPECT_EQ(rows(), 3);
        EXPECT_EQ(QApplication::focusWidget(), f->dbgPadrao);
        EXPECT_EQ(f->dbgPadrao->SelectedField()->FieldName(), "DSAGENDASALA");
        f->sbtCancelar->click();
    }

    // The room changed after the refresh: the new row is entered among the bookings of that room.
    focusOn(f->cbbSalas);
    QTest::keyClick(f->cbbSalas, Qt::Key_F5);
    f->cbbSalas->setCurrentIndex(f->cbbSalas->findText("102"));
    f->sbtIncluir->click();
    EXPECT_EQ(state(), TDataSetState::dsInsert);
    EXPECT_EQ(current("CDSALA"), "102");
    EXPECT_EQ(columnValues("DSAGENDASALA"), (Strings{"", "Treinamento"}));
    f->sbtCancelar->click();

    // Editing from the panel after a refresh edits the booking that was current, and stays editing.
    focusOn(f->depAgenda);
    f->cbbSalas->setCurrentIndex(f->cbbSalas->findText("101"));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_F5);
    f->dbnPadrao->Next()->click();
    ASSERT_EQ(current("DSAGENDASALA"), "Visita do cliente");
    f->sbtAlterar->click();
    EXPECT_EQ(state(), TDataSetState::dsEdit);
    EXPECT_EQ(current("DSAGENDASALA"), "Visita do cliente");
    f->sbtCancelar->click();
    EXPECT_TRUE(shown().empty());
}

TEST_F(AgendaGridTest, WithoutTheServersDateInsertKeepsItsState) {
    // The same bookings seen a day later: their day is past, insert is off.
    server->stop();
    age::test::ServerSetup nextDay;
    nextDay.now = "2026-12-08T10:00:00";
    nextDay.db = server->dbUrl();
    nextDay.rooms = {};
    nextDay.operators = {};
    age::test::TestServer later(nextDay);
    switchServer(later);
    open(december(7), "101");
    ASSERT_FALSE(insertOn());
    ASSERT_EQ(rows(), 2);
    later.stop();
    goTo(1, "DSAGENDASALA");  // a row change runs the state-change step, which cannot read the date
    EXPECT_EQ(errorsShown().size(), 1u);
    EXPECT_FALSE(insertOn());
}

}  // namespace
