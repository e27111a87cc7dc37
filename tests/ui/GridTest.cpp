#include <QApplication>
#include <QComboBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QTest>
#include <QVBoxLayout>
#include <memory>
#include <set>

#include "GuiTest.h"
#include "common/Booking.h"
#include "platform/data/Abort.h"
#include "platform/ui/Consiste.h"
#include "platform/ui/DBGrid.h"
#include "platform/ui/DataSource.h"

using age::data::FieldType;
using age::data::Packet;

namespace {

class GridTest : public GuiTest {
protected:
    void SetUp() override {
        GuiTest::SetUp();
        ds.SetFields({{"CODE", FieldType::String, 5},
                      {"NAME", FieldType::String, 20},
                      {"STATUS", FieldType::String, 1},
                      {"HOUR", FieldType::String, 5}});
        ds.FieldByName("NAME").DisplayLabel = "Nome";
        ds.FieldByName("HOUR").EditMask = std::string(age::kHourEditMask);
        ds.FieldByName("STATUS").OnGetText = [](TField& f, std::string& text, bool) { text = age::statusWord(f.AsString()); };
        ds.FieldByName("STATUS").OnSetText = [this](TField& f, const std::string& text) {
            setTexts.push_back(text);
            if (auto code = age::statusCode(text)) f.SetAsString(*code);
        };
        window = std::make_unique<QWidget>();
        source = new TDataSource(window.get());
        grid = new TDBGrid(window.get());
        auto* layout = new QVBoxLayout(window.get());
        layout->addWidget(grid);
        grid->SetDataSource(source);
        grid->AddColumn("CODE", "Código").ReadOnly = true;
        grid->AddColumn("NAME");
        grid->AddColumn("STATUS", "Situação", 62).PickList = {"Agendada", "Cancelada", "Encerrada"};
        grid->AddColumn("HOUR", "Hora");
        source->SetDataSet(&ds);
        ds.LoadFromPacket(Packet{defs(),
                                 {{std::string("01"), std::string("Alfa"), std::string("A"), std::string("0930")},
                                  {std::string("02"), std::string("Beta"), std::string("C"), std::string("1000")},
                                  {std::string("03"), std::string("Gama"), std::string("A"), std::string("1100")}}});
        window->resize(600, 300);
        window->show();
        QApplication::setActiveWindow(window.get());
        ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
        grid->setFocus();
        QApplication::processEvents();
    }
    void TearDown() override {
        window.reset();
        GuiTest::TearDown();
    }
    std::vector<age::data::FieldDef> defs() const {
        std::vector<age::data::FieldDef> d;
        for (const auto& f : ds.Fields()) d.push_back(f->Def());
        return d;
    }
    QString cell(int row, int column) const { return grid->model()->index(row, column).data().toString(); }
    void goTo(int row, int column) {
        grid->setCurrentIndex(grid->model()->index(row, column));
        QApplication::processEvents();
    }

    TClientDataSet ds;
    std::unique_ptr<QWidget> window;
    TDataSource* source;
    TDBGrid* grid;
    std::vector<std::string> setTexts;
};

TEST_F(GridTest, CellsShowTheFieldsDisplayTextAndColumnsTheirTitles) {
    ASSERT_EQ(grid->model()->rowCount(), 3);
    EXPECT_EQ(cell(0, 1), QStringLiteral("Alfa"));
    EXPECT_EQ(cell(1, 2), QStringLiteral("Cancelada"));  // through the field's text event
    EXPECT_EQ(cell(2, 3), QStringLiteral("11:00"));      // through the edit mask
    auto* header = grid->model();
    EXPECT_EQ(header->headerData(0, Qt::Horizontal).toString(), QStringLiteral("Código"));
    EXPECT_EQ(header->headerData(1, Qt::Horizontal).toString(), QStringLiteral("Nome"));  // the display label
    EXPECT_EQ(grid->columnWidth(2), 62);
    EXPECT_EQ(Consiste::IndiceCol(grid, "STATUS"), 2);
    EXPECT_EQ(Consiste::IndiceCol(grid, "NOPE"), -1);
}

TEST_F(GridTest, CurrentRowFollowsBothWays) {
    ds.Next();
    EXPECT_EQ(grid->currentIndex().row(), 1);
    goTo(2, 1);
    EXPECT_EQ(ds.RecNo(), 2);
    QTest::keyClick(grid, Qt::Key_Up);
    EXPECT_EQ(ds.RecNo(), 1);
}

TEST_F(GridTest, RowsInsertedRemovedAndFilteredReachTheGrid) {
    ds.Insert();
    EXPECT_EQ(grid->model()->rowCount(), 4);
    EXPECT_EQ(grid->currentIndex().row(), ds.RecNo());
    ds.Cancel();
    EXPECT_EQ(grid->model()->rowCount(), 3);
    ds.SetFilter("STATUS IN ('A')");
    ds.SetFiltered(true);
    EXPECT_EQ(grid->model()->rowCount(), 2);
    EXPECT_EQ(cell(1, 0), QStringLiteral("03"));
    ds.Close();
    EXPECT_EQ(grid->model()->rowCount(), 0);
}

TEST_F(GridTest, RefusedPostKeepsTheGridOnTheRowWithWhatWasTyped) {
    ds.BeforePost = [](TClientDataSet&) { throw EAbort(); };
    goTo(1, 1);
    ds.Edit();
    ds.FieldByName("NAME").SetAsString("Beta 2");
    goTo(0, 1);
    QApplication::processEvents();
    EXPECT_EQ(ds.RecNo(), 1);
    EXPECT_EQ(ds.State(), TDataSetState::dsEdit);
    EXPECT_EQ(grid->currentIndex().row(), 1);
    EXPECT_EQ(cell(1, 1), QStringLiteral("Beta 2"));
}

TEST_F(GridTest, TypingStartsEditAndWritesThroughTheField) {
    goTo(0, 1);
    QTest::keyClick(grid, 'Z');
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
}

TEST_F(GridTest, HourColumnEditsThroughItsMaskAndStoresWithoutTheColon) {
    goTo(1, 3);
    QTest::keyClick(grid, Qt::Key_F2);
    auto* editor = grid->findChild<QLineEdit*>();
    ASSERT_NE(editor, nullptr);
    EXPECT_EQ(editor->inputMask(), QStringLiteral("09:99"));
    editor->setText("10:15");
    ASSERT_TRUE(grid->CommitEditor());
    EXPECT_EQ(ds.FieldByName("HOUR").AsString(), "1015");
    EXPECT_EQ(cell(1, 3), QStringLiteral("10:15"));
}

TEST_F(GridTest, PickListColumnEditsWithItsWordsThroughSetText) {
    goTo(0, 2);
    QTest::keyClick(grid, Qt::Key_F2);
    auto* combo = grid->findChild<QComboBox*>();
    ASSERT_NE(combo, nullptr);
    EXPECT_EQ(combo->count(), 3);
    EXPECT_EQ(combo->currentText(), QStringLiteral("Agendada"));
    combo->setCurrentIndex(1);
    ASSERT_TRUE(grid->CommitEditor());
    EXPECT_EQ(setTexts, std::vector<std::string>{"Cancelada"});
    EXPECT_EQ(ds.FieldByName("STATUS").AsString(), "C");
}

TEST_F(GridTest, RefusedEditOpensNoEditor) {
    ds.BeforeEdit = [](TClientDataSet&) { throw EAbort(); };
    goTo(0, 1);
    QTest::keyClick(grid, 'x');
    EXPECT_FALSE(grid->Editing());
    EXPECT_EQ(ds.State(), TDataSetState::dsBrowse);
    EXPECT_EQ(ds.FieldByName("NAME").AsString(), "Alfa");
}

TEST_F(GridTest, ReadOnlyColumnTakesNoEditorAndFlipsAtRunTime) {
    goTo(0, 0);
    QTest::keyClick(grid, Qt::Key_F2);
    EXPECT_FALSE(grid->Editing());
    grid->Columns()[0].ReadOnly = false;
    QTest::keyClick(grid, Qt::Key_F2);
    EXPECT_TRUE(grid->Editing());
}

TEST_F(GridTest, KeyPressHandlerCanDropTypedKeysInTheGridAndItsEditors) {
    std::vector<QChar> seen;
    grid->OnKeyPress = [&](QObject* sender, QChar& key) {
        EXPECT_EQ(sender, grid);
        seen.push_back(key);
        if (grid->SelectedField() && grid->SelectedField()->FieldName() == "STATUS") throw EAbort();
    };
    goTo(0, 2);
    QTest::keyClick(grid, 'c');
    EXPECT_FALSE(grid->Editing());
    EXPECT_EQ(ds.State(), TDataSetState::dsBrowse);
    // An open list editor would pick a word by its first letter; the handler keeps it from doing so.
    QTest::keyClick(grid, Qt::Key_F2);
    auto* combo = grid->findChild<QComboBox*>();
    ASSERT_NE(combo, nullptr);
    QTest::keyClick(combo, 'E');
    EXPECT_EQ(combo->currentText(), QStringLiteral("Agendada"));
    EXPECT_EQ(seen, (std::vector<QChar>{'c', 'E'}));
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

TEST_F(GridTest, DrawingHandlerSeesTheRowBeingPainted) {
    std::set<std::string> painted;
    grid->OnDrawColumnCell = [&](QObject*, const QRect& rect, int dataCol, TColumn& column, TGridDrawState) {
        if (dataCol == 0) painted.insert(ds.FieldByName("CODE").AsString() + "/" + column.Field()->FieldName());
        grid->Canvas().Brush.Color = Qt::red;
        grid->Canvas().TextRect(rect, rect.left(), rect.top() + 3, QString::fromStdString(column.Field()->DisplayText()));
    };
    QImage image = grid->viewport()->grab().toImage();
    EXPECT_EQ(painted, (std::set<std::string>{"01/CODE", "02/CODE", "03/CODE"}));
    bool red = false;
    for (int y = 0; y < image.height() && !red; ++y)
        for (int x = 0; x < image.width() && !red; ++x) red = image.pixelColor(x, y) == QColor(Qt::red);
    EXPECT_TRUE(red) << "cells are painted through the handler's canvas";
}

}  // namespace
