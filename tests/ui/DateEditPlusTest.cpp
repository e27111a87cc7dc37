#include <QCalendarWidget>
#include <QLabel>
#include <QTableView>
#include <QLineEdit>
#include <QTest>

#include "GuiTest.h"
#include "platform/data/Abort.h"
#include "platform/ui/Consiste.h"
#include "platform/ui/DateEditPlus.h"

namespace {

class DateEditPlusTest : public GuiTest {
protected:
    void SetUp() override {
        GuiTest::SetUp();
        edit.OnDateChange = [this](QObject* sender) {
            EXPECT_EQ(sender, &edit);
            ++changes;
        };
        edit.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&edit));
    }
    void type(const QString& text) {
        edit.Editor()->setFocus();
        edit.Editor()->home(false);
        QTest::keyClicks(edit.Editor(), text);
    }
    TDateEditPlus edit;
    int changes = 0;
};

TEST_F(DateEditPlusTest, TypedDateGivesTheDayItsWeekdayAndTheValidColour) {
    type("07122026");
    EXPECT_EQ(edit.GetDate(), age::makeDate(2026, 12, 7));
    EXPECT_EQ(edit.DisplayText(), QStringLiteral("07/12/2026"));
    EXPECT_EQ(edit.WeekdayLabel()->text(), QStringLiteral("Segunda"));
    EXPECT_EQ(edit.Editor()->palette().color(QPalette::Text), QColor(Qt::blue));
    EXPECT_EQ(changes, 0);  // typed, not yet finished
    QTest::keyClick(edit.Editor(), Qt::Key_Return);
    EXPECT_EQ(changes, 1);
}

// (Typing a date over another, and a click in the calendar: the automatic booking dialog's tests.)
TEST_F(DateEditPlusTest, LeavingTheFieldTabOrAKeyboardPickFinishesTheEdit) {
    std::vector<age::Date> seen;
    edit.OnDateChange = [&](QObject*) { seen.push_back(edit.GetDate()); };
    type("10012027");
    edit.Editor()->clearFocus();
    type("3102");  // impossible
    QTest::keyClick(edit.Editor(), Qt::Key_Return);
    type("10012027");  // the date reported last
    QTest::keyClick(edit.Editor(), Qt::Key_Tab);
    type("11");
    QTest::keyClick(edit.Editor(), Qt::Key_Tab);
    EXPECT_EQ(seen, (std::vector<age::Date>{age::makeDate(2027, 1, 10), age::makeDate(2027, 1, 11)}));

    // In the calendar the arrows choose a day and Enter picks it, once.
    edit.ShowCalendar();
    auto* days = edit.Calendar()->findChild<QTableView*>();
    ASSERT_NE(days, nullptr);
    QTest::keyClick(days, Qt::Key_Right);
    QTest::keyClick(days, Qt::Key_Return);
    EXPECT_FALSE(edit.Calendar()->isVisible());
    EXPECT_EQ(edit.DisplayText(), QStringLiteral("12/01/2027"));
    QTest::keyClick(edit.Editor(), Qt::Key_Tab);
    EXPECT_EQ(seen.size(), 3u);
}

TEST_F(DateEditPlusTest, EmptyEditPassesTheCheckAndAnInvalidDateIsReportedClearly) {
    EXPECT_TRUE(Consiste::EmptyString(edit.Text().toStdString()));
    EXPECT_FALSE(edit.Date().has_value());
    EXPECT_EQ(edit.GetDate(), TDateEditPlus::NullDate);
    EXPECT_NO_THROW(edit.CheckValidDate());
    EXPECT_TRUE(edit.WeekdayLabel()->text().isEmpty());

    type("31022026");
    EXPECT_FALSE(edit.IsValidDate());
    EXPECT_NE(edit.Editor()->palette().color(QPalette::Text), QColor(Qt::blue));
    EXPECT_THROW(edit.CheckValidDate(), EAbort);
    EXPECT_EQ(errorsShown(), std::vector<std::string>{"Data inválida: 31/02/2026."});
    EXPECT_EQ(edit.GetDate(), TDateEditPlus::NullDate);
    EXPECT_FALSE(edit.Date().has_value());
}

TEST_F(DateEditPlusTest, ProgrammaticDateRaisesNoChangeAndKeepsTimeOnlyWhenAsked) {
    edit.SetDate(age::makeDate(2026, 12, 12));
    EXPECT_EQ(changes, 0);
    EXPECT_EQ(edit.WeekdayLabel()->text(), QStringLiteral("Sábado"));

    auto moment = age::makeDateTime(2026, 12, 7, 14, 30);
    edit.SetDateTime(moment);
    EXPECT_EQ(edit.GetDateTime(), age::makeDateTime(2026, 12, 7));
    edit.SaveTime = true;
    edit.SetDateTime(moment);
    EXPECT_EQ(edit.GetDateTime(), moment);
    EXPECT_EQ(changes, 0);
}

}  // namespace
