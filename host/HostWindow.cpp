#include "host/HostWindow.h"

#include <QCoreApplication>
#include <QDir>
#include <QLabel>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenuBar>
#include <QStatusBar>

#include "platform/rpc/NetConnection.h"
#include "platform/ui/Boundary.h"
#include "platform/ui/Forms.h"
#include "platform/ui/Ormelin.h"
#include "platform/ui/Services.h"

HostWindow::HostWindow(const QString& modulesDir, QWidget* parent) : QMainWindow(parent), modulesDir_(modulesDir) {
    if (modulesDir_.isEmpty()) {
        // Installed: /usr/bin/age-host and /usr/lib/age-host; in the build tree: bin/ and lib/.
        QString base = QCoreApplication::applicationDirPath() + QStringLiteral("/../lib");
        QString installed = base + QStringLiteral("/age-host");
        modulesDir_ = QDir(installed).exists() ? installed : base;
    }
    setWindowTitle(QStringLiteral("age-host"));
    resize(1100, 720);

    mdi_ = new QMdiArea(this);
    mdi_->setObjectName("mdiArea");
    mdi_->setBackground(QColor(96, 112, 128));
    setCentralWidget(mdi_);

    modules_["AGE12100"] = Module{QStringLiteral("PKG_AGE12100"), QStringLiteral("Agendamento de Sala"), {}, {}, nullptr};
    QMenu* menu = menuBar()->addMenu(QStringLiteral("&Módulos"));
    menu->setObjectName("mnuModulos");
    for (auto& [code, module] : modules_) {
        module.item = menu->addAction(module.caption);
        module.item->setObjectName(QStringLiteral("mnu") + code);
        connect(module.item, &QAction::triggered, this, [this, code = code] { OpenScreen(code); });
    }
    menu->addSeparator();
    QAction* quit = menu->addAction(QStringLiteral("Sai&r"));
    quit->setShortcut(QKeySequence(Qt::ALT | Qt::Key_F4));
    connect(quit, &QAction::triggered, this, &QWidget::close);

    QMenu* windows = menuBar()->addMenu(QStringLiteral("&Janelas"));
    windows->addAction(QStringLiteral("&Cascata"), mdi_, &QMdiArea::cascadeSubWindows);
    windows->addAction(QStringLiteral("&Lado a lado"), mdi_, &QMdiArea::tileSubWindows);

    const auto& values = Ormelin::CurrentHostValues();
    auto addStatus = [this](const QString& text) {
        auto* label = new QLabel(text, this);
        label->setAccessibleName(text);
        statusBar()->addPermanentWidget(label);
        return label;
    };
    addStatus(QStringLiteral("Filial: %1").arg(QString::fromStdString(values.branch)));
    operatorLabel_ = addStatus({});
    operatorLabel_->setObjectName("lblOperador");
    ShowOperator(QString::fromStdString(values.operatorCode));
    const QString scheme = TNetConnection::DefaultTransport.Tls ? QStringLiteral("tls://") : QString();
    addStatus(QStringLiteral("Servidor: %1%2:%3").arg(scheme, QString::fromStdString(values.serverHost)).arg(values.serverPort));

    Application::SetMainWindow(this, mdi_);
    Ormelin::SetUnloadHandler([this](const std::string&, QWidget* form) { screenGone(form); });
}

void HostWindow::ShowOperator(const QString& name) {
    const QString text = QStringLiteral("Operador: %1").arg(name);
    operatorLabel_->setText(text);
    operatorLabel_->setAccessibleName(text);
}

HostWindow::~HostWindow() {
    Ormelin::SetUnloadHandler(nullptr);
    // Screens go while their module's code is still mapped.
    for (auto* sub : mdi_->subWindowList()) delete sub;
    Application::SetMainWindow(nullptr, nullptr);
}

HostWindow::Module* HostWindow::find(const QString& code) {
    auto it = modules_.find(code.toUpper());
    return it == modules_.end() ? nullptr : &it->second;
}

const HostWindow::Module* HostWindow::find(const QString& code) const {
    auto it = modules_.find(code.toUpper());
    return it == modules_.end() ? nullptr : &it->second;
}

QAction* HostWindow::MenuItem(const QString& code) const {
    const Module* m = find(code);
    return m ? m->item : nullptr;
}

int HostWindow::OpenScreens(const QString& code) const {
    const Module* m = find(code);
    return m ? static_cast<int>(m->screens.size()) : 0;
}

bool HostWindow::Loaded(const QString& code) const {
    const Module* m = find(code);
    return m && m->lib && m->lib->isLoaded();
}

bool HostWindow::OpenScreen(const QString& code) {
    auto& messages = age::ui::MessageService::Instance();
    Module* module = find(code);
    if (!module) {
        messages.Error("Tela desconhecida: " + code.toStdString() + ".");
        return false;
    }
    if (!module->lib) {
        module->lib = std::make_unique<QLibrary>(QDir(modulesDir_).filePath(module->library));
        if (!module->lib->load()) {
            messages.Error("Não foi possível carregar o módulo " + module->library.toStdString() + ": " +
                           module->lib->errorString().toStdString());
            module->lib.reset();
            return false;
        }
    }
    using Entry = void (*)();
    auto entry = reinterpret_cast<Entry>(module->lib->resolve("IniProc"));
    if (!entry) {
        messages.Error("O módulo " + module->library.toStdString() + " não exporta IniProc.");
        return false;
    }
    bool ok = Boundary::completed(Boundary::run(entry));
    // The screens the module opened are now the host's to track until they are gone.
    for (auto* sub : mdi_->subWindowList())
        if (auto* form = qobject_cast<TForm*>(sub->widget())) {
            bool known = false;
            for (auto& [_, m] : modules_) known = known || m.screens.contains(form);
            if (!known) module->screens.insert(form);
        }
    return ok;
}

void HostWindow::screenGone(QWidget* form) {
    for (auto& [code, module] : modules_) {
        if (!module.screens.remove(form)) continue;
        if (module.screens.isEmpty())
            statusBar()->showMessage(QStringLiteral("Módulo %1 liberado.").arg(module.library), 3000);
    }
}
