// Driving a modal dialog from inside its own event loop, for the agenda, automatic booking and host tests.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QTest>
#include <QTimer>
#include <functional>
#include <string>
#include <vector>

// Runs `open`, which shows a modal dialog of type D, and `inside` with that dialog once the platform has
// made it the active window, as a user would find it. A dialog that `inside` leaves open is closed after.
template <class D>
void withModal(const std::function<void()>& open, const std::function<void(D&)>& inside) {
    bool reached = false;
    QObject scope;  // no timer outlives this call
    QTimer::singleShot(0, &scope, [&] {
        QPointer<D> dialog(qobject_cast<D*>(QApplication::activeModalWidget()));
        if (!dialog) return;
        reached = true;
        EXPECT_TRUE(QTest::qWaitFor([&] { return dialog && QApplication::activeWindow() == dialog; }));
        inside(*dialog);
        if (dialog && dialog->isVisible()) dialog->close();
    });
    open();
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(reached) << "the dialog did not open";
}

// While it lives, answers each real message box that comes up with Enter (its default button), after
// noting its text and calling `seen` with the box and how many have come up so far.
class BoxAnswerer {
  public:
    explicit BoxAnswerer(std::function<void(QMessageBox&, std::size_t)> seen = {}) : seen_(std::move(seen)) {
        QObject::connect(&poll_, &QTimer::timeout, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box || !box->isVisible() || box->property("answered").toBool()) return;
            box->setProperty("answered", true);
            texts_.push_back(box->text().toStdString());
            if (seen_) seen_(*box, texts_.size());
            QTest::keyClick(box, Qt::Key_Return);
        });
        poll_.start(10);
    }
    const std::vector<std::string>& texts() const { return texts_; }

  private:
    std::function<void(QMessageBox&, std::size_t)> seen_;
    std::vector<std::string> texts_;
    QTimer poll_;  // last: stopped before what it uses goes
};
