// Screens and the host's window. A screen (TForm) is created through Application::CreateForm, which runs
// its FormCreate once it is fully built; it is shown as a child window of the host's MDI area (or as a
// window of its own when no host window is registered, as in tests); it gets FormActivate whenever it
// becomes the active screen (inside the host: switching to it from another of the host's screens counts, a
// message box or modal dialog coming and going does not; as a window of its own: every activation of the
// window); and it is destroyed when closed.
#pragma once

#include <QSize>
#include <QWidget>
#include <string>

class QMainWindow;
class QMdiArea;
class QMdiSubWindow;

enum class TWindowState { wsNormal, wsMinimized, wsMaximized };

class TForm : public QWidget {
    Q_OBJECT
public:
    explicit TForm(QWidget* parent = nullptr);
    // Tells the host through Ormelin::SetUnloadBPL that the screen is gone.
    ~TForm() override;

    virtual void FormCreate(QObject* Sender);
    virtual void FormActivate(QObject* Sender);

    QWidget* ActiveControl = nullptr;  // gets the focus when the screen is first shown
    QSize DesignSize{640, 480};        // outer size of the screen's window when it opens
    int HelpContext = 0;

    // Shows the screen (inside the host's MDI area when there is one) and brings it to the front.
    void Show();
    void SetWindowState(TWindowState state);
    TWindowState WindowState() const;
    // Closes the screen's window; the screen is then destroyed.
    void CloseForm();
    QMdiSubWindow* SubWindow() const;
    // The class name the screen was created as (for SetUnloadBPL).
    const std::string& ClassName() const { return className_; }

protected:
    bool event(QEvent* event) override;

private:
    friend struct FormFactory;
    void DoCreate();
    QWidget* frame() const;  // the window that holds the screen
    void leaveShortcutsToForm(QMdiSubWindow* sub);
    std::string className_;
    bool shownOnce_ = false;
};

struct FormFactory {
    static void Create(TForm* form) { form->DoCreate(); }
};

namespace Application {

// Creates a screen owned by the application, stores it in `reference` and runs its FormCreate. When the
// creation fails, the screen is destroyed, the reference is null and the failure goes on.
template <class T>
void CreateForm(T*& reference) {
    reference = new T();
    try {
        FormFactory::Create(reference);
    } catch (...) {
        delete reference;
        reference = nullptr;
        throw;
    }
}

// The host registers its main window and MDI area; screens then open inside it.
void SetMainWindow(QMainWindow* window, QMdiArea* area);
QMainWindow* MainWindow();
QMdiArea* MdiArea();

// Installs the framework's services for the whole process: failures reported by the connection layer
// appear in the error box, and while a server call waits windows repaint and timers (the busy animation)
// run, with the user's input held back.
void Initialize();

// The connection layer's waiting hook (public for tests of the busy animation).
void WhileServerCallWaits();

}  // namespace Application
