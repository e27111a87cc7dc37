// The dialog as the host runs it: the module library loaded by age-host's window, the agenda screen's
// command button, the modal dialog placed over the host, Enter and Esc, and the module kept while the
// agenda screen lives.
#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QPointer>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include "GuiTest.h"
#include "host/HostWindow.h"
#include "platform/ui/DateEditPlus.h"
#include "platform/ui/Forms.h"
#include "platform/ui/Ormelin.h"
#include "tests/support/TestServer.h"

namespace {

class HostDialogTest : public GuiTest {
  protected:
    void SetUp() override {
        GuiTest::SetUp();
        server = std::make_unique<age::test::TestServer>();
        Ormelin::SetHostValues({"0001", "ana", server->host(), server->port()});
        host = new HostWindow(AGE_MODULES_DIR);
        host->move(60, 40);
        host->show();
        QApplication::setActiveWindow(host);
        ASSERT_TRUE(QTest::qWaitForWindowActive(host));
        ASSERT_TRUE(host->OpenScreen("AGE12100"));
        shown();
    }
    void TearDown() override {
        delete host;
        server.reset();
        GuiTest::TearDown();
    }
    QWidget* agendaScreen() const {
        auto subs = host->MdiArea()->subWindowList();
        return subs.isEmpty() ? nullptr : subs.front()->widget();
    }
    // Clicks the agenda screen's automatic booking button and runs `inside` with the modal dialog. The
    // button's availability follows the bookings on the screen; here it is simply made available.
    void openDialog(const std::function<void(QDialog&)>& inside) {
        auto* button = agendaScreen()->findChild<QToolButton*>("sbtCadAuto");
        ASSERT_NE(button, nullptr);
        button->setEnabled(true);
        bool reached = false;
        QObject scope;
        QTimer::singleShot(0, &scope, [&] {
            QPointer<QDialog> dialog(qobject_cast<QDialog*>(QApplication::activeModalWidget()));
            if (!dialog) return;
            reached = true;
            EXPECT_TRUE(QTest::qWaitFor([&] { return dialog && QApplication::activeWindow() == dialog; }));
            inside(*dialog);
            if (dialog && dialog->isVisible()) dialog->close();
        });
        button->click();
        QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        EXPECT_TRUE(reached) << "the dialog did not open";
    }

    std::unique_ptr<age::test::TestServer> server;
    HostWindow* host = nullptr;
};

TEST_F(HostDialogTest, CommandOpensTheModalDialogOverTheHostAndClosingItKeepsTheModule) {
    for (int opening = 0; opening < 2; ++opening) {
        openDialog([&](QDialog& d) {
            EXPECT_EQ(d.objectName(), QStringLiteral("frmCadAutoSala"));
            EXPECT_TRUE(d.isModal());
            // Over the centre of the host's window, to the pixel that halving may lose.
            const QPoint offset = d.frameGeometry().center() - host->geometry().center();
            EXPECT_LE(std::abs(offset.x()), 1);
            EXPECT_LE(std::abs(offset.y()), 1);
            auto* monday = d.findChild<QCheckBox*>("chbSeg");
            ASSERT_NE(monday, nullptr);
            EXPECT_TRUE(monday->isEnabled());
            EXPECT_FALSE(monday->isChecked());

            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
            EXPECT_EQ(errorsShown(), std::vector<std::string>{"Nenhum dia da semana foi informado."});
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
            EXPECT_FALSE(d.isVisible());
        });
        EXPECT_EQ(host->OpenScreens("AGE12100"), 1);
        EXPECT_TRUE(host->Loaded("AGE12100"));
        EXPECT_TRUE(agendaScreen()->isVisible());
    }
    EXPECT_TRUE(shown().empty());

    // The agenda screen going is what releases the module.
    host->MdiArea()->subWindowList().front()->close();
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(host->OpenScreens("AGE12100"), 0);
}

}  // namespace
