#include <QApplication>
#include <QFrame>
#include <QLineEdit>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QTest>
#include <QVBoxLayout>

#include "GuiTest.h"
#include "platform/data/Abort.h"
#include "platform/ui/Consiste.h"
#include "platform/ui/FocusEvents.h"

namespace {

// A window with a panel holding two edits (with an inner panel around the second) and one edit outside.
class FocusEventsTest : public GuiTest {
protected:
    void SetUp() override {
        GuiTest::SetUp();
        window = new QWidget;
        auto* layout = new QVBoxLayout(window);
        panel = new QFrame(window);
        auto* panelLayout = new QVBoxLayout(panel);
        first = new QLineEdit(panel);
        inner = new QFrame(panel);
        auto* innerLayout = new QVBoxLayout(inner);
        second = new QLineEdit(inner);
        innerLayout->addWidget(second);
        panelLayout->addWidget(first);
        panelLayout->addWidget(inner);
        outside = new QLineEdit(window);
        layout->addWidget(panel);
        layout->addWidget(outside);
        for (auto [w, name] : {std::pair<QWidget*, const char*>{panel, "panel"}, {inner, "inner"}, {first, "first"},
                               {second, "second"}, {outside, "outside"}}) {
            FocusEvents::SetOnEnter(w, [this, name = std::string(name)](QObject*) { log.push_back("enter " + name); });
            FocusEvents::SetOnExit(w, [this, name = std::string(name)](QObject*) { log.push_back("exit " + name); });
        }
        window->show();
        QApplication::setActiveWindow(window);
        ASSERT_TRUE(QTest::qWaitForWindowActive(window));
        first->setFocus();
        QApplication::processEvents();
        log.clear();
    }
    void TearDown() override {
        delete window;
        GuiTest::TearDown();
    }
    void moveTo(QWidget* w) {
        w->setFocus(Qt::TabFocusReason);
        QApplication::processEvents();
    }

    QWidget* window;
    QFrame* panel;
    QFrame* inner;
    QLineEdit* first;
    QLineEdit* second;
    QLineEdit* outside;
    std::vector<std::string> log;
};

using Log = std::vector<std::string>;

TEST_F(FocusEventsTest, ExitsInnermostFirstThenEntersOutermostFirst) {
    moveTo(second);
    EXPECT_EQ(log, (Log{"exit first", "enter inner", "enter second"}));
    log.clear();
    moveTo(outside);
    EXPECT_EQ(log, (Log{"exit second", "exit inner", "exit panel", "enter outside"}));
    log.clear();
    moveTo(second);
    EXPECT_EQ(log, (Log{"exit outside", "enter panel", "enter inner", "enter second"}));
}

TEST_F(FocusEventsTest, RefusedExitPutsTheFocusBackSilentlyAndSkipsTheRest) {
    FocusEvents::SetOnExit(panel, [this](QObject*) {
        log.push_back("exit panel");
        Consiste::MensErro("Data do agendamento deve ser informada.", true);
    });
    moveTo(outside);
    EXPECT_EQ(log, (Log{"exit first", "exit panel"}));
    EXPECT_EQ(QApplication::focusWidget(), first);
    EXPECT_EQ(errorsShown(), Log{"Data do agendamento deve ser informada."});

    // The focus going back raised nothing; the next real move starts afresh.
    log.clear();
    FocusEvents::SetOnExit(panel, [this](QObject*) { log.push_back("exit panel"); });
    moveTo(outside);
    EXPECT_EQ(log, (Log{"exit first", "exit panel", "enter outside"}));
}

TEST_F(FocusEventsTest, RefusedControlExitStopsBeforeItsPanels) {
    FocusEvents::SetOnExit(first, [this](QObject*) {
        log.push_back("exit first");
        throw EAbort();
    });
    moveTo(outside);
    EXPECT_EQ(log, Log{"exit first"});
    EXPECT_EQ(QApplication::focusWidget(), first);
}

TEST_F(FocusEventsTest, FocusMovedByAHandlerRaisesNothingMore) {
    // An enter handler that moves the focus itself (like "focus on the field") must not cascade.
    FocusEvents::SetOnEnter(outside, [this](QObject*) {
        log.push_back("enter outside");
        second->setFocus();
    });
    moveTo(outside);
    EXPECT_EQ(log, (Log{"exit first", "exit panel", "enter outside"}));
    EXPECT_EQ(QApplication::focusWidget(), second);
}

TEST_F(FocusEventsTest, MaximizingAnInnerWindowIsNoMoveOfTheUser) {
    // The toolkit hides an inner window while it maximizes or restores it, parking the focus on the next
    // (hidden) widget and back: no exit may run, or an empty day field would complain.
    QMdiArea area;
    auto* form = new QWidget;
    auto* layout = new QVBoxLayout(form);
    auto* day = new QLineEdit(form);
    auto* room = new QLineEdit(form);
    layout->addWidget(day);
    layout->addWidget(room);
    FocusEvents::MarkFormRoot(form);
    FocusEvents::SetOnExit(day, [this](QObject*) {
        log.push_back("exit day");
        throw EAbort();
    });
    QMdiSubWindow* sub = area.addSubWindow(form);
    area.show();
    QApplication::setActiveWindow(&area);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&area));
    moveTo(day);
    log.clear();
    sub->showMaximized();
    QApplication::processEvents();
    EXPECT_EQ(QApplication::focusWidget(), day);
    sub->showNormal();  // this one leaves the focus parked on the next widget
    QApplication::processEvents();
    EXPECT_TRUE(log.empty()) << log.front();
    moveTo(day);
    moveTo(room);  // a real move still asks
    EXPECT_EQ(log, Log{"exit day"});
    EXPECT_EQ(QApplication::focusWidget(), day);
}

TEST_F(FocusEventsTest, MovesToAnotherWindowRaiseNothing) {
    QLineEdit other;
    other.show();
    QApplication::setActiveWindow(&other);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
    other.setFocus();
    QApplication::processEvents();
    QApplication::setActiveWindow(window);
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    QApplication::processEvents();
    EXPECT_TRUE(log.empty()) << log.front();
}

}  // namespace
