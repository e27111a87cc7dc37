#include <QLabel>
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
    EXPECT_EQ(changes, 1);  // the finished date, not each keystroke

    // Retyping overwrites digit by digit: "37/12/2026" is no date and raises nothing, "31/12/2026" is a new
    // date, "31/02/2026" is impossible and raises nothing again.
    type("3");
    EXPECT_EQ(changes, 1);
    QTest::keyClicks(edit.Editor(), "1");
    EXPECT_EQ(changes, 2);
    QTest::keyClicks(edit.Editor(), "02");
    EXPECT_FALSE(edit.IsValidDate());
    EXPECT_EQ(changes, 2);
    type("31122026");  // back to the last date: no change
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
