// Entering and changing bookings in the grid: a new row's defaults, the checks before a post, the overlap
// rule, saving every change at once, and undoing it when the server refuses.
#include <QLineEdit>
#include <QMessageBox>
#include <QTimer>

#include "AgendaFixture.h"
#include "ModalDialog.h"
#include "platform/ui/Showavi.h"

using namespace agenda_test;
using age::ui::Answer;

namespace {

const std::string kClash = "Sala já está reservada para este horário.";
const std::string kStartWrong = "Horário de Início da reunião informado incorretamente";
const std::string kEndWrong = "Horário de Término da reunião informado incorretamente";
const std::string kEqualHours = "Início e Término da Reunião devem ser em horas diferentes.";
const std::string kChangedElsewhere = "O agendamento foi alterado por outro usuário. Atualize a agenda.";

// Room 101 on Monday 07/12, the server's today: 08:00-09:00 and 11:00-12:00 scheduled, 13:00-14:00
// cancelled; the screen lists scheduled and cancelled bookings.
class AgendaEditTest : public AgendaFixture {
  protected:
    void SetUp() override {
        AgendaFixture::SetUp();
        seeder->book({"101", december(7), "0800", "0900", "Equipe"});
        seeder->book({"101", december(7), "1100", "1200", "Cliente", "A", "bruno"});
        seeder->book({"101", december(7), "1300", "1400", "Almoço", "C"});
        open(december(7), "101");
        f->tbtCancelada->click();
        ASSERT_EQ(columnValues("DSAGENDASALA"), (Strings{"Equipe", "Cliente", "Almoço"}));
    }
    void type(const std::string& reference, const std::string& start, const std::string& end) {
        set("DSAGENDASALA", reference);
        set("HRINIAGESALA", start);
        set("HRFINAGESALA", end);
    }
    // A new booking typed in and saved with the save command.
    void enter(const std::string& reference, const std::string& start, const std::string& end) {
        f->sbtIncluir->click();
        EXPECT_EQ(state(), TDataSetState::dsInsert);
        type(reference, start, end);
        f->sbtGravar->click();
    }
    void select(const std::string& reference) {
        auto listed = columnValues("DSAGENDASALA");
        auto it = std::find(listed.begin(), listed.end(), reference);
        ASSERT_NE(it, listed.end()) << reference;
        goTo(static_cast<int>(it - listed.begin()), "DSAGENDASALA");
    }
    // The field the grid's focus is on.
    std::string focused() const {
        QApplication::processEvents();
        QWidget* focus = QApplication::focusWidget();
        if (focus != f->dbgPadrao && !f->dbgPadrao->isAncestorOf(focus)) return "(not the grid)";
        TField* field = f->dbgPadrao->SelectedField();
        return field ? field->FieldName() : "";
    }
    Strings stored() { return seeder->stored("101", december(7)); }
    // A click on a cell of the grid, as the mouse gives it.
    void click(int row, const char* field) {
        const QRect cell = f->dbgPadrao->visualRect(f->dbgPadrao->model()->index(row, col(field)));
        QTest::mouseClick(f->dbgPadrao->viewport(), Qt::LeftButton, {}, cell.center());
        QApplication::processEvents();
    }
    // The booking the data set and the grid stand on, and the column of the grid.
    std::string standingOn() const {
        EXPECT_EQ(f->dbgPadrao->currentIndex().row(), f->cdsAgendaSala->RecNo());
        return current("DSAGENDASALA");
    }
    bool rowCommandsOn() const {
        EXPECT_EQ(f->sbtAlterar->isEnabled(), f->mnuAlterar->isEnabled());
        EXPECT_EQ(f->sbtExcluir->isEnabled(), f->mnuExcluir->isEnabled());
        EXPECT_EQ(f->sbtAlterar->isEnabled(), f->sbtExcluir->isEnabled());
        return f->sbtAlterar->isEnabled();
    }
    int changes() const { return f->cdsAgendaSala->ChangeCount(); }
    bool statusReadOnly() const { return f->dbgPadrao->Columns()[col("IDSITAGESALA")].ReadOnly; }
};

TEST_F(AgendaEditTest, NewBookingTakesItsDefaultsFromTheHostTheSelectionAndTheServer) {
    Ormelin::SetHostValues({"0002", "bruno", server->host(), server->port()});
    f->sbtIncluir->click();
    ASSERT_EQ(state(), TDataSetState::dsInsert);
    EXPECT_EQ(current("IDSITAGESALA"), "A");
    EXPECT_EQ(current("CDFILIAL"), "0002");
    EXPECT_EQ(current("CDOPERADOR"), "bruno");
    EXPECT_EQ(current("CDSALA"), "101");
    EXPECT_EQ(current("DTATIAGESALA"), "07/12/2026");
    EXPECT_EQ(current("DTINCAGESALA"), "07/12/2026 10:00:00");
    EXPECT_EQ(current("NRSEQAGESALA"), "00004");  // the room's counter after three bookings
    EXPECT_EQ(focused(), "DSAGENDASALA");
    EXPECT_TRUE(statusReadOnly());
    EXPECT_TRUE(f->sbtGravar->isEnabled());
    EXPECT_FALSE(f->sbtCadAuto->isEnabled());
    EXPECT_FALSE(f->mnuCadAuto->isEnabled());

    f->sbtCancelar->click();
    EXPECT_EQ(state(), TDataSetState::dsBrowse);
    EXPECT_FALSE(statusReadOnly());  // back on a scheduled booking
    EXPECT_TRUE(f->sbtCadAuto->isEnabled());
    EXPECT_TRUE(f->mnuCadAuto->isEnabled());
    f->sbtIncluir->click();  // a number handed out is never handed out again
    EXPECT_EQ(current("NRSEQAGESALA"), "00005");
    f->sbtCancelar->click();
    EXPECT_TRUE(shown().empty());
}

TEST_F(AgendaEditTest, FirstFailingCheckEndsThePostWithItsMessageAndFocus) {
    struct Case {
        std::string reference, start, end, message, focus, status = "A";
    };
    const Case cases[] = {
        {"", "", "", "Referência deve ser informada.", "DSAGENDASALA"},
        {"Nova", "", "1000", "Início da Reunião deve ser informado.", "HRINIAGESALA"},
        {"Nova", "930", "1000", kStartWrong, "HRINIAGESALA"},
        {"Nova", "2400", "2430", kStartWrong, "HRINIAGESALA"},
        {"Nova", "2360", "2400", kStartWrong, "HRINIAGESALA"},
        {"Nova", " 930", "1000", kStartWrong, "HRINIAGESALA"},  // a blank left by the mask
        {"Nova", "1500", "", "Término da Reunião deve ser informado.", "HRFINAGESALA"},
        {"Nova", "1500", "2400", kEndWrong, "HRFINAGESALA"},
        {"Nova", "1500", "15:3", kEndWrong, "HRFINAGESALA"},
        {"Nova", "1000", "0900", "Hora final deve ser maior que hora inicial.", "HRFINAGESALA"},
        {"Nova", "0930", "0930", kEqualHours, "HRFINAGESALA"},
        {"Nova", "1500", "1600", "Situação da Reunião deve ser informada como \"Agendada\".", "IDSITAGESALA",
         "C"},
    };
    f->sbtIncluir->click();
    for (const Case& c : cases) {
        type(c.reference, c.start, c.end);
        set("IDSITAGESALA", c.status);
        f->dbgPadrao->SetSelectedIndex(col("NRSEQAGESALA"));
        f->sbtGravar->click();
        const std::string name = "'" + c.start + "'-'" + c.end + "'";
        EXPECT_EQ(errorsShown(), Strings{c.message}) << name;
        EXPECT_EQ(focused(), c.focus) << name;
        EXPECT_EQ(state(), TDataSetState::dsInsert) << name;
        EXPECT_EQ(current("HRINIAGESALA"), c.start) << name;  // what was typed stays
    }

    // A blank typed through the hour column's editor: the hour is refused, not read.
    type("Nova", "", "1000");
    set("IDSITAGESALA", "A");
    goTo(f->cdsAgendaSala->RecNo(), "HRINIAGESALA");
    QTest::keyClick(f->dbgPadrao, Qt::Key_F2);
    auto* editor = f->dbgPadrao->findChild<QLineEdit*>();
    ASSERT_NE(editor, nullptr);
    QTest::keyClicks(editor, " 930");
    f->sbtGravar->click();
    EXPECT_EQ(errorsShown(), Strings{kStartWrong});
    EXPECT_EQ(state(), TDataSetState::dsInsert);
    EXPECT_EQ(stored().size(), 3u);  // nothing was sent
    f->sbtCancelar->click();
}

TEST_F(AgendaEditTest, NewBookingMayNotTouchAStoredOneAtEitherEnd) {
    for (auto [start, end] : {std::pair{"0900", "1000"}, {"0700", "0800"}, {"0700", "1200"}}) {
        enter("Nova", start, end);
        EXPECT_EQ(errorsShown(), Strings{kClash}) << start;
        EXPECT_EQ(focused(), "HRINIAGESALA") << start;
        EXPECT_EQ(state(), TDataSetState::dsInsert);
        f->sbtCancelar->click();
    }
    enter("Depois", "0901", "1000");
    enter("Antes", "0600", "0759");
    EXPECT_TRUE(errorsShown().empty());
    EXPECT_EQ(stored(), (Strings{"0600 0759 Antes A ana", "0800 0900 Equipe A ana", "0901 1000 Depois A ana",
                                 "1100 1200 Cliente A bruno", "1300 1400 Almoço C ana"}));
    EXPECT_EQ(changes(), 0);
    // Reloaded after saving: the new booking shows its operator's name and stays current.
    EXPECT_EQ(current("DSAGENDASALA"), "Antes");
    EXPECT_EQ(cell(f->cdsAgendaSala->RecNo(), "CDOPERADOR"), QStringLiteral("Ana Souza"));
}

TEST_F(AgendaEditTest, EditedBookingIsRecognisedByItsOwnHours) {
    select("Equipe");
    f->sbtAlterar->click();
    set("DSAGENDASALA", "Equipe semanal");
    f->sbtGravar->click();
    EXPECT_TRUE(errorsShown().empty());
    EXPECT_EQ(current("DTINCAGESALA"), "07/12/2026 10:00:00");  // stamped at its latest change

    f->sbtAlterar->click();
    set("HRFINAGESALA", "1130");  // into the next booking
    f->sbtGravar->click();
    EXPECT_EQ(errorsShown(), Strings{kClash});
    EXPECT_EQ(state(), TDataSetState::dsEdit);
    f->sbtCancelar->click();
    EXPECT_EQ(current("HRFINAGESALA"), "0900");

    f->sbtAlterar->click();
    type("Equipe semanal", "0815", "0845");
    f->sbtGravar->click();
    EXPECT_TRUE(errorsShown().empty());
    EXPECT_EQ(stored().front(), "0815 0845 Equipe semanal A ana");
    EXPECT_EQ(changes(), 0);
}

TEST_F(AgendaEditTest, OnlyAScheduledBookingCanBeChangedOrDeleted) {
    seeder->book({"101", december(7), "1500", "1600", "Fechada", "E"});
    f->tbtEncerrada->click();
    f->sbtVerificar->click();
    for (const std::string reference : {"Almoço", "Fechada", "Cliente"}) {
        select(reference);
        const bool scheduled = reference == "Cliente";
        for (auto [button, item] :
             {std::pair{f->sbtAlterar, f->mnuAlterar}, {f->sbtExcluir, f->mnuExcluir}}) {
            EXPECT_EQ(button->isEnabled(), scheduled) << reference;
            EXPECT_EQ(item->isEnabled(), scheduled) << reference;
        }
        if (scheduled) continue;
        QTest::keyClick(f->dbgPadrao, 'x');  // refused without a word
        EXPECT_FALSE(f->dbgPadrao->Editing());
        EXPECT_THROW(f->cdsAgendaSala->Edit(), EAbort);
        EXPECT_EQ(state(), TDataSetState::dsBrowse);
        EXPECT_EQ(current("DSAGENDASALA"), reference);
    }
    EXPECT_TRUE(shown().empty());
}

TEST_F(AgendaEditTest, SlotTakenBetweenTheCheckAndTheSaveIsRefusedByTheServerAndUndone) {
    auto screenSaves = f->cdsAgendaSala->AfterPost;
    f->cdsAgendaSala->AfterPost = [&](TClientDataSet& ds) {
        seeder->book({"101", december(7), "1430", "1530", "Outro usuário", "A", "bruno"});
        screenSaves(ds);
    };
    Showavi::ResetCounters();
    enter("Minha", "1500", "1600");
    f->cdsAgendaSala->AfterPost = screenSaves;
    EXPECT_EQ(errorsShown(), Strings{kClash});
    EXPECT_EQ(columnValues("DSAGENDASALA"), (Strings{"Equipe", "Cliente", "Almoço"}));
    EXPECT_EQ(state(), TDataSetState::dsBrowse);
    EXPECT_EQ(changes(), 0);
    EXPECT_EQ(Showavi::Depth(), 0);
    EXPECT_EQ(Showavi::Activations(), 1);  // the save; no refresh followed the failure
    EXPECT_EQ(stored().back(), "1430 1530 Outro usuário A bruno");
    EXPECT_EQ(stored().size(), 4u);
}

TEST_F(AgendaEditTest, EditAndDeleteOfABookingChangedElsewhereAreUndone) {
    seeder->change("101", december(7), "00001", "DSAGENDASALA", "Equipe (outro)");
    select("Equipe");
    f->sbtAlterar->click();
    set("DSAGENDASALA", "Equipe (minha)");
    f->sbtGravar->click();
    EXPECT_EQ(errorsShown(), Strings{kChangedElsewhere});
    EXPECT_EQ(current("DSAGENDASALA"), "Equipe");
    EXPECT_EQ(state(), TDataSetState::dsBrowse);
    EXPECT_EQ(changes(), 0);

    seeder->change("101", december(7), "00002", "HRFINAGESALA", "1230");
    select("Cliente");
    age::ui::MessageService::Instance().ScriptAnswers({Answer::Yes});
    f->sbtExcluir->click();
    EXPECT_EQ(errorsShown(), Strings{kChangedElsewhere});
    EXPECT_EQ(columnValues("DSAGENDASALA"), (Strings{"Equipe", "Cliente", "Almoço"}));
    EXPECT_EQ(current("DSAGENDASALA"), "Cliente");
    EXPECT_EQ(changes(), 0);

    f->sbtVerificar->click();  // read afresh, the delete goes through
    age::ui::MessageService::Instance().ScriptAnswers({Answer::Yes});
    f->sbtExcluir->click();
    EXPECT_TRUE(errorsShown().empty());
    EXPECT_EQ(stored(), (Strings{"0800 0900 Equipe (outro) A ana", "1300 1400 Almoço C ana"}));
    EXPECT_EQ(columnValues("DSAGENDASALA"), (Strings{"Equipe (outro)", "Almoço"}));
    EXPECT_EQ(changes(), 0);
}

// With real boxes: while the refusal is on the screen the busy animation of the save is not.
TEST_F(AgendaEditTest, RefusalOfASaveIsShownWithoutTheBusyAnimation) {
    seeder->change("101", december(7), "00001", "DSAGENDASALA", "Equipe (outro)");
    select("Equipe");
    f->sbtAlterar->click();
    set("DSAGENDASALA", "Equipe (minha)");
    age::ui::MessageService::Instance().StopRecording();
    std::vector<std::string> boxes;
    bool busyUnderBox = false;
    {
        BoxAnswerer answerer([&](QMessageBox&, std::size_t) {
            busyUnderBox = busyUnderBox || Showavi::Overlay()->isVisible();
        });
        f->sbtGravar->click();
        boxes = answerer.texts();
    }
    age::ui::MessageService::Instance().StartRecording();
    EXPECT_EQ(boxes, Strings{kChangedElsewhere});
    EXPECT_FALSE(busyUnderBox);
    EXPECT_EQ(Showavi::Depth(), 0);
    EXPECT_FALSE(Showavi::Overlay()->isVisible());
    EXPECT_EQ(current("DSAGENDASALA"), "Equipe");

    // An animation that outlasts a box comes back when the box goes.
    Showavi::TBusy busy;
    ASSERT_TRUE(Showavi::Overlay()->isVisible());
    age::ui::MessageService::Instance().StopRecording();
    QTimer::singleShot(20, [&] {
        busyUnderBox = Showavi::Overlay()->isVisible();
        if (auto* box = QApplication::activeModalWidget()) QTest::keyClick(box, Qt::Key_Return);
    });
    age::ui::MessageService::Instance().Error("Aviso");
    age::ui::MessageService::Instance().StartRecording();
    EXPECT_FALSE(busyUnderBox);
    EXPECT_TRUE(Showavi::Overlay()->isVisible());
}

// A new row that cannot be created (the server is gone) is reported once; the grid stays on the booking
// it stood on, and so does a new row given up with Esc.
TEST_F(AgendaEditTest, AFailedOrCancelledNewRowLeavesTheGridOnItsBookingWithOneReport) {
    select("Cliente");
    const int port = server->port();
    server->stop();
    f->sbtIncluir->click();
    EXPECT_EQ(errorsShown().size(), 1u);
    EXPECT_EQ(state(), TDataSetState::dsBrowse);
    EXPECT_EQ(rows(), 3);
    EXPECT_EQ(standingOn(), "Cliente");

    server->start(port);
    f->sbtIncluir->click();
    ASSERT_EQ(state(), TDataSetState::dsInsert);
    QTest::keyClick(f->dbgPadrao, Qt::Key_Escape);
    EXPECT_EQ(state(), TDataSetState::dsBrowse);
    EXPECT_EQ(rows(), 3);
    EXPECT_EQ(standingOn(), "Cliente");
    EXPECT_TRUE(shown().empty());
}

// Saving reads the day again; the keyboard stays in the column the user was typing in, after a save
// and after a refusal.
TEST_F(AgendaEditTest, AfterASaveTheGridStaysInTheColumnTypedIn) {
    select("Cliente");
    goTo(f->cdsAgendaSala->RecNo(), "HRFINAGESALA");
    for (char digit : std::string("1230")) QTest::keyClick(QApplication::focusWidget(), digit);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_S, Qt::ControlModifier);
    EXPECT_TRUE(errorsShown().empty());
    EXPECT_EQ(stored()[1], "1100 1230 Cliente A bruno");
    EXPECT_EQ(standingOn(), "Cliente");
    EXPECT_EQ(focused(), "HRFINAGESALA");

    seeder->change("101", december(7), "00002", "DSAGENDASALA", "Cliente (outro)");
    goTo(f->cdsAgendaSala->RecNo(), "DSAGENDASALA");
    for (char letter : std::string("Nova")) QTest::keyClick(QApplication::focusWidget(), letter);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_S, Qt::ControlModifier);
    EXPECT_EQ(errorsShown(), Strings{kChangedElsewhere});
    EXPECT_EQ(standingOn(), "Cliente");
    EXPECT_EQ(focused(), "DSAGENDASALA");
}

TEST_F(AgendaEditTest, EnteringTheSelectionPanelDiscardsAHalfFilledRow) {
    f->sbtIncluir->click();
    QTest::keyClick(f->dbgPadrao, 'P');  // the reference's editor opens with the typed key
    auto* editor = f->dbgPadrao->findChild<QLineEdit*>();
    ASSERT_NE(editor, nullptr);
    QTest::keyClicks(editor, "ela metade");
    focusOn(f->depAgenda);
    EXPECT_FALSE(f->cdsAgendaSala->Active());
    EXPECT_EQ(rows(), 0);
    leavePanel();
    EXPECT_EQ(columnValues("DSAGENDASALA"), (Strings{"Equipe", "Cliente", "Almoço"}));
    EXPECT_EQ(stored().size(), 3u);
    EXPECT_TRUE(shown().empty());
}

// Every save reloads the day, in the server's order: the booking the user moves to is found by its key.
TEST_F(AgendaEditTest, MovingOffASavedRowLandsOnTheBookingClickedWhereverTheReloadPutIt) {
    // New hours sort the edited booking after the one clicked.
    select("Equipe");
    f->sbtAlterar->click();
    type("Equipe", "1215", "1245");
    click(1, "DSAGENDASALA");  // Cliente
    EXPECT_EQ(columnValues("DSAGENDASALA"), (Strings{"Cliente", "Equipe", "Almoço"}));
    EXPECT_EQ(standingOn(), "Cliente");
    EXPECT_EQ(f->dbgPadrao->SelectedField()->FieldName(), "DSAGENDASALA");

    // Only the reference changes, but another user books earlier in the day meanwhile.
    f->sbtAlterar->click();
    set("DSAGENDASALA", "Cliente novo");
    seeder->book({"101", december(7), "0600", "0700", "Cedo", "A", "bruno"});
    click(2, "DSAGENDASALA");  // Almoço
    EXPECT_EQ(columnValues("DSAGENDASALA"), (Strings{"Cedo", "Cliente novo", "Equipe", "Almoço"}));
    EXPECT_EQ(standingOn(), "Almoço");

    // A new booking entered above "Cliente novo" whose hours put it further down.
    select("Cliente novo");
    f->sbtIncluir->click();
    type("Nova", "1250", "1255");
    click(2, "DSAGENDASALA");  // Cliente novo, while the new row stands at 1
    EXPECT_EQ(columnValues("DSAGENDASALA"), (Strings{"Cedo", "Cliente novo", "Equipe", "Nova", "Almoço"}));
    EXPECT_EQ(standingOn(), "Cliente novo");

    // The navigator's Next goes to the booking that followed the edited one when it was pressed.
    f->sbtAlterar->click();
    type("Cliente novo", "1300", "1305");
    f->dbnPadrao->Next()->click();
    QApplication::processEvents();
    EXPECT_EQ(columnValues("DSAGENDASALA"), (Strings{"Cedo", "Equipe", "Nova", "Cliente novo", "Almoço"}));
    EXPECT_EQ(standingOn(), "Equipe");
    EXPECT_TRUE(errorsShown().empty());
    EXPECT_EQ(changes(), 0);
}

TEST_F(AgendaEditTest, AfterARefusedSaveTheCommandsFollowTheBookingThatIsCurrentAgain) {
    // A new booking entered on a cancelled one, its slot taken by another user before the save.
    select("Almoço");
    ASSERT_FALSE(rowCommandsOn());
    auto screenSaves = f->cdsAgendaSala->AfterPost;
    f->cdsAgendaSala->AfterPost = [&](TClientDataSet& ds) {
        seeder->book({"101", december(7), "1430", "1530", "Outro usuário", "A", "bruno"});
        screenSaves(ds);
    };
    enter("Minha", "1500", "1600");
    f->cdsAgendaSala->AfterPost = screenSaves;
    EXPECT_EQ(errorsShown(), Strings{kClash});
    EXPECT_EQ(standingOn(), "Almoço");
    EXPECT_FALSE(rowCommandsOn());
    EXPECT_TRUE(statusReadOnly());

    // A scheduled booking set to Cancelada after another user changed it: back to Agendada, and open again.
    f->tbtEncerrada->click();
    select("Cliente");
    seeder->change("101", december(7), "00002", "DSAGENDASALA", "Cliente (outro)");
    f->cdsAgendaSala->Edit();
    f->cdsAgendaSala->FieldByName("IDSITAGESALA").SetText("Cancelada");
    f->sbtGravar->click();
    EXPECT_EQ(errorsShown(), Strings{kChangedElsewhere});
    EXPECT_EQ(standingOn(), "Cliente");
    EXPECT_EQ(cell(f->cdsAgendaSala->RecNo(), "IDSITAGESALA"), QStringLiteral("Agendada"));
    EXPECT_TRUE(rowCommandsOn());
    EXPECT_FALSE(statusReadOnly());
    EXPECT_EQ(changes(), 0);
}

}  // namespace
