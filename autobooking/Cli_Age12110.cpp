#include "autobooking/Cli_Age12110.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QMainWindow>
#include <QScopedValueRollback>
#include <QVBoxLayout>
#include <algorithm>

#include "agenda/Cli_Age12100.h"
#include "common/Booking.h"
#include "common/BookingRules.h"
#include "common/Catalogs.h"
#include "platform/data/Abort.h"
#include "platform/ui/Boundary.h"
#include "platform/ui/ButtonFlat.h"
#include "platform/ui/Consiste.h"
#include "platform/ui/DateEditPlus.h"
#include "platform/ui/FocusEvents.h"
#include "platform/ui/Forms.h"
#include "platform/ui/FrmPadraoGrid.h"
#include "platform/ui/Ormelin.h"
#include "platform/ui/Services.h"
#include "platform/ui/Showavi.h"
#include "platform/ui/Trad.h"

namespace Cli_Age12110 {
TfrmCadAutoSala* frmCadAutoSala = nullptr;
bool boIdCriado = false;
std::int32_t inQtDiaSem = 0;
std::string stDias;
std::int32_t DiaSemana = 0;
age::Date dtDataAux{};
}  // namespace Cli_Age12110

namespace {

using Cli_Age12100::frmAgendaDeSala;

// The size of the window's client area as designed; Qt's fonts may ask for a little more.
constexpr QSize kDesignClientSize(264, 183);

TfrmAgendaDeSala& agendaScreen() {
    if (!frmAgendaDeSala) throw EUserError("A tela de agendamento de sala não está aberta.");
    return *frmAgendaDeSala;
}

TAppServer& appServer() {
    return agendaScreen().netAgendaSala.AppServer();
}

// The booking every new one copies: the agenda screen's current row, read afresh for each call. With no
// current row every value is empty and the server refuses the template.
struct TemplateBooking {
    std::string room, seq, reference, start, end;
};

TemplateBooking readTemplate() {
    TClientDataSet& cds = *agendaScreen().cdsAgendaSala;
    auto text = [&](const char* field) { return cds.FieldByName(field).AsString(); };
    return {text("CDSALA"), text("NRSEQAGESALA"), text("DSAGENDASALA"), text("HRINIAGESALA"),
            text("HRFINAGESALA")};
}

// The conflict query answers a plain text, not a result envelope.
std::string replyText(const nlohmann::json& reply) {
    if (reply.is_string()) return reply.get<std::string>();
    return reply.is_null() ? std::string() : reply.dump();
}

std::string joined(const std::vector<std::string>& parts, std::string_view separator) {
    std::string out;
    for (const auto& part : parts) {
        if (!out.empty()) out += separator;
        out += part;
    }
    return out;
}

// The dates of a "_dd/mm/aaaa" list, in its order.
std::vector<std::string> datesOf(const std::string& list) {
    std::vector<std::string> dates;
    for (const auto& part : QString::fromStdString(list).split(QLatin1Char('_'), Qt::SkipEmptyParts))
        dates.push_back(part.toStdString());
    return dates;
}

std::string trimmed(const std::string& text) {
    return QString::fromStdString(text).trimmed().toStdString();
}

QGroupBox* titledGroup(const char* name, const QString& title, QWidget* parent) {
    auto* group = new QGroupBox(title, parent);
    group->setObjectName(name);
    QFont bold = group->font();
    bold.setBold(true);
    group->setFont(bold);
    return group;
}

// Controls inside a bold group keep the regular font.
template <class W>
W* regular(W* widget) {
    QFont font = widget->font();
    font.setBold(false);
    widget->setFont(font);
    return widget;
}

TDateEditPlus* periodDate(const char* name, QWidget* parent) {
    auto* edit = regular(new TDateEditPlus(parent));
    edit->setObjectName(name);
    edit->SetValidDateColor(Qt::blue);
    edit->SaveTime = false;
    return edit;
}

TButtonFlat* stripButton(const char* name, const QString& hint, const QString& glyph, const QColor& color,
                         QWidget* parent) {
    auto* button = new TButtonFlat(parent);
    button->setObjectName(name);
    button->SetHint(hint);
    button->setIcon(TfrmPadraoGrid::GlyphIcon(glyph, color));
    button->setFixedSize(40, 36);
    return button;
}

QFrame* panel(const char* name, QWidget* parent) {
    auto* frame = new QFrame(parent);
    frame->setObjectName(name);
    frame->setFrameShape(QFrame::StyledPanel);
    return frame;
}

}  // namespace

TfrmCadAutoSala::TfrmCadAutoSala(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      msgPadrao(age::kAutoBookingMessages) {
    setObjectName("frmCadAutoSala");
    setWindowTitle(QStringLiteral("Cadastramento Automático"));
    // The designed font, set before the controls so that they take it; where it is not installed the
    // font system picks the closest one at the same height.
    QFont designed(QStringLiteral("MS Sans Serif"));
    designed.setPixelSize(11);
    setFont(designed);

    auto* root = new QHBoxLayout(this);
    root->setContentsMargins(0, 0, 0, 0);
    root->setSpacing(0);
    grbDadosRel = new QGroupBox(this);
    grbDadosRel->setObjectName("grbDadosRel");
    auto* left = new QVBoxLayout(grbDadosRel);
    left->setContentsMargins(6, 4, 6, 6);
    left->setSpacing(4);
    buildPeriodGroup();
    buildWeekdayGroup();
    left->addWidget(grbPeriodo);
    left->addWidget(GroupBox1);
    root->addWidget(grbDadosRel, 1);
    buildButtonStrip();
    root->addWidget(panMenu);

    setTabOrder(depDe, depAte);
    QWidget* previous = depAte;
    for (QCheckBox* box : {chbSeg, chbTer, chbQua, chbQui, chbSex, chbSab, chbDom}) {
        setTabOrder(previous, box);
        previous = box;
    }
    connectHandlers();
    // Fixed frame: the designed client area, or what the fonts in use need when that is more.
    setFixedSize(sizeHint().expandedTo(kDesignClientSize));
    // Key preview: the dialog sees every key before the control that has the focus.
    qApp->installEventFilter(this);
}

TfrmCadAutoSala::~TfrmCadAutoSala() {
    Boundary::runQuiet([this] { FormDestroy(this); });
    // However the dialog goes, the next opening creates a fresh one and never reaches a freed one.
    if (Cli_Age12110::frmCadAutoSala == this) {
        Cli_Age12110::frmCadAutoSala = nullptr;
        Cli_Age12110::boIdCriado = false;
    }
}

void TfrmCadAutoSala::buildPeriodGroup() {
    grbPeriodo = titledGroup("grbPeriodo", QStringLiteral("Período"), grbDadosRel);
    grbPeriodo->setMinimumSize(193, 73);
    Label1 = regular(new QLabel(QStringLiteral("De:"), grbPeriodo));
    Label1->setObjectName("Label1");
    depDe = periodDate("depDe", grbPeriodo);
    Label1->setBuddy(depDe);
    lblAte = regular(new QLabel(QStringLiteral("Até"), grbPeriodo));
    lblAte->setObjectName("lblAte");
    depAte = periodDate("depAte", grbPeriodo);
    lblAte->setBuddy(depAte);

    auto* grid = new QGridLayout(grbPeriodo);
    grid->setContentsMargins(8, 6, 6, 6);
    grid->setHorizontalSpacing(6);
    grid->addWidget(Label1, 0, 0);
    grid->addWidget(depDe, 0, 1);
    grid->addWidget(lblAte, 1, 0);
    grid->addWidget(depAte, 1, 1);
}

void TfrmCadAutoSala::buildWeekdayGroup() {
    // Both groups carry the same title; the weekdays' group is told apart by its description.
    GroupBox1 = titledGroup("GroupBox1", QStringLiteral("Período"), grbDadosRel);
    GroupBox1->setAccessibleDescription(QStringLiteral("Dias da semana"));
    GroupBox1->setMinimumSize(193, 95);
    auto* grid = new QGridLayout(GroupBox1);
    grid->setContentsMargins(8, 6, 6, 6);
    grid->setHorizontalSpacing(12);
    struct Place {
        QCheckBox*& box;
        const char* name;
        const char* caption;
        int column, row;
    };
    const Place places[] = {{chbDom, "chbDom", "Dom", 0, 0}, {chbSeg, "chbSeg", "Seg", 0, 1},
                            {chbTer, "chbTer", "Ter", 0, 2}, {chbQua, "chbQua", "Qua", 1, 0},
                            {chbQui, "chbQui", "Qui", 1, 1}, {chbSex, "chbSex", "Sex", 1, 2},
                            {chbSab, "chbSab", "Sab", 2, 0}};
    for (const Place& p : places) {
        p.box = regular(new QCheckBox(QString::fromLatin1(p.caption), GroupBox1));
        p.box->setObjectName(p.name);
        grid->addWidget(p.box, p.row, p.column);
    }
}

void TfrmCadAutoSala::buildButtonStrip() {
    panMenu = panel("panMenu", this);
    panMenu->setFixedWidth(55);
    auto* strip = new QVBoxLayout(panMenu);
    strip->setContentsMargins(2, 4, 2, 4);

    panBotoes = panel("panBotoes", panMenu);
    auto* buttons = new QVBoxLayout(panBotoes);
    buttons->setContentsMargins(2, 2, 2, 2);
    sbtConfirma = stripButton("sbtConfirma", QStringLiteral("Confirmar"), QStringLiteral("✓"),
                              QColor(20, 110, 40), panBotoes);
    sbtCancel = stripButton("sbtCancel", QStringLiteral("Fechar"), QStringLiteral("✕"), QColor(150, 30, 30),
                            panBotoes);
    buttons->addWidget(sbtConfirma, 0, Qt::AlignHCenter);
    buttons->addWidget(sbtCancel, 0, Qt::AlignHCenter);

    panHelp = panel("panHelp", panMenu);
    auto* help = new QVBoxLayout(panHelp);
    help->setContentsMargins(2, 2, 2, 2);
    sbtHelp =
        stripButton("sbtHelp", QStringLiteral("Ajuda"), QStringLiteral("?"), QColor(30, 60, 120), panHelp);
    help->addWidget(sbtHelp, 0, Qt::AlignHCenter);

    lblCodTela = new QLabel(QString::fromUtf8(age::kAutoBookingScreenCode.data()), panMenu);
    lblCodTela->setObjectName("lblCodTela");
    lblCodTela->hide();

    strip->addWidget(panBotoes);
    strip->addStretch();
    strip->addWidget(panHelp);
}

void TfrmCadAutoSala::connectHandlers() {
    auto onClick = [this](TButtonFlat* button, void (TfrmCadAutoSala::*handler)(QObject*)) {
        connect(button, &QToolButton::clicked, this,
                [this, button, handler] { runHandler([&] { (this->*handler)(button); }); });
    };
    onClick(sbtConfirma, &TfrmCadAutoSala::sbtConfirmaClick);
    onClick(sbtCancel, &TfrmCadAutoSala::sbtCancelClick);
    onClick(sbtHelp, &TfrmCadAutoSala::sbtHelpClick);

    // Exit checks run when the user moves the focus, not when the dialog puts it on a refused field.
    auto onExit = [this](QWidget* widget, void (TfrmCadAutoSala::*handler)(QObject*)) {
        FocusEvents::SetOnExit(widget, [this, handler](QObject* sender) {
            if (!placingFocus_) (this->*handler)(sender);
        });
    };
    onExit(depDe, &TfrmCadAutoSala::depDeExit);
    onExit(depAte, &TfrmCadAutoSala::depAteExit);
    onExit(grbPeriodo, &TfrmCadAutoSala::grbPeriodoExit);
    depDe->OnDateChange = [this](QObject* sender) { depDeDateChange(sender); };
    depAte->OnDateChange = [this](QObject* sender) { depAteDateChange(sender); };

    // A box's click notification: every change of its checked state, by the user or by ValidaDias.
    const std::pair<QCheckBox*, void (TfrmCadAutoSala::*)(QObject*)> boxes[] = {
        {chbDom, &TfrmCadAutoSala::chbDomClick}, {chbSeg, &TfrmCadAutoSala::chbSegClick},
        {chbTer, &TfrmCadAutoSala::chbTerClick}, {chbQua, &TfrmCadAutoSala::chbQuaClick},
        {chbQui, &TfrmCadAutoSala::chbQuiClick}, {chbSex, &TfrmCadAutoSala::chbSexClick},
        {chbSab, &TfrmCadAutoSala::chbSabClick}};
    for (auto [box, handler] : boxes)
        connect(box, &QCheckBox::toggled, this,
                [this, box, handler] { runHandler([&] { (this->*handler)(box); }); });
}

std::array<QCheckBox*, 7> TfrmCadAutoSala::WeekdayBoxes() const {
    return {chbDom, chbSeg, chbTer, chbQua, chbQui, chbSex, chbSab};
}

void TfrmCadAutoSala::runHandler(const std::function<void()>& handler) {
    Boundary::run(handler);
}

// --- creation, activation, placement

void TfrmCadAutoSala::FormCreate(QObject*) {
    Cli_Age12110::inQtDiaSem = 0;
    boCentraliza = false;
    Trad_utl::Trad(this);
    depDe->SetDate(age::wholeDay(verifica_data()));
    depAte->SetDate(depDe->GetDate());
}

void TfrmCadAutoSala::FormActivate(QObject*) {
    ValidaDias();
}

bool TfrmCadAutoSala::event(QEvent* event) {
    if (event->type() == QEvent::WindowActivate) runHandler([this] { FormActivate(this); });
    return QDialog::event(event);
}

void TfrmCadAutoSala::setVisible(bool visible) {
    if (visible != isVisible())
        CMShowingChanged(visible);
    else
        QDialog::setVisible(visible);
}

void TfrmCadAutoSala::CMShowingChanged(bool showing) {
    // The position rule is the centre of the screen; the window-show handler corrects it.
    boCentraliza = true;
    QDialog::setVisible(showing);
    boCentraliza = false;
    Cli_Age12110::stDias.clear();
}

void TfrmCadAutoSala::WMShowWindow(bool) {
    if (!boCentraliza) return;
    boCentraliza = false;
    placeOverMainWindow();
}

void TfrmCadAutoSala::showEvent(QShowEvent* event) {
    WMShowWindow(true);
    QDialog::showEvent(event);
}

void TfrmCadAutoSala::hideEvent(QHideEvent* event) {
    WMShowWindow(false);
    QDialog::hideEvent(event);
}

void TfrmCadAutoSala::placeOverMainWindow() {
    QWidget* host = Application::MainWindow();
    if (!host) return;  // outside a host the toolkit's placement stays
    const QSize size = frameGeometry().size();
    const QPoint at = host->mapToGlobal(
        QPoint(host->width() / 2 - size.width() / 2, host->height() / 2 - size.height() / 2));
    move(std::max(at.x(), 0), std::max(at.y(), 0));
}

// --- server date, weekdays and their count

age::DateTime TfrmCadAutoSala::verifica_data() {
    TfrmAgendaDeSala& agenda = agendaScreen();
    agenda.cdsSysdate->LoadFromPacket(Consiste::CheckResultServ(appServer().Call("GetSysdate"), true, 0));
    auto now = agenda.cdsSysdate->FieldByName("SYSDATE").AsDateTime();
    if (!now) throw EUserError("O servidor de aplicação não informou a data atual.");
    return *now;
}

void TfrmCadAutoSala::ValidaDias() {
    const auto possible = age::weekdaysInPeriod(depDe->GetDate(), depAte->GetDate());
    const auto boxes = WeekdayBoxes();
    for (std::size_t i = 0; i < boxes.size(); ++i) boxes[i]->setEnabled(possible[i]);
    for (QCheckBox* box : boxes)
        if (!box->isEnabled()) box->setChecked(false);
}

void TfrmCadAutoSala::qtDias(QObject* box) {
    auto* check = qobject_cast<QCheckBox*>(box);
    if (!check) return;
    Cli_Age12110::inQtDiaSem += check->isChecked() ? 1 : -1;
}

void TfrmCadAutoSala::chbDomClick(QObject* Sender) {
    qtDias(Sender);
}
void TfrmCadAutoSala::chbSegClick(QObject* Sender) {
    qtDias(Sender);
}
void TfrmCadAutoSala::chbTerClick(QObject* Sender) {
    qtDias(Sender);
}
void TfrmCadAutoSala::chbQuaClick(QObject* Sender) {
    qtDias(Sender);
}
void TfrmCadAutoSala::chbQuiClick(QObject* Sender) {
    qtDias(Sender);
}
void TfrmCadAutoSala::chbSexClick(QObject* Sender) {
    qtDias(Sender);
}
void TfrmCadAutoSala::chbSabClick(QObject* Sender) {
    qtDias(Sender);
}

void TfrmCadAutoSala::depDeDateChange(QObject*) {
    ValidaDias();
}
void TfrmCadAutoSala::depAteDateChange(QObject*) {
    ValidaDias();
}

// --- period checks

void TfrmCadAutoSala::refuse(QWidget* control, std::string_view key) {
    {
        QScopedValueRollback<bool> own(placingFocus_, true);
        control->setFocus(Qt::OtherFocusReason);
    }
    Consiste::MensErro(msgPadrao.Msg(key), true);
    throw EAbort(msgPadrao.Msg(key));
}

void TfrmCadAutoSala::depDeExit(QObject*) {
    depDe->CheckValidDate();
    if (depDe->GetDate() < age::wholeDay(verifica_data())) refuse(depDe, "dtIn_maior");
}

void TfrmCadAutoSala::depAteExit(QObject*) {
    depAte->CheckValidDate();
    if (depAte->GetDate() < depDe->GetDate()) refuse(depAte, "data_menor");
}

void TfrmCadAutoSala::grbPeriodoExit(QObject*) {
    depDe->CheckValidDate();
    depAte->CheckValidDate();
}

void TfrmCadAutoSala::GroupBox1Click(QObject* Sender) {
    depDeExit(Sender);
    depAteExit(Sender);
}

// --- keyboard, help, closing

bool TfrmCadAutoSala::eventFilter(QObject* watched, QEvent* event) {
    // It sees every event of the application: keys and clicks of this dialog only.
    if (event->type() == QEvent::KeyPress && isVisible()) {
        // A key travels from the focused control up to the window; the preview sees its first delivery.
        // Once the key has closed the dialog, the rest of its journey is not previewed again.
        QWidget* first = QApplication::focusWidget();
        if (!first || first->window() != this) first = this;
        if (watched == first) previewKey(static_cast<QKeyEvent*>(event));
    } else if (event->type() == QEvent::MouseButtonRelease && watched == GroupBox1) {
        // The group's own area: its boxes take their clicks themselves.
        auto* mouse = static_cast<QMouseEvent*>(event);
        if (mouse->button() == Qt::LeftButton && GroupBox1->rect().contains(mouse->position().toPoint()))
            runHandler([this] { GroupBox1Click(GroupBox1); });
    }
    return QDialog::eventFilter(watched, event);
}

void TfrmCadAutoSala::previewKey(QKeyEvent* event) {
    int key = event->key();
    runHandler([&] { FormKeyDown(this, key, event->modifiers()); });
    QChar character = event->key() == Qt::Key_Escape ? QChar(27)
                      : event->text().isEmpty()      ? QChar()
                                                     : event->text().front();
    if (!character.isNull()) runHandler([&] { FormKeyPress(this, character); });
}

void TfrmCadAutoSala::keyPressEvent(QKeyEvent* event) {
    // Keys reach the dialog through its preview only; Escape must not bypass the close handler.
    event->ignore();
}

void TfrmCadAutoSala::FormKeyPress(QObject*, QChar& Key) {
    if (Key == QChar(27)) sbtCancel->click();
}

void TfrmCadAutoSala::FormKeyDown(QObject*, int& Key, Qt::KeyboardModifiers) {
    if (Key == Qt::Key_Return || Key == Qt::Key_Enter) sbtConfirma->click();
}

void TfrmCadAutoSala::sbtHelpClick(QObject*) {
    int context = HelpContext;
    QWidget* active = QApplication::focusWidget();
    for (QWidget* w = active; w && w != this && w->window() == this; w = w->parentWidget()) {
        if (int own = w->property("HelpContext").toInt(); own != 0) {
            context = own;
            break;
        }
    }
    age::ui::MessageService::Instance().Help(context);
}

void TfrmCadAutoSala::sbtCancelClick(QObject*) {
    close();
}

void TfrmCadAutoSala::closeEvent(QCloseEvent* event) {
    TCloseAction action = TCloseAction::caHide;
    runHandler([&] { FormClose(this, action); });
    if (action == TCloseAction::caNone) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

void TfrmCadAutoSala::FormClose(QObject*, TCloseAction&) {
    deleteLater();
    Cli_Age12110::boIdCriado = false;
}

void TfrmCadAutoSala::FormDestroy(QObject*) {
    Ormelin::SetUnloadBPL(metaObject()->className(), this);
}

// --- confirmation

void TfrmCadAutoSala::sbtConfirmaClick(QObject*) {
    using namespace Cli_Age12110;
    ValidaDias();
    depDeExit(this);
    depAteExit(this);
    if (depDe->GetDate() < age::wholeDay(verifica_data())) refuse(depDe, "dtIn_maior");
    if ((depAte->GetDate() - depDe->GetDate()).count() > age::kMaxPeriodDays) refuse(depAte, "dt_limite");
    if (inQtDiaSem == 0) Consiste::MensErro(msgPadrao.Msg("chb_vazio"), true);
    if (depAte->GetDate() < depDe->GetDate()) refuse(depDe, "data_menor");
    buildDateList();
    if (stDias.size() > age::kMaxDateList) refuse(depAte, "dt_limite");

    const TemplateBooking model = readTemplate();
    // The server drops the taken days from the list; the booking step sends what it leaves.
    const auto reply = appServer().Call(
        "GetPesqSala", {Ormelin::FiliProc(), model.room, TAppServer::Arg::Ref(stDias), model.seq});
    answerConflictReply(replyText(reply));
}

void TfrmCadAutoSala::buildDateList() {
    using namespace Cli_Age12110;
    const age::Date from = depDe->GetDate();
    const age::Date to = depAte->GetDate();
    std::array<bool, 7> chosen{};
    const auto boxes = WeekdayBoxes();
    for (std::size_t i = 0; i < boxes.size(); ++i) chosen[i] = boxes[i]->isChecked();
    stDias = age::buildDateList(from, to, chosen);
    // The walk's cursor ends on the day after the period.
    dtDataAux = std::max(from, to + std::chrono::days{1});
    DiaSemana = age::dayOfWeek(dtDataAux);
}

void TfrmCadAutoSala::answerConflictReply(const std::string& reply) {
    const age::ConflictReply read = age::readConflictReply(reply);
    switch (read.kind) {
        case age::ConflictReply::AllFree:
            bookTheDays();
            return;
        case age::ConflictReply::Nothing:
            return;
        case age::ConflictReply::NoneFree:
            Consiste::MensErro(msgPadrao.Msg("salas_ocup"), true);
            return;
        case age::ConflictReply::SomeTaken:
            break;
    }
    const std::string question =
        age::formatMessage(msgPadrao.Msg("exist_sala"), trimmed(joined(read.takenDates, ", ")));
    using age::ui::Answer;
    if (age::ui::MessageService::Instance().Confirm(question, Answer::Yes, Answer::No) == Answer::Yes)
        bookTheDays();
}

void TfrmCadAutoSala::bookTheDays() {
    // A failure ends the confirmation here, the animation stopped and the dialog open with its inputs. A
    // refusal was shown by the result check; any other failure goes to the error box.
    Showavi::TBusy busy;
    Boundary::run([this, &busy] {
        const TemplateBooking model = readTemplate();
        const std::string asked = Cli_Age12110::stDias;
        const auto result =
            appServer().Call("SetHrSala", {Ormelin::FiliProc(), Ormelin::Operador(),
                                           TAppServer::Arg::Ref(Cli_Age12110::stDias), model.seq, "A",
                                           model.reference, model.start, model.end, model.room});
        Consiste::CheckResultServ(result, true, 0);
        busy.Release();
        reportDaysNotBooked(asked, Cli_Age12110::stDias);
        close();
    });
}

// The server books only the days still free and hands back those it booked: a day someone took after
// the question is named, never skipped in silence.
void TfrmCadAutoSala::reportDaysNotBooked(const std::string& asked, const std::string& booked) {
    const auto bookedDays = datesOf(booked);
    std::vector<std::string> missing;
    for (const auto& day : datesOf(asked))
        if (std::find(bookedDays.begin(), bookedDays.end(), day) == bookedDays.end()) missing.push_back(day);
    if (missing.empty()) return;
    age::ui::MessageService::Instance().Information(
        age::formatMessage(msgPadrao.Msg("dias_nao_agend"), joined(missing, ", ")));
}

namespace Cli_Age12110 {

namespace {

TfrmCadAutoSala* createDialog() {
    auto* dialog = new TfrmCadAutoSala(Application::MainWindow());
    try {
        dialog->FormCreate(dialog);
    } catch (...) {
        delete dialog;
        throw;
    }
    return dialog;
}

}  // namespace

void criaCadAutoSala() {
    using age::ui::TCursor;
    using age::ui::Screen::SetCursor;
    SetCursor(TCursor::crHourGlass);
    try {
        if (!boIdCriado) {
            frmCadAutoSala = createDialog();
            boIdCriado = true;
        }
    } catch (...) {
        SetCursor(TCursor::crDefault);
        throw;
    }
    // The modal showing runs under the normal cursor.
    SetCursor(TCursor::crDefault);
    frmCadAutoSala->exec();
    SetCursor(TCursor::crDefault);
}

}  // namespace Cli_Age12110
