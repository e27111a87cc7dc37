#include "platform/ui/Showavi.h"

#include <QEvent>
#include <QPainter>
#include <QPointer>
#include <QTimer>
#include <QWidget>

namespace Showavi {
namespace {

int depth = 0;
int suspended = 0;
int activations = 0;
int frames = 0;

// A rotating arc in a rounded box at the centre of the host window; it ignores the mouse.
class BusyOverlay : public QWidget {
public:
    explicit BusyOverlay(QWidget* host) : QWidget(host) {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setAttribute(Qt::WA_NoSystemBackground);
        setAccessibleName(QStringLiteral("Processando"));
        resize(96, 96);
        timer_.setInterval(40);
        connect(&timer_, &QTimer::timeout, this, [this] {
            angle_ = (angle_ + 24) % 360;
            update();
        });
        host->installEventFilter(this);
        hide();
    }

    void start() {
        place();
        raise();
        show();
        timer_.start();
        repaint();
    }
    void stop() {
        timer_.stop();
        hide();
    }

protected:
    void paintEvent(QPaintEvent*) override {
        ++frames;
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(40, 40, 40, 190));
        p.drawRoundedRect(rect(), 12, 12);
        QPen pen(QColor(255, 255, 255), 8, Qt::SolidLine, Qt::RoundCap);
        p.setPen(pen);
        QRect arc = rect().adjusted(22, 22, -22, -22);
        p.drawArc(arc, -angle_ * 16, 270 * 16);
    }
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == parent() && event->type() == QEvent::Resize) place();
        return false;
    }

private:
    void place() {
        auto* host = parentWidget();
        move((host->width() - width()) / 2, (host->height() - height()) / 2);
    }
    QTimer timer_;
    int angle_ = 0;
};

QPointer<BusyOverlay> overlay;

}  // namespace

void ActiveShowAvi() {
    if (depth++ > 0) return;
    ++activations;
    if (overlay && suspended == 0) overlay->start();
}

void DeactiveShowAvi() {
    if (depth == 0) return;
    if (--depth > 0) return;
    if (overlay) overlay->stop();
}

void SetHostWindow(QWidget* window) {
    delete overlay.data();
    overlay = window ? new BusyOverlay(window) : nullptr;
    if (overlay && depth > 0 && suspended == 0) overlay->start();
}

void Suspend() {
    if (suspended++ == 0 && overlay) overlay->stop();
}

void Resume() {
    if (suspended == 0 || --suspended > 0) return;
    if (overlay && depth > 0) overlay->start();
}

int Depth() { return depth; }
int Activations() { return activations; }
int Frames() { return frames; }
void ResetCounters() {
    activations = 0;
    frames = 0;
}
QWidget* Overlay() { return overlay.data(); }

}  // namespace Showavi
