#include <QApplication>
#include <QTest>

#include "GuiTest.h"
#include "platform/ui/FrmPadraoGrid.h"

using age::data::FieldType;
using age::data::Packet;
using age::ui::Answer;
using age::ui::BoxKind;
using Boxes = std::vector<age::ui::ShownBox>;

namespace {

class TfrmTeste : public TfrmPadraoGrid {
public:
    TfrmTeste() {
        cds = NewDataSet("cds");
        cds->SetFields({{"CODE", FieldType::String, 5}});
        dtsPadrao->SetDataSet(cds);
        dbgPadrao->AddColumn("CODE", "Código");
    }
    void dtsPadraoStateChange(QObject* Sender) override {
        TfrmPadraoGrid::dtsPadraoStateChange(Sender);
        ++stateChanges;
    }
    void sbtVerificarClick(QObject*) override { ++refreshes; }
    void load() {
        cds->LoadFromPacket(Packet{{{"CODE", FieldType::String, 5}}, {{std::string("01")}, {std::string("02")}}});
    }
    TClientDataSet* cds;
    int stateChanges = 0;
    int refreshes = 0;
};

class StandardScreenTest : public GuiTest {
protected:
    void SetUp() override {
        GuiTest::SetUp();
        Application::CreateForm(form);
        form->Show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form));
    }
    void TearDown() override {
        delete form;
        GuiTest::TearDown();
    }
    // Which of insert, edit, delete, save, cancel, refresh, print, help, close are on; and the menu agrees.
    std::string enabled() const {
        std::string on;
        const std::pair<TButtonFlat*, QAction*> commands[] = {
            {form->sbtIncluir, form->mnuIncluir},   {form->sbtAlterar, form->mnuAlterar},
            {form->sbtExcluir, form->mnuExcluir},   {form->sbtGravar, form->mnuGravar},
            {form->sbtCancelar, form->mnuCancelar}, {form->sbtVerificar, form->mnuVerificar},
            {form->sbtImprimir, form->mnuImprimir}, {form->sbtAjuda, form->mnuAjuda},
            {form->sbtFechar, form->mnuFechar}};
        for (auto [button, item] : commands) {
            EXPECT_EQ(button->isEnabled(), item->isEnabled()) << button->objectName().toStdString();
            on += button->isEnabled() ? '1' : '0';
        }
        return on;
    }
    TfrmTeste* form = nullptr;
};

TEST_F(StandardScreenTest, CommandsFollowTheDataSetState) {
    EXPECT_EQ(enabled(), "000001011");  // closed: refresh, help, close
    form->load();
    EXPECT_EQ(enabled(), "111001111");  // browse
    form->cds->Edit();
    EXPECT_EQ(enabled(), "000110011");  // edit
    form->cds->Cancel();
    form->cds->Insert();
    EXPECT_EQ(enabled(), "000110011");  // insert
    form->sbtCancelar->click();
    EXPECT_EQ(form->cds->State(), TDataSetState::dsBrowse);
    EXPECT_EQ(form->cds->RecordCount(), 2);
    form->PrintEnabled = false;
    form->cds->Close();
    form->load();
    EXPECT_EQ(enabled(), "111001011");
    EXPECT_GT(form->stateChanges, 0);  // the screen's override ran through the data source
}

TEST_F(StandardScreenTest, ButtonsAndMenuItemsRunTheirHandlersAndDeleteAsksFirst) {
    form->load();
    age::ui::MessageService::Instance().ScriptAnswers({Answer::No, Answer::Yes});
    form->sbtExcluir->click();
    EXPECT_EQ(form->cds->RecordCount(), 2);
    form->mnuExcluir->trigger();
    EXPECT_EQ(form->cds->RecordCount(), 1);
    EXPECT_EQ(shown(), (Boxes{{BoxKind::Confirmation, "Confirma exclusão?"},
                              {BoxKind::Confirmation, "Confirma exclusão?"}}));

    form->sbtAlterar->click();
    EXPECT_EQ(form->cds->State(), TDataSetState::dsEdit);
    form->cds->FieldByName("CODE").SetAsString("09");
    form->sbtGravar->click();
    EXPECT_EQ(form->cds->State(), TDataSetState::dsBrowse);
    EXPECT_EQ(form->cds->FieldByName("CODE").AsString(), "09");
    form->sbtIncluir->click();
    EXPECT_EQ(form->cds->State(), TDataSetState::dsInsert);
    form->mnuCancelar->trigger();
    EXPECT_EQ(form->cds->State(), TDataSetState::dsBrowse);
    form->sbtVerificar->click();
    form->mnuVerificar->trigger();
    EXPECT_EQ(form->refreshes, 2);
    form->sbtAjuda->click();
    EXPECT_EQ(shown(), (Boxes{{BoxKind::Help, "0"}}));
}

TEST_F(StandardScreenTest, EveryCommandHasAShortcutThatWorksFromTheGrid) {
    for (QAction* item : form->mnuManutencao->actions())
        EXPECT_TRUE(item->isSeparator() || !item->shortcut().isEmpty()) << item->text().toStdString();
    for (auto* button : form->panMenu->findChildren<TButtonFlat*>()) {  // named for screen readers, no focus
        EXPECT_FALSE(button->accessibleName().isEmpty()) << button->objectName().toStdString();
        EXPECT_EQ(button->focusPolicy(), Qt::NoFocus);
    }
    QApplication::setActiveWindow(form);
    ASSERT_TRUE(QTest::qWaitForWindowActive(form));
    form->load();
    form->dbgPadrao->setFocus();
    QTest::keyClick(form->dbgPadrao, Qt::Key_L, Qt::ControlModifier);
    EXPECT_EQ(form->cds->State(), TDataSetState::dsEdit);
    QTest::keyClick(form->dbgPadrao, Qt::Key_C, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(form->cds->State(), TDataSetState::dsBrowse);
    QTest::keyClick(form->dbgPadrao, Qt::Key_F5);
    EXPECT_EQ(form->refreshes, 1);
}

}  // namespace
