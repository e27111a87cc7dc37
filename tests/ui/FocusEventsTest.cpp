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

using Log = std::vector<std::string>;

void stack(QWidget* parent, std::initializer_list<QWidget*> children) {
    auto* layout = new QVBoxLayout(parent);
    for (auto* w : children) layout->addWidget(w);
}

void activate(QWidget* window) {
    window->show();
    QApplication::setActiveWindow(window);
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));
}

// A window with a panel holding two edits (with an inner panel around the second) and one edit outside.
class FocusEventsTest : public GuiTest {
protected:
    void SetUp() override {
        GuiTest::SetUp();
        stack(inner, {second});
        stack(panel, {first, inner});
        stack(&window, {panel, outside});
        for (auto [w, name] : {std::pair<QWidget*, std::string>{panel, "panel"}, {inner, "inner"},
                               {first, "first"}, {second, "second"}, {outside, "outside"}})
            logEnterAndExit(w, name);
        activate(&window);
        moveTo(first);
        log.clear();
    }
    void logEnterAndExit(QWidget* w, const std::string& name) {
        FocusEvents::SetOnEnter(w, [this, name](QObject*) { log.push_back("enter " + name); });
        FocusEvents::SetOnExit(w, [this, name](QObject*) { log.push_back("exit " + name); });
    }
    // An exit that logs itself, then refuses the move as a screen's check does.
    void refuseExit(QWidget* w, const std::string& name) {
        FocusEvents::SetOnExit(w, [this, name](QObject*) {
            log.push_back("exit " + name);
            Consiste::MensErro("Data do agendamento deve ser informada.", true);
        });
    }
    static void moveTo(QWidget* w) {
        w->setFocus(Qt::TabFocusReason);
        QApplication::processEvents();
    }
    Log take() { return std::exchange(log, {}); }

    Log log;  // outlives the window, whose teardown may still move the focus
    QWidget window;
    QFrame* panel = new QFrame(&window);
    QLineEdit* first = new QLineEdit(panel);
    QFrame* inner = new QFrame(panel);
    QLineEdit* second = new QLineEdit(inner);
    QLineEdit* outside = new QLineEdit(&window);
};

TEST_F(FocusEventsTest, ExitsInnermostFirstThenEntersOutermostFirst) {
    moveTo(second);
    EXPECT_EQ(take(), (Log{"exit first", "enter inner", "enter second"}));
    moveTo(outside);
    EXPECT_EQ(take(), (Log{"exit second", "exit inner", "exit panel", "enter outside"}));
    moveTo(second);
    EXPECT_EQ(take(), (Log{"exit outside", "enter panel", "enter inner", "enter second"}));

    // An enter handler that moves the focus itself (like "focus on the field") must not cascade.
    FocusEvents::SetOnEnter(outside, [this](QObject*) {
        log.push_back("enter outside");
        first->setFocus();
    });
    moveTo(outside);
    EXPECT_EQ(take(), (Log{"exit second", "exit inner", "exit panel", "enter outside"}));
    EXPECT_EQ(QApplication::focusWidget(), first);

    // Neither does the focus leaving for another window and coming back.
    QLineEdit other;
    activate(&other);
    moveTo(&other);
    activate(&window);
    QApplication::processEvents();
    EXPECT_EQ(take(), Log{});
}

TEST_F(FocusEventsTest, RefusedExitPutsTheFocusBackSilentlyAndSkipsTheRest) {
    refuseExit(panel, "panel");
    moveTo(outside);
    EXPECT_EQ(take(), (Log{"exit first", "exit panel"}));
    EXPECT_EQ(QApplication::focusWidget(), first);
    EXPECT_EQ(errorsShown(), Log{"Data do agendamento deve ser informada."});

    refuseExit(first, "first");  // a refusing control stops before its panels
    moveTo(outside);
    EXPECT_EQ(take(), Log{"exit first"});
    EXPECT_EQ(QApplication::focusWidget(), first);
    EXPECT_EQ(errorsShown().size(), 1u);

    // The focus going back raised nothing; the next real move starts afresh.
    logEnterAndExit(first, "first");
    logEnterAndExit(panel, "panel");
    moveTo(outside);
    EXPECT_EQ(take(), (Log{"exit first", "exit panel", "enter outside"}));
}

TEST_F(FocusEventsTest, TabThroughTheFrameOfAnInnerWindowIsOneMoveInsideTheForm) {
    // Tab from the form's last control goes to the inner window's frame, which hands the focus on to the
    // form's first control: the panel left on the way must hear of it.
    QMdiArea area;
    auto* form = new QWidget;
    auto* grid = new QLineEdit(form);  // first in the form's chain
    auto* selection = new QFrame(form);
    auto* room = new QLineEdit(selection);
    stack(selection, {room});
    stack(form, {selection, grid});
    FocusEvents::MarkFormRoot(form);
    logEnterAndExit(selection, "selection");
    area.addSubWindow(form);
    activate(&area);
    moveTo(room);
    take();
    QTest::keyClick(room, Qt::Key_Tab);
    QApplication::processEvents();
    ASSERT_EQ(QApplication::focusWidget(), grid);
    EXPECT_EQ(take(), Log{"exit selection"});
    QTest::keyClick(grid, Qt::Key_Backtab, Qt::ShiftModifier);
    QApplication::processEvents();
    ASSERT_EQ(QApplication::focusWidget(), room);
    EXPECT_EQ(take(), Log{"enter selection"});
}

TEST_F(FocusEventsTest, MaximizingAnInnerWindowIsNoMoveOfTheUser) {
    // The toolkit hides an inner window while it maximizes or restores it, parking the focus on the next
    // (hidden) widget and back: no exit may run, or an empty day field would complain.
    QMdiArea area;
    auto* form = new QWidget;
    auto* day = new QLineEdit(form);
    auto* room = new QLineEdit(form);
    stack(form, {day, room});
    FocusEvents::MarkFormRoot(form);
    refuseExit(day, "day");
    QMdiSubWindow* sub = area.addSubWindow(form);
    activate(&area);
    moveTo(day);
    take();
    sub->showMaximized();
    QApplication::processEvents();
    EXPECT_EQ(QApplication::focusWidget(), day);
    sub->showNormal();  // this one leaves the focus parked on the next widget
    QApplication::processEvents();
    EXPECT_EQ(take(), Log{});
    EXPECT_TRUE(errorsShown().empty());
    moveTo(day);
    moveTo(room);  // a real move still asks
    EXPECT_EQ(take(), Log{"exit day"});
    EXPECT_EQ(QApplication::focusWidget(), day);
    EXPECT_EQ(errorsShown().size(), 1u);
}

}  // namespace
