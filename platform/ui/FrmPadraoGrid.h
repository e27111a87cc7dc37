// The standard grid screen: the furniture every grid screen shares and the standard handling of its
// commands. A screen derives from it, builds its own controls in its constructor, binds its data set to
// dtsPadrao and its columns to dbgPadrao, and overrides the handlers below (calling the inherited one
// first, as TfrmPadraoGrid::dtsPadraoStateChange(Sender)).
//
// Commands (button of panMenu, item of mnuManutencao, keyboard shortcut):
//   sbtIncluir   mnuIncluir   Ctrl+N     insert a row into the data set
//   sbtAlterar   mnuAlterar   Ctrl+L     put the current row into edit state in the grid
//   sbtExcluir   mnuExcluir   Ctrl+Del   delete the current row after msgMensagensPadroes "Excl" (Yes/No)
//   sbtGravar    mnuGravar    Ctrl+S     post the row being entered or edited
//   sbtCancelar  mnuCancelar  Ctrl+Shift+C  cancel the row being entered or edited (Esc in the grid too)
//   sbtVerificar mnuVerificar F5         refresh: the screen's sbtVerificarClick
//   sbtImprimir  mnuImprimir  Ctrl+P     print (PrintEnabled false keeps it off)
//   sbtAjuda     mnuAjuda     F1         help for the screen's HelpContext
//   sbtFechar    mnuFechar    Ctrl+W     close the screen
// State handling (dtsPadraoStateChange): in browse, insert/edit/delete/refresh on and save/cancel off; in
// edit or insert, save/cancel on and the rest off; with the data set closed only refresh, help and close.
// Each menu item takes the enabled state of its button. The shortcuts avoid the keys line editors use
// themselves (Ctrl+Z, Ctrl+E, ...), which would otherwise win inside a field.
//
// Data sets bound to a data source must outlive it: create them with NewDataSet (the screen owns them and
// destroys them after its controls), not as members of the derived class.
#pragma once

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <memory>
#include <vector>

#include "common/Zel_msg.h"
#include "platform/data/ClientDataSet.h"
#include "platform/ui/ButtonFlat.h"
#include "platform/ui/DBGrid.h"
#include "platform/ui/DataSource.h"
#include "platform/ui/Forms.h"

class QVBoxLayout;
class QHBoxLayout;

class TfrmPadraoGrid : public TForm {
    Q_OBJECT
public:
    explicit TfrmPadraoGrid(QWidget* parent = nullptr);
    ~TfrmPadraoGrid() override;

    // --- furniture
    QLabel* lblCodTela;
    QWidget* panMenu;
    TButtonFlat* sbtIncluir;
    TButtonFlat* sbtAlterar;
    TButtonFlat* sbtExcluir;
    TButtonFlat* sbtGravar;
    TButtonFlat* sbtCancelar;
    TButtonFlat* sbtVerificar;
    TButtonFlat* sbtImprimir;
    TButtonFlat* sbtAjuda;
    TButtonFlat* sbtFechar;
    TDBGrid* dbgPadrao;
    QWidget* panNavigator;
    TDBNavigator* dbnPadrao;
    TDBText* dbtNome;
    QMenuBar* mnuMenu;
    QMenu* mnuManutencao;
    QAction* mnuIncluir;
    QAction* mnuAlterar;
    QAction* mnuExcluir;
    QAction* mnuGravar;
    QAction* mnuCancelar;
    QAction* mnuVerificar;
    QAction* mnuImprimir;
    QAction* mnuFechar;
    QMenu* mnuAjudaMenu;
    QAction* mnuAjuda;
    TDataSource* dtsPadrao;
    TMessages msgPadrao;            // the screen's own catalogue
    TMessages msgMensagensPadroes;  // the framework's standard texts ("Excl")
    bool PrintEnabled = true;       // design value of sbtImprimir

    // --- the standard handlers; screens override and call these first
    void FormCreate(QObject* Sender) override;
    virtual void dtsPadraoStateChange(QObject* Sender);
    virtual void sbtIncluirClick(QObject* Sender);
    virtual void sbtAlterarClick(QObject* Sender);
    virtual void sbtExcluirClick(QObject* Sender);
    virtual void sbtGravarClick(QObject* Sender);
    virtual void sbtCancelarClick(QObject* Sender);
    virtual void sbtVerificarClick(QObject* Sender);
    virtual void sbtImprimirClick(QObject* Sender);
    virtual void sbtAjudaClick(QObject* Sender);
    virtual void sbtFecharClick(QObject* Sender);
    // A character typed in the grid: drops it on a cell that cannot be edited (there it would only search).
    virtual void dbgPadraoKeyPress(QObject* Sender, QChar& Key);

    // --- for derived screens
    TClientDataSet* NewDataSet(const std::string& name);
    // The area between the button bar and the grid, where a screen puts its selection panel.
    QVBoxLayout* TopArea() const { return topArea_; }
    QHBoxLayout* NavigatorLayout() const { return navigatorLayout_; }
    // Puts a button into the button bar at `position` (0 is the first) and a menu item mirroring it into
    // mnuManutencao at `menuPosition`; both run `handler` through the toolkit boundary.
    void AddCommand(TButtonFlat* button, int position, QAction* item, int menuPosition,
                    std::function<void(QObject*)> handler);
    // Runs a handler of this screen through the toolkit boundary (slots and events of derived screens).
    void RunHandler(const std::function<void()>& handler);
    // A small picture of a glyph, for buttons without an image of their own.
    static QIcon GlyphIcon(const QString& glyph, const QColor& color = QColor(30, 60, 120));

private:
    TButtonFlat* makeButton(const char* name, const QString& hint, const QString& glyph, const QColor& color);
    QAction* makeItem(const char* name, const QString& caption, const QKeySequence& shortcut);
    void bind(TButtonFlat* button, QAction* item, std::function<void(QObject*)> handler);
    QVBoxLayout* topArea_;
    QHBoxLayout* buttonLayout_;
    QHBoxLayout* navigatorLayout_;
    std::vector<std::unique_ptr<TClientDataSet>> dataSets_;
};
