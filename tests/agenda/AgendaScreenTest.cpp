// The agenda screen's entry, lifecycle and activation against a real age-server.
#include <QBoxLayout>
#include <QMdiSubWindow>

#include "AgendaFixture.h"
#include "platform/ui/Showavi.h"

using namespace agenda_test;
using Cli_Age12100::boIdCriado;
using Cli_Age12100::CriaAgendaSala;

namespace {

class AgendaScreenTest : public AgendaFixture {
  protected:
    QStringList rooms() const {
        QStringList items;
        for (int i = 0; i < f->cbbSalas->count(); ++i) items << f->cbbSalas->itemText(i);
        return items;
    }
    // Another screen of the host becomes active, then the agenda again.
    void switchAwayAndBack() {
        if (!other) {
            other = mdi->addSubWindow(new QWidget);
            other->show();
        }
        mdi->setActiveSubWindow(other);
        mdi->setActiveSubWindow(f->SubWindow());
        QApplication::processEvents();
    }
    QMdiSubWindow* other = nullptr;
};

TEST_F(AgendaScreenTest, FirstEntryBuildsTheScreenAndEntryAgainShowsItInNormalState) {
    ASSERT_TRUE(boIdCriado);
    EXPECT_EQ(f->windowTitle(), QStringLiteral("Agendamento de Sala"));
    EXPECT_EQ(f->SubWindow()->size(), QSize(782, 492));
    EXPECT_EQ(f->lblCodTela->text(), QStringLiteral("AGE12100"));
    EXPECT_TRUE(f->netAgendaSala.Connected());
    EXPECT_EQ(f->netAgendaSala.Port, server->port());  // the host's address replaced the design host
    for (QWidget* off : {static_cast<QWidget*>(f->sbtImprimir), static_cast<QWidget*>(f->sbtCadAuto)})
        EXPECT_FALSE(off->isEnabled()) << off->objectName().toStdString();
    EXPECT_FALSE(f->mnuCadAuto->isEnabled());
    EXPECT_EQ(f->mnuManutencao->actions().indexOf(f->mnuCadAuto), 5);
    EXPECT_EQ(f->mnuCadAuto->text(), QStringLiteral("Ca&dastramento Automático"));
    EXPECT_EQ(f->sbtCadAuto->Hint(), QStringLiteral("Cadastro Automatico"));
    EXPECT_EQ(f->tbtCancelada->accessibleName(), QStringLiteral("Reuniões Canceladas"));
    for (auto* button : {f->tbtAgendada, f->tbtCancelada, f->tbtEncerrada})
        EXPECT_EQ(button->parent(), f->tbtFiltro);
    auto* navigator = f->NavigatorLayout();
    EXPECT_EQ(navigator->itemAt(navigator->count() - 1)->widget(), f->tbtFiltro);  // right end of the bar
    EXPECT_EQ(f->depAgenda->Editor()->accessibleName(), QStringLiteral("Agenda dia"));
    EXPECT_EQ(f->cbbSalas->accessibleName(), QStringLiteral("Sala"));
    EXPECT_TRUE(shown().empty());

    for (TWindowState state : {TWindowState::wsMaximized, TWindowState::wsMinimized}) {
        f->SetWindowState(state);
        ASSERT_EQ(f->WindowState(), state);
        CriaAgendaSala();
        EXPECT_EQ(Cli_Age12100::frmAgendaDeSala, f);
        EXPECT_EQ(mdi->subWindowList().size(), 1);
        EXPECT_EQ(f->WindowState(), TWindowState::wsNormal);
        EXPECT_EQ(Showavi::Depth(), 0);
        EXPECT_EQ(age::ui::Screen::Cursor(), age::ui::TCursor::crDefault);
    }
    EXPECT_TRUE(shown().empty()) << "changing the window state is no exit from the empty day field";
}

TEST_F(AgendaScreenTest, EachActivationListsTheRoomsOnceAndKeepsTheRoomOnDisplay) {
    EXPECT_EQ(rooms(), (QStringList{"101", "102", "201"}));
    EXPECT_EQ(f->cbbSalas->currentIndex(), 0);
    EXPECT_EQ(f->edtNmSala->text(), QStringLiteral("Sala 101"));
    f->cbbSalas->setCurrentIndex(2);  // the user's choice names its room at once
    EXPECT_EQ(f->edtNmSala->text(), QStringLiteral("Auditório"));

    // Room 201's bookings on display stay, and so does the room they belong to, with its name.
    seeder->book({"201", december(7), "0800", "0900", "Palestra"});
    f->depAgenda->SetDate(december(7));
    focusOn(f->dbgPadrao);
    ASSERT_EQ(cell(0, "DSAGENDASALA"), QStringLiteral("Palestra"));
    Showavi::ResetCounters();
    switchAwayAndBack();
    switchAwayAndBack();
    EXPECT_EQ(rooms(), (QStringList{"101", "102", "201"}));
    EXPECT_EQ(f->cbbSalas->currentText(), QStringLiteral("201"));
    EXPECT_EQ(f->edtNmSala->text(), QStringLiteral("Auditório"));
    EXPECT_TRUE(f->cdsAgendaSala->Active());
    EXPECT_EQ(Showavi::Activations(), 2);  // one room-name fetch per activation, under the animation

    // So a booking typed into room 201's grid is stored in room 201, and refresh reads room 201 again.
    f->sbtIncluir->click();
    set("DSAGENDASALA", "Ensaio");
    set("HRINIAGESALA", "1000");
    set("HRFINAGESALA", "1100");
    f->sbtGravar->click();
    EXPECT_EQ(seeder->stored("201", december(7), {"DSAGENDASALA"}), (Strings{"Palestra", "Ensaio"}));
    EXPECT_TRUE(seeder->stored("101", december(7)).empty());
    EXPECT_EQ(columnValues("DSAGENDASALA"), (Strings{"Palestra", "Ensaio"}));

    // A room that is gone takes its bookings off the grid; the first room is chosen and named.
    age::test::ServerSetup fewer;
    fewer.rooms = {{"101", "Sala 101"}, {"102", "Sala 102"}};
    age::test::TestServer other(fewer);
    switchServer(other);
    switchAwayAndBack();
    EXPECT_EQ(rooms(), (QStringList{"101", "102"}));
    EXPECT_EQ(f->cbbSalas->currentIndex(), 0);
    EXPECT_EQ(f->edtNmSala->text(), QStringLiteral("Sala 101"));
    EXPECT_FALSE(f->cdsAgendaSala->Active());
    EXPECT_EQ(rows(), 0);
    switchServer(*server);
    EXPECT_TRUE(shown().empty());
}

// The inner window's own menu closes on Ctrl+W too; the screen's "Fechar" must still get the key.
TEST_F(AgendaScreenTest, CtrlWClosesTheScreenAndTheEntryOpensAFreshOne) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_W, Qt::ControlModifier);
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_FALSE(boIdCriado);
    EXPECT_EQ(Cli_Age12100::frmAgendaDeSala, nullptr);
    EXPECT_TRUE(mdi->subWindowList().isEmpty());

    openScreen();
    EXPECT_TRUE(boIdCriado);
    EXPECT_EQ(mdi->subWindowList().size(), 1);
    EXPECT_TRUE(shown().empty());
}

class NoRoomsTest : public AgendaScreenTest {
  protected:
    void SetUp() override {
        startHost({.rooms = {}});
        openScreen();
    }
};

TEST_F(NoRoomsTest, NoRoomsLeaveTheListEmptyAndStillAskTheName) {
    EXPECT_EQ(f->cbbSalas->count(), 0);
    EXPECT_EQ(f->cbbSalas->currentIndex(), -1);
    EXPECT_TRUE(f->edtNmSala->text().isEmpty());
    // The name was asked (with an empty code) and its empty answer loaded.
    EXPECT_TRUE(f->cdsNmSala->Active());
    EXPECT_TRUE(f->cdsNmSala->IsEmpty());
    EXPECT_TRUE(shown().empty());
}

}  // namespace
