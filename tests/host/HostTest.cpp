// The host application: its options, the module loaded at run time from its menu (with the automatic
// booking dialog opened from the agenda screen's command), and the executable.
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QImage>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

#include "GuiTest.h"
#include "host/HostOptions.h"
#include "host/HostWindow.h"
#include "platform/ui/Forms.h"
#include "platform/ui/Ormelin.h"
#include "platform/ui/Showavi.h"
#include "tests/agenda/ModalDialog.h"
#include "tests/support/TestServer.h"

namespace {

TEST(HostOptionsTest, CommandLineBeatsEnvironmentWhichBeatsTheConfigFile) {
    QTemporaryDir dir;
    const QString config = dir.filePath("age-host.conf");
    QFile file(config);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("server=files.example:9000\nbranch=0003\noperator=carla\n");
    file.close();
    // The resolved options as "host:port branch operator screen", or the error.
    auto resolved = [&](const QStringList& args, const std::map<QString, QString>& env) {
        auto result = resolveHostOptions(QStringList{"age-host", "--config", config} + args, env);
        if (!result.options) return "error: " + result.error.toStdString();
        const auto& v = result.options->values;
        return v.serverHost + ":" + std::to_string(v.serverPort) + " " + v.branch + " " + v.operatorCode +
               " " + result.options->open.toStdString();
    };
    EXPECT_EQ(resolved({}, {}), "files.example:9000 0003 carla ");
    EXPECT_EQ(resolved({}, {{"AGE_BRANCH", "0002"}, {"AGE_SERVER", "env:7000"}}), "env:7000 0002 carla ");
    EXPECT_EQ(resolved({"--branch", "0001", "--server", "10.0.0.5:12100", "--open", "AGE12100"},
                       {{"AGE_BRANCH", "0002"}}),
              "10.0.0.5:12100 0001 carla AGE12100");
    const std::string bad = resolved({"--server", "semporta"}, {});
    EXPECT_TRUE(bad.starts_with("error: ") && bad.find("semporta") != std::string::npos) << bad;
}

TEST(HostOptionsTest, TheSiteFileFillsWhatTheUsersFileLeavesOut) {
    QTemporaryDir dir;
    auto write = [&](const QString& name, const QByteArray& text) {
        QFile file(dir.filePath(name));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text);
        return file.fileName();
    };
    const QString site =
        write("site.conf", "; the office's defaults\nserver=agenda.example:12100\nbranch=0001\n");
    const QString user = write("user.conf", "branch=0007\noperator=bruno\n");
    auto resolved = [&](const QString& userFile) {
        auto result = resolveHostOptions(QStringList{"age-host", "--config", userFile}, {}, site);
        const auto& v = result.options.value().values;
        return v.serverHost + ":" + std::to_string(v.serverPort) + " " + v.branch + " " + v.operatorCode;
    };
    EXPECT_EQ(resolved(user), "agenda.example:12100 0007 bruno");
    EXPECT_EQ(resolved(dir.filePath("absent.conf")), "agenda.example:12100 0001 ");
}

class HostWindowTest : public GuiTest {
  protected:
    static void SetUpTestSuite() { server = new age::test::TestServer(); }
    static void TearDownTestSuite() {
        delete server;
        server = nullptr;
    }
    void SetUp() override {
        GuiTest::SetUp();
        Ormelin::SetHostValues({"0001", "ana", server->host(), server->port()});
        host = new HostWindow(AGE_MODULES_DIR);
        host->show();
        QApplication::setActiveWindow(host);
        ASSERT_TRUE(QTest::qWaitForWindowActive(host));
    }
    void TearDown() override {
        delete host;
        GuiTest::TearDown();
    }
    QComboBox* roomList() const {
        auto* sub = host->MdiArea()->activeSubWindow();
        return sub ? sub->widget()->findChild<QComboBox*>("cbbSalas") : nullptr;
    }
    // Clicks the agenda screen's automatic booking button and runs `inside` with the modal dialog. The
    // button's availability follows the bookings on the screen; here it is simply made available.
    void openDialog(const std::function<void(QDialog&)>& inside) {
        auto* button = host->MdiArea()->activeSubWindow()->widget()->findChild<QToolButton*>("sbtCadAuto");
        ASSERT_NE(button, nullptr);
        button->setEnabled(true);
        withModal<QDialog>([&] { button->click(); }, inside);
    }

    static inline age::test::TestServer* server = nullptr;
    HostWindow* host = nullptr;
};

TEST_F(HostWindowTest, MenuLoadsTheModuleWhichItsScreenKeepsUntilItCloses) {
    QAction* item = host->MenuItem("AGE12100");
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->text(), QStringLiteral("Agendamento de Sala"));
    item->trigger();
    ASSERT_TRUE(host->Loaded("AGE12100"));
    ASSERT_NE(roomList(), nullptr);
    EXPECT_EQ(roomList()->count(), 3);
    item->trigger();  // the entry again: still one screen
    EXPECT_EQ(host->MdiArea()->subWindowList().size(), 1);

    // The automatic booking dialog, modal over the host; closing it keeps the module, so it opens again.
    for (int opening = 0; opening < 2; ++opening) {
        openDialog([&](QDialog& d) {
            EXPECT_EQ(d.objectName(), QStringLiteral("frmCadAutoSala"));
            EXPECT_TRUE(d.isModal());
            // Over the centre of the host's window, to the pixel that halving may lose.
            const QPoint offset = d.frameGeometry().center() - host->geometry().center();
            EXPECT_LE(std::abs(offset.x()), 1);
            EXPECT_LE(std::abs(offset.y()), 1);
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
            EXPECT_FALSE(d.isVisible());
        });
        EXPECT_EQ(host->OpenScreens("AGE12100"), 1);
        EXPECT_TRUE(host->Loaded("AGE12100"));
    }

    host->MdiArea()->activeSubWindow()->close();  // the agenda screen going releases the module
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(host->MdiArea()->subWindowList().isEmpty());
    EXPECT_EQ(host->OpenScreens("AGE12100"), 0);

    item->trigger();
    ASSERT_EQ(host->MdiArea()->subWindowList().size(), 1);
    ASSERT_NE(roomList(), nullptr);
    EXPECT_EQ(roomList()->count(), 3);
    EXPECT_TRUE(shown().empty());
}

TEST_F(HostWindowTest, FailedConnectionIsReportedOnceWithTheAddressAndTheHostGoesOn) {
    Ormelin::SetHostValues({"0001", "ana", "127.0.0.1", 1});
    EXPECT_NO_THROW(host->MenuItem("AGE12100")->trigger());
    // The failed connect at creation is silent, the first call's failure is the one report.
    EXPECT_EQ(errorsShown(), std::vector<std::string>{"Não foi possível conectar ao servidor de aplicação em "
                                                      "127.0.0.1:1: conexão recusada."});
    EXPECT_EQ(Showavi::Depth(), 0);
    EXPECT_EQ(age::ui::Screen::Cursor(), age::ui::TCursor::crDefault);
    ASSERT_NE(roomList(), nullptr);
    EXPECT_EQ(roomList()->count(), 0);
    EXPECT_TRUE(host->isVisible());

    // Pointing the host at the running server, the screen works again once reopened.
    host->MdiArea()->closeAllSubWindows();
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    Ormelin::SetHostValues({"0001", "ana", server->host(), server->port()});
    host->MenuItem("AGE12100")->trigger();
    ASSERT_NE(roomList(), nullptr);
    EXPECT_EQ(roomList()->count(), 3);
}

TEST_F(HostWindowTest, MissingModuleIsAClearError) {
    {
        HostWindow elsewhere("/nonexistent");
        EXPECT_FALSE(elsewhere.OpenScreen("AGE12100"));
    }
    auto errors = errorsShown();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("PKG_AGE12100"), std::string::npos);
}

TEST_F(HostWindowTest, ExecutableOpensTheScreenAndSavesAPicture) {
    QTemporaryDir dir;
    QString picture = dir.filePath("screen.png");
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    process.setProcessEnvironment(env);
    process.start(AGE_HOST_BINARY, {"--server", QString::fromStdString(server->address()), "--branch", "0001",
                                    "--operator", "ana", "--open", "AGE12100", "--screenshot", picture});
    ASSERT_TRUE(process.waitForFinished(60000));
    EXPECT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();
    QImage image(picture);
    ASSERT_FALSE(image.isNull());
    EXPECT_GE(image.width(), 782);
    EXPECT_GE(image.height(), 492);
}

}  // namespace
