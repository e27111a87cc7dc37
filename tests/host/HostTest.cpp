// The host application: its options, the module loaded at run time from its menu (with the automatic
// booking dialog opened from the agenda screen's command), and the executable.
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

#include "GuiTest.h"
#include "host/HostOptions.h"
#include "host/HostSignIn.h"
#include "host/HostWindow.h"
#include "host/SignInDialog.h"
#include "platform/ui/Forms.h"
#include "platform/ui/Ormelin.h"
#include "platform/ui/Showavi.h"
#include "tests/agenda/ModalDialog.h"
#include "tests/support/SignInPeer.h"
#include "tests/support/TestCertificate.h"
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

TEST(HostOptionsTest, TlsServerItsAuthorityAndThePasswordOnlyFromTheEnvironment) {
    QTemporaryDir dir;
    const QString config = dir.filePath("age-host.conf");
    QFile file(config);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("server=tls://agenda.example:12443\ntls-ca=/etc/age/ca.pem\npassword=nunca\n");
    file.close();
    auto resolve = [&](const QStringList& args, const std::map<QString, QString>& env = {}) {
        return resolveHostOptions(QStringList{"age-host", "--config", config} + args, env);
    };
    auto fromFile = resolve({});
    ASSERT_TRUE(fromFile.options) << fromFile.error.toStdString();
    EXPECT_TRUE(fromFile.options->tls);
    EXPECT_EQ(fromFile.options->values.serverHost, "agenda.example");
    EXPECT_EQ(fromFile.options->values.serverPort, 12443);
    EXPECT_EQ(fromFile.options->tlsCa, QStringLiteral("/etc/age/ca.pem"));
    EXPECT_TRUE(fromFile.options->password.isEmpty());  // never from the file
    EXPECT_FALSE(fromFile.options->insecurePassword);

    auto given = resolve({"--server", "[::1]:9000", "--tls-ca", "/tmp/ca.pem", "--insecure-password"},
                         {{"AGE_PASSWORD", "segredo"}});
    ASSERT_TRUE(given.options) << given.error.toStdString();
    EXPECT_FALSE(given.options->tls);
    EXPECT_EQ(given.options->values.serverHost, "::1");
    EXPECT_EQ(given.options->tlsCa, QStringLiteral("/tmp/ca.pem"));
    EXPECT_TRUE(given.options->insecurePassword);
    EXPECT_EQ(given.options->password, QStringLiteral("segredo"));

    EXPECT_FALSE(resolve({"--password", "segredo"}).options);  // no such option
    EXPECT_FALSE(resolve({"--server", "tls://semporta"}).options);
    EXPECT_FALSE(resolve({"--server", "http://x:80"}).options);
}

// The sign-in dialog as a user meets it, and the host's sign-in at start against a stand-in server:
// operator ana, password "certa".
class SignInDialogTest : public GuiTest {
  protected:
    void SetUp() override {
        GuiTest::SetUp();
        TNetConnection::Session.reset();
        Ormelin::SetHostValues({"0001", "ana", "127.0.0.1", peer.port()});
    }
    void TearDown() override {
        removeSignInHooks();
        TNetConnection::Session.reset();
        TNetConnection::DefaultTransport = {};
        GuiTest::TearDown();
    }
    static QLineEdit* edit(QDialog& d, const char* name) { return d.findChild<QLineEdit*>(name); }
    static QPushButton* enter(QDialog& d) { return d.findChild<QPushButton*>("btnEntrar"); }

    age::test::SignInPeer peer{[](int, const nlohmann::json& request) -> std::optional<std::string> {
        const auto& params = request["params"];
        if (request["method"] != "Session.Login") return age::test::SignInPeer::error(request, -32601, "?");
        if (params[0] == "ana" && params[1] == "certa")
            return age::test::SignInPeer::session(request, "ana", "Ana Souza", "t1");
        return age::test::SignInPeer::refusal(request);
    }};
};

TEST_F(SignInDialogTest, TheThreeFieldsEnterOnlyWhenAllAreFilledAndAgainOnlyThePasswordCanChange) {
    SignInDialog first({"ana", "0001", {}, false, {}});
    EXPECT_EQ(edit(first, "edtOperador")->accessibleName(), QStringLiteral("Operador"));
    EXPECT_EQ(edit(first, "edtSenha")->accessibleName(), QStringLiteral("Senha"));
    EXPECT_EQ(edit(first, "edtFilial")->accessibleName(), QStringLiteral("Filial"));
    EXPECT_EQ(edit(first, "edtSenha")->echoMode(), QLineEdit::Password);
    EXPECT_FALSE(first.findChild<QLabel*>("lblMensagem")->isVisibleTo(&first));
    EXPECT_FALSE(enter(first)->isEnabled());
    edit(first, "edtSenha")->setText("certa");
    EXPECT_TRUE(enter(first)->isEnabled());
    edit(first, "edtFilial")->clear();
    EXPECT_FALSE(enter(first)->isEnabled());
    EXPECT_TRUE(edit(first, "edtOperador")->isEnabled());

    SignInDialog again({"ana", "0001", "Sua sessão terminou.", true, {}});
    EXPECT_FALSE(edit(again, "edtOperador")->isEnabled());
    EXPECT_FALSE(edit(again, "edtFilial")->isEnabled());
    EXPECT_TRUE(edit(again, "edtSenha")->isEnabled());
    EXPECT_EQ(again.findChild<QLabel*>("lblMensagem")->text(), QStringLiteral("Sua sessão terminou."));
    EXPECT_TRUE(again.findChild<QLabel*>("lblMensagem")->isVisibleTo(&again));
}

TEST_F(SignInDialogTest, AWrongPasswordFromTheEnvironmentBringsTheDialogWithTheServersTextThenTheOperatorIsIn) {
    HostOptions options;
    options.password = "errada";
    TNetConnection net;
    StartSignIn result;
    withModal<SignInDialog>([&] { result = signInAtStart(net, options, true); },
                            [&](SignInDialog& d) {
                                EXPECT_EQ(d.findChild<QLabel*>("lblMensagem")->text(),
                                          QStringLiteral("Operador ou senha inválidos."));
                                EXPECT_EQ(edit(d, "edtOperador")->text(), QStringLiteral("ana"));
                                EXPECT_TRUE(edit(d, "edtSenha")->text().isEmpty());
                                QTest::keyClicks(edit(d, "edtSenha"), "certa");
                                edit(d, "edtFilial")->setText("0002");
                                enter(d)->click();
                            });
    EXPECT_TRUE(result.signedIn) << result.error.toStdString();
    EXPECT_EQ(Ormelin::Operador(), "ana");
    EXPECT_EQ(Ormelin::FiliProc(), "0002");
    ASSERT_TRUE(TNetConnection::Session);
    EXPECT_EQ(TNetConnection::Session->Name, "Ana Souza");
    EXPECT_EQ(peer.methods(), (std::vector<std::string>{"Session.Login", "Session.Login"}));
}

TEST_F(SignInDialogTest, AnEndedSessionBringsTheDialogBackForTheSameOperatorAndBranch) {
    HostWindow window(AGE_MODULES_DIR);
    window.show();
    installSignInHooks(window, true);
    TNetConnection net;  // the connection whose session ended: the dialog names where the password goes
    net.Host = "127.0.0.1";
    net.Port = peer.port();
    std::optional<TCredentials> given;
    withModal<SignInDialog>([&] { given = TNetConnection::AskSignIn("Sua sessão terminou.", net); },
                            [&](SignInDialog& d) {
                                EXPECT_EQ(d.parentWidget(), &window);
                                auto* server = d.findChild<QLabel*>("lblServidor");
                                EXPECT_TRUE(server) << "the dialog does not name the server";
                                if (server) {
                                    EXPECT_EQ(server->text(), QStringLiteral("127.0.0.1:%1 (sem criptografia)")
                                                                  .arg(peer.port()));
                                }
                                EXPECT_EQ(d.findChild<QLabel*>("lblMensagem")->text(),
                                          QStringLiteral("Sua sessão terminou."));
                                EXPECT_EQ(edit(d, "edtOperador")->text(), QStringLiteral("ana"));
                                EXPECT_FALSE(edit(d, "edtOperador")->isEnabled());
                                EXPECT_EQ(edit(d, "edtFilial")->text(), QStringLiteral("0001"));
                                QTest::keyClicks(edit(d, "edtSenha"), "certa");
                                QTest::keyClick(edit(d, "edtSenha"), Qt::Key_Return);
                            });
    ASSERT_TRUE(given);
    EXPECT_EQ(given->Operator, "ana");
    EXPECT_EQ(given->Password, "certa");

    installSignInHooks(window, false);  // --screenshot: nobody to ask
    EXPECT_FALSE(TNetConnection::AskSignIn("Sua sessão terminou.", net));
}

TEST_F(SignInDialogTest, TheStatusBarNamesTheSignedInOperatorAndFollowsAnotherSignIn) {
    TNetConnection net;
    net.Port = peer.port();
    net.SignIn({"ana", "certa"});
    HostWindow window(AGE_MODULES_DIR);
    installSignInHooks(window, true);
    auto* label = window.findChild<QLabel*>("lblOperador");
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->text(), QStringLiteral("Operador: Ana Souza"));
    EXPECT_EQ(label->accessibleName(), label->text());
    TNetConnection::SignedIn({"bruno", "", "t9", ""});  // a server that sends no name: the code
    EXPECT_EQ(label->text(), QStringLiteral("Operador: bruno"));

    // Over TLS the server's address says so.
    auto servers = [](const QWidget& w) {
        QStringList texts;
        for (auto* l : w.findChildren<QLabel*>())
            if (l->text().startsWith(QStringLiteral("Servidor: "))) texts << l->text();
        return texts;
    };
    EXPECT_EQ(servers(window), QStringList{QStringLiteral("Servidor: 127.0.0.1:%1").arg(peer.port())});
    TNetConnection::DefaultTransport.Tls = true;
    HostWindow secured(AGE_MODULES_DIR);
    TNetConnection::DefaultTransport = {};
    EXPECT_EQ(servers(secured), QStringList{QStringLiteral("Servidor: tls://127.0.0.1:%1").arg(peer.port())});
}

TEST_F(SignInDialogTest, CancellingEndsWithoutAnErrorAndWithoutAWindowARefusalIsTheAnswer) {
    HostOptions options;
    TNetConnection net;
    StartSignIn result{true, {}};
    withModal<SignInDialog>([&] { result = signInAtStart(net, options, true); },
                            [&](SignInDialog& d) { d.findChild<QPushButton*>("btnCancelar")->click(); });
    EXPECT_FALSE(result.signedIn);
    EXPECT_TRUE(result.error.isEmpty());
    EXPECT_TRUE(peer.methods().empty());

    options.password = "errada";
    result = signInAtStart(net, options, false);
    EXPECT_FALSE(result.signedIn);
    EXPECT_EQ(result.error, QStringLiteral("Operador ou senha inválidos."));
    EXPECT_FALSE(TNetConnection::Session);
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
    env.insert("AGE_PASSWORD", "demo");  // with --screenshot nobody is there to type it
    process.setProcessEnvironment(env);
    process.start(AGE_HOST_BINARY, {"--server", QString::fromStdString(server->address()), "--branch", "0001",
                                    "--operator", "ana", "--open", "AGE12100", "--screenshot", picture});
    ASSERT_TRUE(process.waitForFinished(60000));
    EXPECT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();
    QImage image(picture);
    ASSERT_FALSE(image.isNull());
    EXPECT_GE(image.width(), 782);
    EXPECT_GE(image.height(), 492);

    // Without a password in the environment there is nobody to ask it.
    env.remove("AGE_PASSWORD");
    process.setProcessEnvironment(env);
    process.start(AGE_HOST_BINARY, {"--server", QString::fromStdString(server->address()), "--branch", "0001",
                                    "--operator", "ana", "--screenshot", picture});
    ASSERT_TRUE(process.waitForFinished(60000));
    EXPECT_EQ(process.exitCode(), 1);
    EXPECT_NE(process.readAllStandardError().indexOf("AGE_PASSWORD"), -1);
}

// The real host against a real server that asks passwords: a wrong one opens nothing, the right one opens the
// screen signed in.
TEST(HostExecutableTest, AgainstAServerAskingPasswordsOnlyTheRightOneOpensTheScreen) {
    age::test::TestServer server({.auth = "password",
                                  .passwords = {{"ana", "senha-da-ana"}},
                                  .serveArgs = {"--login-delay-ms", "1"}});
    QTemporaryDir dir;
    const QString picture = dir.filePath("screen.png");
    auto run = [&](const QString& password) {
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("AGE_PASSWORD", password);
        process.setProcessEnvironment(env);
        process.start(AGE_HOST_BINARY, {"--server", QString::fromStdString(server.address()), "--branch", "0001",
                                        "--operator", "ana", "--open", "AGE12100", "--screenshot", picture});
        EXPECT_TRUE(process.waitForFinished(60000));
        return std::pair{process.exitCode(), QString::fromUtf8(process.readAllStandardError())};
    };
    auto [refusedCode, refusedText] = run("errada-123");
    EXPECT_NE(refusedCode, 0);
    EXPECT_TRUE(refusedText.contains(QStringLiteral("Operador ou senha inválidos."))) << refusedText.toStdString();
    EXPECT_FALSE(QFile::exists(picture));

    auto [code, text] = run("senha-da-ana");
    EXPECT_EQ(code, 0) << text.toStdString();
    EXPECT_FALSE(QImage(picture).isNull());
}

TEST(HostExecutableTest, OverTlsTheServersCertificateMustComeFromTheGivenAuthority) {
    QTemporaryDir dir;
    auto certificate = age::test::makeTestCertificate(dir.path().toStdString(), "server", "DNS:localhost");
    age::test::ServerSetup setup;
    setup.serveArgs = age::test::tlsServeArgs(certificate);
    age::test::TestServer server(setup);
    const QString address = QStringLiteral("tls://localhost:%1").arg(server.tlsPort());
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("AGE_PASSWORD", "demo");
    process.setProcessEnvironment(env);
    const QStringList common{"--branch", "0001", "--operator", "ana", "--open", "AGE12100", "--screenshot",
                             dir.filePath("screen.png")};

    process.start(AGE_HOST_BINARY, QStringList{"--server", address, "--tls-ca",
                                               QString::fromStdString(certificate.certificate.string())} + common);
    ASSERT_TRUE(process.waitForFinished(60000));
    QString errors = QString::fromUtf8(process.readAllStandardError());
    EXPECT_EQ(process.exitCode(), 0) << errors.toStdString();
    EXPECT_FALSE(errors.contains(QStringLiteral("age-host:"))) << errors.toStdString();  // no box came up
    EXPECT_FALSE(QImage(dir.filePath("screen.png")).isNull());

    process.start(AGE_HOST_BINARY, QStringList{"--server", address} + common);  // the system's store only
    ASSERT_TRUE(process.waitForFinished(60000));
    errors = QString::fromUtf8(process.readAllStandardError());
    EXPECT_EQ(process.exitCode(), 1);
    EXPECT_TRUE(errors.contains(QStringLiteral("o certificado do servidor não foi aceito"))) << errors.toStdString();
}

}  // namespace
