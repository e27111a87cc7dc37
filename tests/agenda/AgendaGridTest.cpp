// Choosing the day and the room, loading the agenda, the status filter and what the grid shows.
#include <QComboBox>
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

TEST_F(AgendaGridTest, FirstLoadListsScheduledBookingsInTheNineColumns) {
    open(december(7), "101");
    EXPECT_EQ(f->cdsAgendaSala->Filter(), "IDSITAGESALA IN (' ', 'A')");
    const Strings titles{"Seqüencial",        "Situação",           "Referência",
                         "Reunião",           "Responsável",        "Data Reunião",
                         "Início da Reunião", "Término da Reunião", "Data de Reserva"};
    const std::map<int, int> widths{{1, 62}, {2, 190}, {4, 213}, {5, 73}, {7, 99}, {8, 121}};
    const std::set<int> readOnly{0, 3, 4, 5, 8};
    auto* grid = f->dbgPadrao;
    for (int c = 0; c < 9; ++c) {
        EXPECT_EQ(grid->model()->headerData(c, Qt::Horizontal).toString().toStdString(), titles[c]);
        if (widths.contains(c)) {
            EXPECT_EQ(grid->columnWidth(c), widths.at(c)) << c;
        }
        EXPECT_EQ(grid->Columns()[c].ReadOnly, readOnly.contains(c)) << c;
    }
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

}  // namespace
