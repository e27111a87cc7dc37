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

TEST_F(DateEditPlusTest, OnlyAFinishedEditWithANewDateIsAChange) {
    edit.SetDate(age::makeDate(2026, 12, 27));
    // Typed over digit by digit, "27/12/2026" becomes "17/12/2026", "10/12/2026", "10/02/2026" ... before
    // "10/01/2027": none of those is a change; leaving the field reports the last one alone.
    std::vector<age::Date> seen;
    edit.OnDateChange = [&](QObject*) { seen.push_back(edit.GetDate()); };
    type("10012027");
    EXPECT_TRUE(seen.empty());
    edit.Editor()->clearFocus();
    EXPECT_EQ(seen, std::vector<age::Date>{age::makeDate(2027, 1, 10)});

    // Enter and Tab finish too; an impossible date, or the date reported last, raises nothing.
    type("3102");
    QTest::keyClick(edit.Editor(), Qt::Key_Return);
    type("10012027");
    QTest::keyClick(edit.Editor(), Qt::Key_Tab);
    EXPECT_EQ(seen.size(), 1u);
    type("11");
    QTest::keyClick(edit.Editor(), Qt::Key_Tab);
    EXPECT_EQ(seen.back(), age::makeDate(2027, 1, 11));
    EXPECT_EQ(seen.size(), 2u);
}

TEST_F(DateEditPlusTest, DayPickedInTheCalendarIsAChange) {
    edit.SetDate(age::makeDate(2026, 12, 9));
    edit.ShowCalendar();
    QCalendarWidget* calendar = edit.Calendar();
    ASSERT_NE(calendar, nullptr);
    auto* days = calendar->findChild<QTableView*>();
    ASSERT_NE(days, nullptr);
    QTest::keyClick(days, Qt::Key_Right);
    QTest::keyClick(days, Qt::Key_Right);  // the cell of 11/12 is the one to click
    QTest::mouseClick(days->viewport(), Qt::LeftButton, {}, days->visualRect(days->currentIndex()).center());
    EXPECT_FALSE(calendar->isVisible());
    EXPECT_EQ(edit.DisplayText(), QStringLiteral("11/12/2026"));
    EXPECT_EQ(changes, 1);
    QTest::keyClick(edit.Editor(), Qt::Key_Tab);  // finishing it again is no second change
    EXPECT_EQ(changes, 1);

    // With the keys alone: the arrows choose, Enter picks.
    edit.ShowCalendar();
    QTest::keyClick(days, Qt::Key_Left);
    QTest::keyClick(days, Qt::Key_Return);
    EXPECT_FALSE(calendar->isVisible());
    EXPECT_EQ(edit.DisplayText(), QStringLiteral("10/12/2026"));
    EXPECT_EQ(changes, 2);
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
