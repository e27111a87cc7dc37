#include <QApplication>
#include <QHeaderView>
#include <QSignalSpy>
#include <QLineEdit>
#include <QTest>
#include <QVBoxLayout>

#include "GuiTest.h"
#include "common/Booking.h"
#include "platform/data/Abort.h"
#include "platform/ui/Consiste.h"
#include "platform/ui/DBGrid.h"
#include "platform/ui/DataSource.h"
#include "platform/ui/EditMask.h"

using age::data::FieldType;

namespace {

TEST(EditMask, HourMaskEditsShowsAndStoresAsTheToolkitNeeds) {
    const std::string_view hour = age::kHourEditMask;  // "!90:00;0; "
    // The first digit optional, the others required, the colon a literal, blank as fill.
    EXPECT_EQ(EditMask::InputMask(hour), QStringLiteral("09:99; "));
    EXPECT_EQ(EditMask::InputMask("LLL-000;1;_"), QStringLiteral("AAA-999;_"));
    EXPECT_EQ(EditMask::Format(hour, "0930"), "09:30");
    EXPECT_EQ(EditMask::Format(hour, "930"), " 9:30");  // '!' puts the missing optional digit in front
    EXPECT_EQ(EditMask::Format(hour, ""), "");
    EXPECT_EQ(EditMask::Format(hour, "123456"), "123456");  // does not fit: shown as it is
    EXPECT_EQ(EditMask::Strip(hour, "10:15"), "1015");
    EXPECT_EQ(EditMask::Strip(hour, "9:"), "9");
    EXPECT_EQ(EditMask::Strip("00/00;1;_", "12/34"), "12/34");  // literals stored when the mask says so
}

// A grid over code (read-only), name, status (shown through its word) and hour (masked).
class GridTest : public GuiTest {
protected:
    void SetUp() override {
        GuiTest::SetUp();
        const std::vector<age::data::FieldDef> fields{{"CODE", FieldType::String, 5},
                                                      {"NAME", FieldType::String, 20},
                                                      {"STATUS", FieldType::String, 1},
                                                      {"HOUR", FieldType::String, 5}};
        ds.SetFields(fields);
        ds.FieldByName("NAME").DisplayLabel = "Nome";
        ds.FieldByName("HOUR").EditMask = std::string(age::kHourEditMask);
        ds.FieldByName("STATUS").OnGetText = [](TField& f, std::string& text, bool) {
            text = age::statusWord(f.AsString());
        };
        (new QVBoxLayout(&window))->addWidget(grid);
        grid->SetDataSource(source);
        grid->AddColumn("CODE", "Código").ReadOnly = true;
        grid->AddColumn("NAME");
        grid->AddColumn("STATUS", "Situação", 62);
        grid->AddColumn("HOUR", "Hora");
        source->SetDataSet(&ds);
        auto row = [](const char* c, const char* n, const char* s, const char* h) {
            return age::data::Row{std::string(c), std::string(n), std::string(s), std::string(h)};
        };
        ds.LoadFromPacket({fields, {row("01", "Alfa", "A", "0930"), row("02", "Beta", "C", "1000"),
                                    row("03", "Gama", "A", "1100")}});
        window.resize(600, 300);
        window.show();
        QApplication::setActiveWindow(&window);
        ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
        grid->setFocus();
        QApplication::processEvents();
    }
    QString cell(int row, int column) const { return grid->model()->index(row, column).data().toString(); }
    // The rows the view knows of: it learns them only from the model's notifications.
    int rows() const { return grid->verticalHeader()->count(); }
    void goTo(int row, int column) {
        grid->setCurrentIndex(grid->model()->index(row, column));
        QApplication::processEvents();
    }

    TClientDataSet ds;
    QWidget window;
    TDataSource* source = new TDataSource(&window);
    TDBGrid* grid = new TDBGrid(&window);
};

TEST_F(GridTest, ModelFollowsTheDataSetAndShowsEachFieldsText) {
    ASSERT_EQ(rows(), 3);
    EXPECT_EQ(cell(0, 1), QStringLiteral("Alfa"));
    EXPECT_EQ(cell(1, 2), QStringLiteral("Cancelada"));  // through the field's text event
    EXPECT_EQ(cell(2, 3), QStringLiteral("11:00"));      // through the edit mask
    EXPECT_EQ(grid->model()->headerData(0, Qt::Horizontal).toString(), QStringLiteral("Código"));
    EXPECT_EQ(grid->model()->headerData(1, Qt::Horizontal).toString(), QStringLiteral("Nome"));  // the label
    EXPECT_EQ(grid->columnWidth(2), 62);
    EXPECT_EQ(Consiste::IndiceCol(grid, "STATUS"), 2);
    EXPECT_EQ(Consiste::IndiceCol(grid, "NOPE"), -1);

    ds.Next();  // the current row follows both ways
    EXPECT_EQ(grid->currentIndex().row(), 1);
    goTo(2, 1);
    EXPECT_EQ(ds.RecNo(), 2);
    QTest::keyClick(grid, Qt::Key_Up);
    EXPECT_EQ(ds.RecNo(), 1);

    ds.Edit();  // a value set by code reaches the view
    QSignalSpy changed(grid->model(), &QAbstractItemModel::dataChanged);
    ds.FieldByName("NAME").SetAsString("Beta 2");
    EXPECT_FALSE(changed.isEmpty());
    ds.Cancel();
    ds.Insert();
    EXPECT_EQ(rows(), 4);
    EXPECT_EQ(grid->currentIndex().row(), ds.RecNo());
    ds.Cancel();
    EXPECT_EQ(rows(), 3);
    ds.SetFilter("STATUS IN ('A')");
    ds.SetFiltered(true);
    EXPECT_EQ(rows(), 2);
    EXPECT_EQ(cell(1, 0), QStringLiteral("03"));
    ds.Close();
    EXPECT_EQ(rows(), 0);
}

TEST_F(GridTest, RefusedPostKeepsTheGridOnTheRowWithWhatWasTyped) {
    ds.BeforePost = [](TClientDataSet&) { throw EAbort(); };
    goTo(1, 1);
    ds.Edit();
    ds.FieldByName("NAME").SetAsString("Beta 2");
    goTo(0, 1);
    EXPECT_EQ(ds.RecNo(), 1);
    EXPECT_EQ(ds.State(), TDataSetState::dsEdit);
    EXPECT_EQ(grid->currentIndex().row(), 1);
    EXPECT_EQ(cell(1, 1), QStringLiteral("Beta 2"));
}

TEST_F(GridTest, EditorsWriteThroughTheFieldAndItsMaskButNotIntoAReadOnlyColumn) {
    goTo(0, 1);
    QTest::keyClick(grid, 'Z');  // typing starts the edit
    ASSERT_TRUE(grid->Editing());
    EXPECT_EQ(ds.State(), TDataSetState::dsEdit);
    auto* editor = grid->findChild<QLineEdit*>();
    ASSERT_NE(editor, nullptr);
    QTest::keyClicks(editor, "eta");
    EXPECT_EQ(editor->text(), QStringLiteral("Zeta"));
    QTest::keyClick(editor, Qt::Key_Return);
    QApplication::processEvents();  // the delegate commits on a queued call
    EXPECT_FALSE(grid->Editing());
    EXPECT_EQ(ds.FieldByName("NAME").AsString(), "Zeta");
    EXPECT_TRUE(ds.Modified());

    goTo(0, 3);
    QTest::keyClick(grid, Qt::Key_F2);
    editor = grid->findChild<QLineEdit*>();
    ASSERT_NE(editor, nullptr);
    EXPECT_EQ(editor->inputMask(), QStringLiteral("09:99"));
    editor->setText("10:15");
    ASSERT_TRUE(grid->CommitEditor());
    EXPECT_EQ(ds.FieldByName("HOUR").AsString(), "1015");
    EXPECT_EQ(cell(0, 3), QStringLiteral("10:15"));

    goTo(0, 0);  // a read-only column opens no editor until it is flipped at run time
    QTest::keyClick(grid, Qt::Key_F2);
    EXPECT_FALSE(grid->Editing());
    grid->Columns()[0].ReadOnly = false;
    QTest::keyClick(grid, Qt::Key_F2);
    EXPECT_TRUE(grid->Editing());
}

TEST_F(GridTest, ColumnEnterRunsOnEveryColumnChangeOnly) {
    int entered = 0;
    grid->OnColEnter = [&](QObject*) { ++entered; };
    goTo(0, 1);
    int start = entered;
    QTest::keyClick(grid, Qt::Key_Right);
    QTest::keyClick(grid, Qt::Key_Down);
    EXPECT_EQ(entered, start + 1);
    grid->FocusField("CODE");
    EXPECT_EQ(entered, start + 2);
    EXPECT_EQ(grid->SelectedField()->FieldName(), "CODE");
    EXPECT_EQ(grid->currentIndex().row(), ds.RecNo());
}

}  // namespace
