// The room agenda screen: a day and a room chosen at the top, that room's bookings of the day in the grid.
// This unit holds the screen's single instance and its entry CriaAgendaSala.
#pragma once

#include <QComboBox>
#include <QIcon>
#include <QList>
#include <optional>
#include <vector>
#include <QLineEdit>
#include <QToolBar>
#include <QToolButton>

#include "common/BookingRules.h"
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
    QList<QIcon> imgAgend;  // images of the filter buttons: scheduled, cancelled, closed

    void FormCreate(QObject* Sender) override;
    void FormActivate(QObject* Sender) override;
    void netAgendaSalaBeforeConnect(TNetConnection& Sender);
    void sbtCadAutoClick(QObject* Sender);

    // --- day and room selection, loading the agenda
    // Refuses to leave an empty day or a text that is no date.
    void depAgendaExit(QObject* Sender);
    // Fetches and shows the chosen room's name; loads no bookings.
    void cbbSalasChange(QObject* Sender);
    // Loads the bookings of the chosen room and day and applies the status filter, keeping a booking that
    // a refresh made current. A failed load is absorbed (its message shown once): the focus moves on and
    // the grid keeps what it had.
    void panPrincipalExit(QObject* Sender);
    // Reloads the bookings under the filter in force, keeping the current booking current when it is still
    // listed.
    void sbtVerificarClick(QObject* Sender) override;
    // From the selection panel, insert and edit first leave it, as moving into the grid does: the agenda of
    // the panel's room and day is loaded before the row is entered, and no reload discards it afterwards.
    void sbtIncluirClick(QObject* Sender) override;
    void sbtAlterarClick(QObject* Sender) override;
    // Insert command by day: on for the server's today (whatever its hour) and later days, off for past
    // days, and off while no agenda is loaded. Asks the server for its date every time.
    void enableButton();

    // --- status filter and grid presentation
    // Filters the bookings by the filter buttons down: IDSITAGESALA IN (' ', 'A', ...).
    void filtra_Agend();
    // A toggle while a booking is being entered or edited is put back, silently.
    void tbtAgendadaClick(QObject* Sender);
    void tbtCanceladaClick(QObject* Sender);
    void tbtEncerradaClick(QObject* Sender);
    // Text coloured by status (cancelled maroon, scheduled navy, closed greyed); a selected cell white on
    // the highlight colour. While a booking is entered, its "Responsável" shows the operator code.
    void dbgPadraoDrawColumnCell(QObject* Sender, const QRect& Rect, int DataCol, TColumn& Column,
                                 TGridDrawState State);
    void cdsAgendaSalaIDSITAGESALAGetText(TField& Sender, std::string& Text, bool DisplayText);
    void cdsAgendaSalaIDSITAGESALASetText(TField& Sender, const std::string& Text);
    void cdsAgendaSalaCDOPERADORGetText(TField& Sender, std::string& Text, bool DisplayText);
    // In browse, the status column is editable only on a scheduled booking.
    void dbgPadraoColEnter(QObject* Sender);
    // Typed keys never reach the status column: it changes through its pick list only.
    void dbgPadraoKeyPress(QObject* Sender, QChar& Key) override;

    // --- editing, validation and saving
    // Defaults of a new booking: branch and operator from the host, room and day from the selection, the
    // server's now as reservation stamp, status A, the server's next sequence number; focus on the reference.
    void cdsAgendaSalaNewRecord(TClientDataSet& DataSet);
    // The server's next sequence number for the chosen room and day, as it gave it.
    std::string nrSeq();
    void cdsAgendaSalaAfterInsert(TClientDataSet& DataSet);
    // Only a scheduled booking can be changed; any other is refused silently.
    void cdsAgendaSalaBeforeEdit(TClientDataSet& DataSet);
    // The field checks in order, then the overlap check against the room's booked hours of the day; the
    // first failure puts the focus on its field and ends the post with its message. Then the stamp.
    void cdsAgendaSalaBeforePost(TClientDataSet& DataSet);
    // After every post and delete: sends the one change to the server and merges it, or undoes every unsent
    // change when anything fails; then refreshes (a new booking gets its operator's name).
    void cdsAgendaSalaAfterPost(TClientDataSet& DataSet);
    void cdsAgendaSalaAfterCancel(TClientDataSet& DataSet);
    void cdsAgendaSalaAfterScroll(TClientDataSet& DataSet);
    // The commands by state: insert by day (as it was when the server's date cannot be read); edit and
    // delete only on a scheduled booking while browsing; automatic booking exactly when save is off.
    void dtsPadraoStateChange(QObject* Sender) override;
    void sbtCancelarClick(QObject* Sender) override;
    // Entering the selection panel closes the bookings: a row half filled is discarded, not posted.
    void panPrincipalEnter(QObject* Sender);

private:
    void buildSelectionPanel();
    void buildFilterBar();
    void keyboardOrder();
    void defineDataSets();
    void defineColumns();
    void bindEvents();
    void attachRoomChange();
    void detachRoomChange();
    // The day must be a date: empty gives dtage_deve, anything else that is no date data_vali.
    void checkDay();
    // Reads the bookings of the chosen room and day (checked first by the callers).
    void loadAgenda();
    // Room and sequence number of the current booking; nothing when no booking is current.
    std::optional<std::vector<age::data::Value>> currentBooking() const;
    // Moves the focus from the selection panel into the grid (loading the agenda); aborts when refused.
    void leaveSelectionPanel();
    void saveChanges();
    void returnToRefusedRow(const age::data::ChangeLog& log);
    std::vector<age::HourSpan> bookedHours();
    // Focus on the field, its message, and the post ends there.
    void refuse(std::string_view key, age::BookingFocus focus);
    void toggleFilter(QToolButton* button);
    bool bookingChanging() const;
    TColumn& statusColumn();
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
