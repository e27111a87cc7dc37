// The automatic booking dialog: books the room of the agenda screen's current booking, for its hours and
// reference, on every chosen weekday of a period. It is opened modally from the agenda screen and has no
// server connection or booking data of its own: it reaches both through Cli_Age12100::frmAgendaDeSala.
// Every opening creates a fresh dialog; closing it releases it.
#pragma once

#include <QDialog>
#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "common/Dates.h"
#include "common/Zel_msg.h"

class QCheckBox;
class QGroupBox;
class QLabel;
class QFrame;
class TButtonFlat;
class TDateEditPlus;

// What a close does with the window; the dialog's close handler leaves it as it comes.
enum class TCloseAction { caNone, caHide, caFree };

class TfrmCadAutoSala : public QDialog {
    Q_OBJECT
  public:
    explicit TfrmCadAutoSala(QWidget* parent = nullptr);
    // Runs FormDestroy.
    ~TfrmCadAutoSala() override;

    QGroupBox* grbDadosRel;
    QGroupBox* grbPeriodo;
    QLabel* Label1;
    TDateEditPlus* depDe;
    QLabel* lblAte;
    TDateEditPlus* depAte;
    QGroupBox* GroupBox1;
    QCheckBox* chbDom;
    QCheckBox* chbSeg;
    QCheckBox* chbTer;
    QCheckBox* chbQua;
    QCheckBox* chbQui;
    QCheckBox* chbSex;
    QCheckBox* chbSab;
    QFrame* panMenu;
    QFrame* panBotoes;
    TButtonFlat* sbtConfirma;
    TButtonFlat* sbtCancel;
    QFrame* panHelp;
    TButtonFlat* sbtHelp;
    QLabel* lblCodTela;
    TMessages msgPadrao;
    // The dialog's help context; a control may carry its own as the int property "HelpContext".
    int HelpContext = 0;

    // The weekday boxes by weekday number minus one: Sunday first.
    std::array<QCheckBox*, 7> WeekdayBoxes() const;

    void FormCreate(QObject* Sender);
    void FormActivate(QObject* Sender);
    void FormClose(QObject* Sender, TCloseAction& Action);
    void FormDestroy(QObject* Sender);
    void FormKeyPress(QObject* Sender, QChar& Key);
    void FormKeyDown(QObject* Sender, int& Key, Qt::KeyboardModifiers Shift);
    void sbtConfirmaClick(QObject* Sender);
    void sbtCancelClick(QObject* Sender);
    void sbtHelpClick(QObject* Sender);
    void grbPeriodoExit(QObject* Sender);
    void GroupBox1Click(QObject* Sender);
    void depDeExit(QObject* Sender);
    void depAteExit(QObject* Sender);
    void depDeDateChange(QObject* Sender);
    void depAteDateChange(QObject* Sender);
    void chbDomClick(QObject* Sender);
    void chbSegClick(QObject* Sender);
    void chbTerClick(QObject* Sender);
    void chbQuaClick(QObject* Sender);
    void chbQuiClick(QObject* Sender);
    void chbSexClick(QObject* Sender);
    void chbSabClick(QObject* Sender);

    // The server's current date and time, asked afresh through the agenda screen's connection.
    age::DateTime verifica_data();
    // Enables the boxes of the weekdays the period holds (all for seven days apart or more) and unchecks
    // every disabled one.
    void ValidaDias();
    // Keeps inQtDiaSem equal to the number of checked boxes; `box` has just changed its checked state.
    void qtDias(QObject* box);

    // Showing or hiding the dialog: asks for its placement, lets the toolkit change the window's state,
    // and empties stDias.
    void CMShowingChanged(bool showing);
    // The window was shown or hidden: places it over the centre of the host's main window when asked to.
    void WMShowWindow(bool shown);

    // What the confirmation does with the conflict query's reply: books at once, stops, refuses, or asks
    // about the taken days and books the rest on Yes.
    void answerConflictReply(const std::string& reply);

    void setVisible(bool visible) override;

  protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

  private:
    void buildPeriodGroup();
    void buildWeekdayGroup();
    void buildButtonStrip();
    void connectHandlers();
    void previewKey(QKeyEvent* event);
    void placeOverMainWindow();
    // Puts the focus on the control and reports the catalogue text of `key`, ending the event.
    [[noreturn]] void refuse(QWidget* control, std::string_view key);
    void buildDateList();
    void bookTheDays();
    void reportDaysNotBooked(const std::string& asked, const std::string& booked);
    void runHandler(const std::function<void()>& handler);

    bool boCentraliza = false;
    bool placingFocus_ = false;  // the dialog moves the focus itself: no exit checks
};

namespace Cli_Age12110 {

extern TfrmCadAutoSala* frmCadAutoSala;  // the dialog of the latest opening
extern bool boIdCriado;                  // a dialog exists (cleared when it closes)
extern std::int32_t inQtDiaSem;          // weekday boxes checked
extern std::string stDias;               // the confirmation's date list, "_dd/mm/aaaa" per day
extern std::int32_t DiaSemana;           // the walk's weekday, 1 Sunday to 7 Saturday
extern age::Date dtDataAux;              // the walk's running day

// Creates the dialog when none exists and shows it modally; returns when it has closed. The hourglass
// covers the creation (one server call); the dialog itself runs under the normal cursor.
void criaCadAutoSala();

}  // namespace Cli_Age12110
