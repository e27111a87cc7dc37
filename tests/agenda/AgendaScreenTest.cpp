// The agenda screen's entry, lifecycle and activation against a real age-server.
#include <QApplication>
#include <QBoxLayout>
#include <QMainWindow>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QTest>

#include "GuiTest.h"
#include "agenda/Cli_Age12100.h"
#include "platform/ui/Consiste.h"
#include "platform/ui/Ormelin.h"
#include "platform/ui/Showavi.h"
#include "tests/support/TestServer.h"

using Cli_Age12100::boIdCriado;
using Cli_Age12100::CriaAgendaSala;
using Cli_Age12100::frmAgendaDeSala;

namespace {

// A host-like main window with an MDI area, the host values pointing at the given server.
class AgendaScreenTest : public GuiTest {
protected:
    static void SetUpTestSuite() { server = new age::test::TestServer(); }
    static void TearDownTestSuite() {
        delete server;
        server = nullptr;
    }

    void SetUp() override {
        GuiTest::SetUp();
        useServer(server->host(), server->port());
        window = new QMainWindow;
        mdi = new QMdiArea(window);
        window->setCentralWidget(mdi);
        window->resize(1100, 700);
        Application::SetMainWindow(window, mdi);
        window->show();
        QApplication::setActiveWindow(window);
        ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    }
    void TearDown() override {
        delete window;  // closes the screen with it
        Application::SetMainWindow(nullptr, nullptr);
        EXPECT_FALSE(boIdCriado) << "the screen's unit state outlived the screen";
        GuiTest::TearDown();
    }
    static void useServer(const std::string& host, int port) {
        Ormelin::SetHostValues({"0001", "ana", host, port});
    }
    QStringList rooms() const {
        QStringList items;
        for (int i = 0; i < frmAgendaDeSala->cbbSalas->count(); ++i) items << frmAgendaDeSala->cbbSalas->itemText(i);
        return items;
    }
    // Another screen of the host becomes active, then the agenda again.
    void switchAwayAndBack() {
        if (!other) {
            other = mdi->addSubWindow(new QWidget);
            other->show();
        }
        mdi->setActiveSubWindow(other);
        mdi->setActiveSubWindow(frmAgendaDeSala->SubWindow());
        QApplication::processEvents();
    }

    static inline age::test::TestServer* server = nullptr;
    QMainWindow* window = nullptr;
    QMdiArea* mdi = nullptr;
    QMdiSubWindow* other = nullptr;
};

TEST_F(AgendaScreenTest, FirstEntryBuildsTheScreenAsDesignedAndConnected) {
    CriaAgendaSala();
    ASSERT_TRUE(boIdCriado);
    ASSERT_NE(frmAgendaDeSala, nullptr);
    auto& f = *frmAgendaDeSala;
    EXPECT_EQ(f.windowTitle(), QStringLiteral("Agendamento de Sala"));
    EXPECT_EQ(f.SubWindow()->size(), QSize(782, 492));
    EXPECT_EQ(f.lblCodTela->text(), QStringLiteral("AGE12100"));
    EXPECT_EQ(f.netAgendaSala.ServerName, "AGE12100.rdmAgendaSala");
    EXPECT_TRUE(f.netAgendaSala.Connected());
    // The host's address replaced the design host before the connection opened.
    EXPECT_EQ(f.netAgendaSala.Port, server->port());
    EXPECT_FALSE(f.sbtImprimir->isEnabled());
    EXPECT_FALSE(f.sbtCadAuto->isEnabled());
    EXPECT_FALSE(f.mnuCadAuto->isEnabled());
    EXPECT_EQ(f.mnuManutencao->actions().indexOf(f.mnuCadAuto), 5);
    EXPECT_EQ(f.mnuCadAuto->text(), QStringLiteral("Ca&dastramento Automático"));
    EXPECT_EQ(f.sbtCadAuto->Hint(), QStringLiteral("Cadastro Automatico"));
    EXPECT_TRUE(f.tbtAgendada->isChecked());
    EXPECT_FALSE(f.tbtCancelada->isChecked());
    EXPECT_FALSE(f.tbtEncerrada->isChecked());
    EXPECT_EQ(f.tbtCancelada->accessibleName(), QStringLiteral("Reuniões Canceladas"));
    auto* navigator = f.NavigatorLayout();
    EXPECT_EQ(navigator->itemAt(navigator->count() - 1)->widget(), f.tbtFiltro);  // right end of the bar
    EXPECT_EQ(f.dbgPadrao->model()->columnCount(), 9);
    EXPECT_EQ(f.dbgPadrao->model()->headerData(4, Qt::Horizontal).toString(), QStringLiteral("Responsável"));
    EXPECT_FALSE(f.cdsAgendaSala->Active());
    EXPECT_TRUE(f.depAgenda->isAncestorOf(QApplication::focusWidget()));
    EXPECT_EQ(f.depAgenda->accessibleName(), QStringLiteral("Agenda dia"));
    EXPECT_EQ(f.depAgenda->Editor()->accessibleName(), QStringLiteral("Agenda dia"));
    EXPECT_EQ(f.cbbSalas->accessibleName(), QStringLiteral("Sala"));
    for (auto* button : {f.tbtAgendada, f.tbtCancelada, f.tbtEncerrada}) EXPECT_EQ(button->parent(), f.tbtFiltro);
    EXPECT_EQ(Showavi::Depth(), 0);
    EXPECT_EQ(age::ui::Screen::Cursor(), age::ui::TCursor::crDefault);
    EXPECT_TRUE(shown().empty());
}

TEST_F(AgendaScreenTest, EntryCalledAgainShowsTheSameScreenInNormalState) {
    CriaAgendaSala();
    TfrmAgendaDeSala* first = frmAgendaDeSala;
    for (TWindowState state : {TWindowState::wsMaximized, TWindowState::wsMinimized}) {
        first->SetWindowState(state);
        ASSERT_EQ(first->WindowState(), state);
        CriaAgendaSala();
        EXPECT_EQ(frmAgendaDeSala, first);
        EXPECT_EQ(mdi->subWindowList().size(), 1);
        EXPECT_EQ(first->WindowState(), TWindowState::wsNormal);
        EXPECT_EQ(Showavi::Depth(), 0);
        EXPECT_EQ(age::ui::Screen::Cursor(), age::ui::TCursor::crDefault);
    }
    EXPECT_TRUE(shown().empty()) << "changing the window state is no exit from the empty day field";
}

TEST_F(AgendaScreenTest, EachActivationListsTheRoomsOnceAndNamesTheFirst) {
    CriaAgendaSala();
    auto& f = *frmAgendaDeSala;
    EXPECT_EQ(rooms(), (QStringList{"101", "102", "201"}));
    EXPECT_EQ(f.cbbSalas->currentIndex(), 0);
    EXPECT_EQ(f.edtNmSala->text(), QStringLiteral("Sala 101"));

    // The user's choice names its room at once.
    f.cbbSalas->setCurrentIndex(2);
    EXPECT_EQ(f.edtNmSala->text(), QStringLiteral("Auditório"));

    // Bookings loaded before stay on display across activations.
    f.cdsAgendaSala->LoadFromPacket(Consiste::CheckResultServ(
        f.netAgendaSala.AppServer().Call("GetAgendaSala", {"201", age::makeDate(2026, 12, 7)}), true, 0));
    Showavi::ResetCounters();
    switchAwayAndBack();
    switchAwayAndBack();
    EXPECT_EQ(rooms(), (QStringList{"101", "102", "201"}));
    EXPECT_EQ(f.cbbSalas->currentIndex(), 0);
    EXPECT_EQ(f.edtNmSala->text(), QStringLiteral("Sala 101"));
    EXPECT_TRUE(f.cdsAgendaSala->Active());
    EXPECT_EQ(Showavi::Activations(), 2);  // one room-name fetch per activation, under the animation
    EXPECT_TRUE(shown().empty());
}

TEST_F(AgendaScreenTest, ClosedScreenIsFreedAndTheEntryCreatesAFreshOne) {
    CriaAgendaSala();
    QPointer<TfrmAgendaDeSala> first(frmAgendaDeSala);
    first->sbtFechar->click();
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    ASSERT_TRUE(first.isNull());
    EXPECT_FALSE(boIdCriado);
    EXPECT_EQ(frmAgendaDeSala, nullptr);

    CriaAgendaSala();
    ASSERT_NE(frmAgendaDeSala, nullptr);
    EXPECT_EQ(mdi->subWindowList().size(), 1);
    EXPECT_EQ(rooms(), (QStringList{"101", "102", "201"}));
}

TEST_F(AgendaScreenTest, FailedConnectionNamesTheServerAndLeavesEverythingRunning) {
    age::test::ServerSetup setup;
    setup.start = false;
    age::test::TestServer stopped(setup);
    stopped.start();
    int port = stopped.port();
    stopped.stop();
    useServer("127.0.0.1", port);

    EXPECT_NO_THROW(CriaAgendaSala());
    // One report: the failed connect at creation is silent, the first call's failure is shown.
    EXPECT_EQ(errorsShown(), std::vector<std::string>{"Não foi possível conectar ao servidor de aplicação em "
                                                      "127.0.0.1:" + std::to_string(port) + ": conexão recusada."});
    EXPECT_EQ(Showavi::Depth(), 0);
    EXPECT_EQ(age::ui::Screen::Cursor(), age::ui::TCursor::crDefault);
    ASSERT_NE(frmAgendaDeSala, nullptr);
    EXPECT_EQ(frmAgendaDeSala->cbbSalas->count(), 0);
}

class EmptyServerTest : public AgendaScreenTest {
protected:
    static void SetUpTestSuite() {
        age::test::ServerSetup setup;
        setup.rooms.clear();
        server = new age::test::TestServer(setup);
    }
};

TEST_F(EmptyServerTest, NoRoomsLeaveTheListEmptyAndStillAskTheName) {
    CriaAgendaSala();
    auto& f = *frmAgendaDeSala;
    EXPECT_EQ(f.cbbSalas->count(), 0);
    EXPECT_EQ(f.cbbSalas->currentIndex(), -1);
    EXPECT_TRUE(f.cbbSalas->currentText().isEmpty());
    EXPECT_TRUE(f.edtNmSala->text().isEmpty());
    // The name was asked (with an empty code) and its empty answer loaded.
    EXPECT_TRUE(f.cdsNmSala->Active());
    EXPECT_TRUE(f.cdsNmSala->IsEmpty());
    EXPECT_TRUE(shown().empty());
}

}  // namespace
