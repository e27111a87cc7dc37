// The room agenda screen: a day and a room chosen at the top, that room's bookings of the day in the grid.
// This unit holds the screen's single instance and its entry CriaAgendaSala.
#pragma once

#include <QComboBox>
#include <QLineEdit>
#include <QToolBar>
#include <QToolButton>

#include "platform/rpc/NetConnection.h"
#include "platform/ui/DateEditPlus.h"
#include "platform/ui/FrmPadraoGrid.h"

class TfrmAgendaDeSala : public TfrmPadraoGrid {
    Q_OBJECT
public:
    explicit TfrmAgendaDeSala(QWidget* parent = nullptr);
    // Clears the unit state when the screen is the unit's instance: the entry never shows a freed screen.
    ~TfrmAgendaDeSala() override;

    // The module's only connection to the server; the automatic booking dialog uses it too.
    TNetConnection netAgendaSala;
    TClientDataSet* cdsSala;        // GetSala: CDSALA
    TClientDataSet* cdsAgendaSala;  // GetAgendaSala: the booking record, shown by the grid
    TClientDataSet* cdsSysdate;     // GetSysdate: SYSDATE
    TClientDataSet* cdsNrSeq;       // GetNrSeq: NRSEQ
    TClientDataSet* cdsNmSala;      // getNmSala: NMSALA
    TClientDataSet* cdsHora;        // GetHora: HRINIAGESALA, HRFINAGESALA

    QFrame* panPrincipal;
    QLabel* lblAgendaDia;
    TDateEditPlus* depAgenda;
    QLabel* lblSala;
    QComboBox* cbbSalas;
    QLineEdit* edtNmSala;
    TButtonFlat* sbtCadAuto;
    QAction* mnuCadAuto;
    QToolBar* tbtFiltro;
    QToolButton* tbtAgendada;
    QToolButton* tbtCancelada;
    QToolButton* tbtEncerrada;

    void FormCreate(QObject* Sender) override;
    void FormActivate(QObject* Sender) override;
    void netAgendaSalaBeforeConnect(TNetConnection& Sender);
    void cbbSalasChange(QObject* Sender);
    void sbtCadAutoClick(QObject* Sender);
    // The status filter buttons; the filter itself comes with the grid presentation.
    void tbtAgendadaClick(QObject* Sender);
    void tbtCanceladaClick(QObject* Sender);
    void tbtEncerradaClick(QObject* Sender);

private:
    void buildSelectionPanel();
    void buildFilterBar();
    void defineDataSets();
    void defineColumns();
    void attachRoomChange();
    void detachRoomChange();
    QMetaObject::Connection roomChange_;
};

namespace Cli_Age12100 {

// The one agenda screen of this load of the module, and whether it exists. Both are cleared when the
// screen is destroyed (closing it frees it), so the entry creates a fresh one next time.
extern TfrmAgendaDeSala* frmAgendaDeSala;
extern bool boIdCriado;

// Creates the screen on the first call and shows it, under the hourglass and the busy animation, in normal
// window state. A failure stops the animation, restores the cursor and goes on to the caller.
void CriaAgendaSala();

}  // namespace Cli_Age12100
