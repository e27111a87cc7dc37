// age-host: the host application. Reads its values (server, branch, operator), signs the operator in, shows
// the main window and opens modules from its menu, or at start with --open; --screenshot saves a picture and
// exits. The session ends on the server when the host exits.
#include <QApplication>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QProcessEnvironment>
#include <QTimer>
#include <cstdio>

#include "host/HostOptions.h"
#include "host/HostSignIn.h"
#include "host/HostWindow.h"
#include "platform/ui/Forms.h"
#include "platform/ui/Services.h"

namespace {

std::map<QString, QString> environmentValues() {
    std::map<QString, QString> env;
    auto system = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"AGE_SERVER", "AGE_BRANCH", "AGE_OPERATOR", "AGE_PASSWORD"})
        if (system.contains(name)) env[name] = system.value(name);
    return env;
}

// In screenshot mode nobody is there to close a box: boxes are written to stderr instead.
void reportRecordedBoxes() {
    for (const auto& box : age::ui::MessageService::Instance().TakeShown())
        std::fprintf(stderr, "age-host: %s\n", box.text.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("age-host"));
    QApplication::setApplicationDisplayName(QStringLiteral("age-host"));

    HostOptionsResult resolved = resolveHostOptions(app.arguments(), environmentValues());
    qunsetenv("AGE_PASSWORD");  // read once; not handed down to anything this process starts
    if (resolved.help) {
        std::printf("%s", qPrintable(resolved.helpText));
        return 0;
    }
    if (!resolved.options) {
        std::fprintf(stderr, "age-host: %s\n", qPrintable(resolved.error));
        return 2;
    }
    const HostOptions& options = *resolved.options;
    Ormelin::SetHostValues(options.values);
    Application::Initialize();

    auto& messages = age::ui::MessageService::Instance();
    const bool interactive = options.screenshot.isEmpty();
    if (!interactive) {
        messages.StartRecording();
        messages.OnUnscripted = [](const std::string&) {};
    }

    TNetConnection::DefaultTransport = {options.tls, options.tlsCa.toStdString(), options.insecurePassword};
    TNetConnection session;  // the host's own connection: signs in, and signs out at exit
    StartSignIn start = signInAtStart(session, options, interactive);
    if (!start.signedIn) {
        if (start.error.isEmpty()) return 1;  // the user cancelled
        if (interactive) messages.Error(start.error.toStdString());
        std::fprintf(stderr, "age-host: %s\n", qPrintable(start.error));
        return 1;
    }

    session.SetConnected(false);  // the screens' connections carry the session; this one is back at exit

    HostWindow window(options.modulesDir);
    installSignInHooks(window, interactive);
    window.show();

    if (!options.open.isEmpty())
        QTimer::singleShot(0, &window, [&] {
            window.OpenScreen(options.open);
            reportRecordedBoxes();
        });

    if (!options.screenshot.isEmpty())
        // The screen's first activation calls the server; a moment lets it finish and paint.
        QTimer::singleShot(2000, &window, [&] {
            reportRecordedBoxes();
            bool saved = window.grab().save(options.screenshot, "PNG");
            if (!saved) std::fprintf(stderr, "age-host: não foi possível salvar %s\n", qPrintable(options.screenshot));
            QApplication::exit(saved ? 0 : 1);
        });

    int status = app.exec();
    removeSignInHooks();
    session.SignOut();
    return status;
}
