// Driving a modal dialog from inside its own event loop, for the agenda, automatic booking and host tests.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QPointer>
#include <QTest>
#include <QTimer>
#include <functional>

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
