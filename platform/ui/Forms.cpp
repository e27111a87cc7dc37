#include "platform/ui/Forms.h"

#include <QApplication>
#include <QEvent>
#include <QMainWindow>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QPointer>

#include "platform/rpc/ErrorReporter.h"
#include "platform/rpc/NetConnection.h"
#include "platform/ui/Boundary.h"
#include "platform/ui/FocusEvents.h"
#include "platform/ui/Ormelin.h"
#include "platform/ui/Services.h"
#include "platform/ui/Showavi.h"

namespace Application {
namespace {

QPointer<QMainWindow> mainWindow;
QPointer<QMdiArea> mdiArea;
QPointer<QMdiSubWindow> lastActivated;

void subWindowActivated(QMdiSubWindow* sub) {
    // A box or dialog taking the activation for a while leaves no screen active in between: only a
    // change to another screen counts as an activation.
    if (!sub || sub == lastActivated) return;
    lastActivated = sub;
    if (auto* form = qobject_cast<TForm*>(sub->widget())) Boundary::run([form] { form->FormActivate(form); });
}

}  // namespace

void SetMainWindow(QMainWindow* window, QMdiArea* area) {
    if (mdiArea) QObject::disconnect(mdiArea, nullptr, nullptr, nullptr);
    mainWindow = window;
    mdiArea = area;
    lastActivated = nullptr;
    if (area) QObject::connect(area, &QMdiArea::subWindowActivated, area, &subWindowActivated);
    Showavi::SetHostWindow(window);
    age::ui::MessageService::Instance().SetParentWindow(window);
}

QMainWindow* MainWindow() { return mainWindow.data(); }
QMdiArea* MdiArea() { return mdiArea.data(); }

void WhileServerCallWaits() { QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 20); }

void Initialize() {
    age::rpc::SetErrorReporter([](const std::string& text) { age::ui::MessageService::Instance().Error(text); });
    TNetConnection::WhileWaiting = &WhileServerCallWaits;
}

}  // namespace Application

TForm::TForm(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_DeleteOnClose);
    FocusEvents::MarkFormRoot(this);
}

TForm::~TForm() { Ormelin::SetUnloadBPL(className_, this); }

void TForm::FormCreate(QObject*) {}
void TForm::FormActivate(QObject*) {}

void TForm::DoCreate() {
    className_ = metaObject()->className();
    FormCreate(this);
}

QMdiSubWindow* TForm::SubWindow() const { return qobject_cast<QMdiSubWindow*>(parentWidget()); }

QWidget* TForm::frame() const {
    if (auto* sub = SubWindow()) return sub;
    return const_cast<TForm*>(this);
}

void TForm::Show() {
    QMdiArea* area = Application::MdiArea();
    if (area && !SubWindow()) {
        auto* sub = area->addSubWindow(this);
        sub->setAttribute(Qt::WA_DeleteOnClose);
        sub->resize(DesignSize);
        leaveShortcutsToForm(sub);
    } else if (!area && !shownOnce_) {
        resize(DesignSize);
    }
    QWidget* window = frame();
    window->show();
    window->raise();
    if (auto* sub = SubWindow())
        area->setActiveSubWindow(sub);
    else
        activateWindow();
    if (!shownOnce_) {
        shownOnce_ = true;
        if (ActiveControl) ActiveControl->setFocus(Qt::OtherFocusReason);
    }
}

// The inner window's own menu takes keys such as Ctrl+W (close) that the form's menus also use: both
// claiming a key makes it do nothing, so the form's command keeps it.
void TForm::leaveShortcutsToForm(QMdiSubWindow* sub) {
    QList<QKeySequence> formKeys;
    for (QAction* action : findChildren<QAction*>()) formKeys += action->shortcuts();
    if (!sub->systemMenu()) return;
    for (QAction* action : sub->systemMenu()->actions()) {
        QList<QKeySequence> keys = action->shortcuts();
        keys.removeIf([&](const QKeySequence& key) { return formKeys.contains(key); });
        action->setShortcuts(keys);
    }
}

void TForm::SetWindowState(TWindowState state) {
    QWidget* window = frame();
    switch (state) {
        case TWindowState::wsNormal: window->showNormal(); break;
        case TWindowState::wsMinimized: window->showMinimized(); break;
        case TWindowState::wsMaximized: window->showMaximized(); break;
    }
}

TWindowState TForm::WindowState() const {
    Qt::WindowStates s = frame()->windowState();
    if (s & Qt::WindowMinimized) return TWindowState::wsMinimized;
    if (s & Qt::WindowMaximized) return TWindowState::wsMaximized;
    return TWindowState::wsNormal;
}

void TForm::CloseForm() { frame()->close(); }

bool TForm::event(QEvent* event) {
    // Outside an MDI area the screen is a window of its own and its activation is the window's.
    if (event->type() == QEvent::WindowActivate && !SubWindow() && isWindow())
        Boundary::run([this] { FormActivate(this); });
    return QWidget::event(event);
}
