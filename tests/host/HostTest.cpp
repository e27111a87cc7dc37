// The host application: its options, the module loaded at run time from its menu, and the executable.
#include <QApplication>
#include <QComboBox>
#include <QImage>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include "GuiTest.h"
#include "host/HostOptions.h"
#include "host/HostWindow.h"
#include "platform/ui/Forms.h"
#include "platform/ui/Ormelin.h"
#include "tests/support/TestServer.h"

namespace {

TEST(HostOptionsTest, CommandLineBeatsEnvironmentWhichBeatsTheConfigFile) {
    QTemporaryDir dir;
    QString config = dir.filePath("age-host.conf");
    {
        QFile file(config);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("server=files.example:9000\nbranch=0003\noperator=carla\n");
    }
    auto fromFile = resolveHostOptions({"age-host", "--config", config}, {});
    ASSERT_TRUE(fromFile.options);
    EXPECT_EQ(fromFile.options->values.serverHost, "files.example");
    EXPECT_EQ(fromFile.options->values.serverPort, 9000);
    EXPECT_EQ(fromFile.options->values.branch, "0003");

    auto fromEnv = resolveHostOptions({"age-host", "--config", config}, {{"AGE_BRANCH", "0002"}, {"AGE_SERVER", "env:7000"}});
    ASSERT_TRUE(fromEnv.options);
    EXPECT_EQ(fromEnv.options->values.branch, "0002");
    EXPECT_EQ(fromEnv.options->values.serverPort, 7000);
    EXPECT_EQ(fromEnv.options->values.operatorCode, "carla");

    auto fromArgs = resolveHostOptions({"age-host", "--config", config, "--branch", "0001", "--server", "10.0.0.5:12100",
                                        "--open", "AGE12100"},
                                       {{"AGE_BRANCH", "0002"}});
    ASSERT_TRUE(fromArgs.options);
    EXPECT_EQ(fromArgs.options->values.branch, "0001");
    EXPECT_EQ(fromArgs.options->values.serverHost, "10.0.0.5");
    EXPECT_EQ(fromArgs.options->open, QStringLiteral("AGE12100"));

    auto bad = resolveHostOptions({"age-host", "--config", config, "--server", "semporta"}, {});
    EXPECT_FALSE(bad.options);
    EXPECT_TRUE(bad.error.contains("semporta"));
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

    static inline age::test::TestServer* server = nullptr;
    HostWindow* host = nullptr;
};

TEST_F(HostWindowTest, MenuLoadsTheModuleAndTheScreenCanBeClosedAndOpenedAgain) {
    QAction* item = host->MenuItem("AGE12100");
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->text(), QStringLiteral("Agendamento de Sala"));
    item->trigger();
    ASSERT_TRUE(host->Loaded("AGE12100"));
    ASSERT_EQ(host->MdiArea()->subWindowList().size(), 1);
    ASSERT_NE(roomList(), nullptr);
    EXPECT_EQ(roomList()->count(), 3);
    EXPECT_EQ(host->OpenScreens("AGE12100"), 1);

    item->trigger();  // the entry again: still one screen
    EXPECT_EQ(host->MdiArea()->subWindowList().size(), 1);

    host->MdiArea()->activeSubWindow()->close();
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(host->MdiArea()->subWindowList().isEmpty());
    EXPECT_EQ(host->OpenScreens("AGE12100"), 0);  // released

    item->trigger();
    ASSERT_EQ(host->MdiArea()->subWindowList().size(), 1);
    ASSERT_NE(roomList(), nullptr);
    EXPECT_EQ(roomList()->count(), 3);
    EXPECT_TRUE(shown().empty());
}

TEST_F(HostWindowTest, FailedConnectionIsReportedWithTheAddressAndTheHostGoesOn) {
    Ormelin::SetHostValues({"0001", "ana", "127.0.0.1", 1});
    host->MenuItem("AGE12100")->trigger();
    auto errors = errorsShown();
    ASSERT_EQ(errors.size(), 1u);  // the silent failed connect, then the first call's failure
    EXPECT_NE(errors.front().find("127.0.0.1:1"), std::string::npos) << errors.front();
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
