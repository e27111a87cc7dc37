#include "platform/ui/FocusEvents.h"

#include <QApplication>
#include <QHash>
#include <QPointer>
#include <QVector>
#include <QWidget>
#include <algorithm>
#include <utility>

#include "platform/ui/Boundary.h"
#include "platform/ui/Services.h"

namespace FocusEvents {
namespace {

const char* const kRootProperty = "ageFormRoot";

struct Handlers {
    Handler enter;
    Handler exit;
};

class Dispatcher : public QObject {
public:
    static Dispatcher& Instance() {
        static auto* dispatcher = new Dispatcher;
        return *dispatcher;
    }

    Handlers& handlersOf(QWidget* w) {
        if (!handlers_.contains(w))
            connect(w, &QObject::destroyed, this, [this, w] { handlers_.remove(w); });
        return handlers_[w];
    }

private:
    Dispatcher() {
        connect(qApp, &QApplication::focusChanged, this,
                [this](QWidget* from, QWidget* to) { focusChanged(from, to); });
    }

    static QWidget* rootOf(QWidget* w) {
        while (w && !w->isWindow() && !w->property(kRootProperty).toBool()) w = w->parentWidget();
        return w;
    }

    // The widgets from w up to, not including, the first that also contains `other` (or the root).
    static QVector<QWidget*> chainUntilCommon(QWidget* w, QWidget* other, QWidget* root) {
        QVector<QWidget*> chain;
        for (; w && w != root; w = w->parentWidget()) {
            if (w == other || w->isAncestorOf(other)) break;
            chain.push_back(w);
        }
        return chain;
    }

    void focusChanged(QWidget* from, QWidget* to) {
        if (running_ || !to || age::ui::MessageService::Instance().ModalUp()) return;
        // While the toolkit hides a window for a moment (an inner window being maximized or restored) it parks
        // the focus on hidden widgets. Only the move to a visible widget counts, from where the focus was.
        if (!to->isVisible()) {
            if (!parking_) parkedFrom_ = from;
            parking_ = true;
            return;
        }
        const bool parked = std::exchange(parking_, false);
        if (parked) from = parkedFrom_.data();
        QPointer<QWidget> passing = std::exchange(passingFrom_, nullptr);
        if (!from || from == to) return;
        QWidget* root = rootOf(from);
        // Tab from a form's last control goes to the frame of the form's inner window, which hands it on to
        // the form's first control: that move counts from where it started.
        if (!parked && root && root != to && to->isAncestorOf(root)) {
            passingFrom_ = from;
            return;
        }
        if (passing && from->isAncestorOf(passing)) {
            from = passing.data();
            root = rootOf(from);
        }
        if (!root || root != rootOf(to)) return;

        QPointer<QWidget> origin(from);
        running_ = true;
        bool exitsCompleted = runExits(chainUntilCommon(from, to, root));
        if (!exitsCompleted) {
            if (origin) origin->setFocus(Qt::OtherFocusReason);
            running_ = false;
            return;
        }
        auto entered = chainUntilCommon(to, from, root);
        std::reverse(entered.begin(), entered.end());
        runEnters(entered);
        running_ = false;
    }

    bool runExits(const QVector<QWidget*>& chain) {
        QVector<QPointer<QWidget>> guarded(chain.begin(), chain.end());
        for (auto& w : guarded) {
            if (!w || !handlers_.contains(w.data())) continue;
            Handler handler = handlers_[w.data()].exit;
            if (handler && !Boundary::completed(Boundary::run([&] { handler(w.data()); }))) return false;
        }
        return true;
    }

    void runEnters(const QVector<QWidget*>& chain) {
        QVector<QPointer<QWidget>> guarded(chain.begin(), chain.end());
        for (auto& w : guarded) {
            if (!w || !handlers_.contains(w.data())) continue;
            Handler handler = handlers_[w.data()].enter;
            if (handler && !Boundary::completed(Boundary::run([&] { handler(w.data()); }))) return;
        }
    }

    QHash<QWidget*, Handlers> handlers_;
    bool running_ = false;
    bool parking_ = false;
    QPointer<QWidget> parkedFrom_;
    QPointer<QWidget> passingFrom_;
};

}  // namespace

void SetOnEnter(QWidget* widget, Handler handler) {
    Dispatcher::Instance().handlersOf(widget).enter = std::move(handler);
}

void SetOnExit(QWidget* widget, Handler handler) {
    Dispatcher::Instance().handlersOf(widget).exit = std::move(handler);
}

void MarkFormRoot(QWidget* form) { form->setProperty(kRootProperty, true); }

}  // namespace FocusEvents
