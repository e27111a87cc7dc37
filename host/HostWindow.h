// The host's main window: an MDI area for the screens, the "Módulos" menu, and the status bar with the
// branch, the operator and the server. Modules are shared libraries loaded when first opened; their
// IniProc opens the screen. A module is released when none of its screens remains: the host forgets its
// screens and the module has cleared its own state; the library stays mapped (unmapping a library that
// defines toolkit classes is not safe).
#pragma once

#include <QLibrary>
#include <QMainWindow>
#include <QSet>
#include <map>
#include <memory>

class QMdiArea;
class QLabel;

class HostWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit HostWindow(const QString& modulesDir, QWidget* parent = nullptr);
    ~HostWindow() override;

    // Opens a module's screen by its code ("AGE12100"); false when it failed (the error was shown).
    bool OpenScreen(const QString& code);
    QMdiArea* MdiArea() const { return mdi_; }
    QAction* MenuItem(const QString& code) const;
    // Screens of the module that are open; 0 once the module has been released.
    int OpenScreens(const QString& code) const;
    bool Loaded(const QString& code) const;
    // The signed-in operator in the status bar: the name the server gave, or the code.
    void ShowOperator(const QString& name);

private:
    struct Module {
        QString library;  // base name of the shared library
        QString caption;  // menu item
        std::unique_ptr<QLibrary> lib;
        QSet<QWidget*> screens;
        QAction* item = nullptr;
    };
    Module* find(const QString& code);
    const Module* find(const QString& code) const;
    void screenGone(QWidget* form);
    QString modulesDir_;
    QMdiArea* mdi_;
    QLabel* operatorLabel_ = nullptr;
    std::map<QString, Module> modules_;
};
