#include "agenda/Cli_Age12100.h"

#include <QApplication>
#include <QHBoxLayout>
#include <algorithm>
#include <optional>

#include "agenda/AgendaImages.h"
#include "autobooking/Cli_Age12110.h"
#include "common/Booking.h"
#include "common/Catalogs.h"
#include "platform/rpc/Wire.h"
#include "platform/ui/Boundary.h"
#include "platform/ui/Consiste.h"
#include "platform/ui/FocusEvents.h"
#include "platform/ui/Ormelin.h"
#include "platform/ui/Services.h"
#include "platform/ui/Showavi.h"

namespace Cli_Age12100 {
TfrmAgendaDeSala* frmAgendaDeSala = nullptr;
bool boIdCriado = false;
}  // namespace Cli_Age12100

namespace {

using age::data::FieldDef;
using age::data::FieldType;

QString qs(const std::string& s) { return QString::fromStdString(s); }
QString qs(std::string_view s) { return QString::fromUtf8(s.data(), static_cast<int>(s.size())); }

FieldType fieldType(age::ColumnType type) {
    switch (type) {
        case age::ColumnType::Date: return FieldType::Date;
        case age::ColumnType::DateTime: return FieldType::DateTime;
        case age::ColumnType::Integer: return FieldType::Integer;
        case age::ColumnType::String: break;
    }
    return FieldType::String;
}

const QColor kMaroon(128, 0, 0);
const QColor kNavy(0, 0, 128);

QLabel* boldLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    QFont font = label->font();
    font.setBold(true);
    label->setFont(font);
    return label;
}

}  // namespace

TfrmAgendaDeSala::TfrmAgendaDeSala(QWidget* parent) : TfrmPadraoGrid(parent) {
    setObjectName("frmAgendaDeSala");
    setWindowTitle(QStringLiteral("Agendamento de Sala"));
    DesignSize = QSize(782, 492);
    lblCodTela->setText(qs(age::kAgendaScreenCode));
    msgPadrao = TMessages(age::kAgendaMessages);
    PrintEnabled = false;
    sbtImprimir->setEnabled(false);
    mnuImprimir->setEnabled(false);

    netAgendaSala.ServerName = std::string(age::kRemoteModule);
    netAgendaSala.Host = "127.0.0.1";
    netAgendaSala.ThrowException = false;
    // The form definition binds no before-connect handler; the host's address must be in place before
    // the connection opens, so the screen binds its handler here.
    netAgendaSala.BeforeConnect = [this](TNetConnection& sender) { netAgendaSalaBeforeConnect(sender); };

    defineDataSets();
    buildSelectionPanel();
    defineColumns();
    buildFilterBar();
    bindEvents();

    sbtCadAuto = new TButtonFlat;
    sbtCadAuto->setObjectName("sbtCadAuto");
    sbtCadAuto->SetHint(QStringLiteral("Cadastro Automatico"));
    sbtCadAuto->setIcon(GlyphIcon(QStringLiteral("⇶")));
    mnuCadAuto = new QAction(QStringLiteral("Ca&dastramento Automático"));
    mnuCadAuto->setObjectName("mnuCadAuto");
    mnuCadAuto->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_D));
    AddCommand(sbtCadAuto, 5, mnuCadAuto, 5, [this](QObject* sender) { sbtCadAutoClick(sender); });
    sbtCadAuto->setEnabled(false);
    mnuCadAuto->setEnabled(false);

    ActiveControl = depAgenda;
    keyboardOrder();
}

// Tab goes from the day to the room, into the grid, on to the filter buttons and round to the day: the
// filters are reached by the keyboard too (Space toggles them), a click still leaves the focus where it is.
void TfrmAgendaDeSala::keyboardOrder() {
    const QList<QWidget*> order{depAgenda, cbbSalas, dbgPadrao, tbtAgendada, tbtCancelada, tbtEncerrada};
    for (QToolButton* button : {tbtAgendada, tbtCancelada, tbtEncerrada})
        button->setFocusPolicy(Qt::TabFocus);
    for (qsizetype i = 1; i < order.size(); ++i) QWidget::setTabOrder(order[i - 1], order[i]);
}

TfrmAgendaDeSala::~TfrmAgendaDeSala() {
    if (Cli_Age12100::frmAgendaDeSala == this) {
        Cli_Age12100::frmAgendaDeSala = nullptr;
        Cli_Age12100::boIdCriado = false;
    }
}

void TfrmAgendaDeSala::defineDataSets() {
    cdsSala = NewDataSet("cdsSala");
    cdsSala->SetFields({{"CDSALA", FieldType::String, 5}});

    cdsAgendaSala = NewDataSet("cdsAgendaSala");
    std::vector<FieldDef> booking;
    for (const auto& f : age::kBookingFields) booking.push_back({std::string(f.name), fieldType(f.type), f.size});
    cdsAgendaSala->SetFields(booking);
    for (const auto& f : age::kBookingFields)
        if (!f.displayLabel.empty()) cdsAgendaSala->FieldByName(f.name).DisplayLabel = std::string(f.displayLabel);
    cdsAgendaSala->FieldByName("HRINIAGESALA").EditMask = std::string(age::kHourEditMask);
    cdsAgendaSala->FieldByName("HRFINAGESALA").EditMask = std::string(age::kHourEditMask);
    // A booking is its room and sequence number: the rows are read again after every save, so moving to
    // a booking finds it by these, never by its place in the grid.
    cdsAgendaSala->KeyFields = {"CDSALA", "NRSEQAGESALA"};
    dtsPadrao->SetDataSet(cdsAgendaSala);
    dbtNome->DataField = "DSAGENDASALA";

    cdsSysdate = NewDataSet("cdsSysdate");
    cdsSysdate->SetFields({{"SYSDATE", FieldType::DateTime, 0}});
    cdsNrSeq = NewDataSet("cdsNrSeq");
    cdsNrSeq->SetFields({{"NRSEQ", FieldType::String, 5}});
    cdsNmSala = NewDataSet("cdsNmSala");
    cdsNmSala->SetFields({{"NMSALA", FieldType::String, 30}});
    cdsHora = NewDataSet("cdsHora");
    cdsHora->SetFields({{"HRINIAGESALA", FieldType::String, 4}, {"HRFINAGESALA", FieldType::String, 4}});
}

void TfrmAgendaDeSala::buildSelectionPanel() {
    panPrincipal = new QFrame(this);
    panPrincipal->setObjectName("panPrincipal");
    panPrincipal->setFrameShape(QFrame::StyledPanel);
    auto* row = new QHBoxLayout(panPrincipal);
    row->setContentsMargins(8, 6, 8, 6);

    lblAgendaDia = boldLabel(QStringLiteral("Agenda dia:"), panPrincipal);
    depAgenda = new TDateEditPlus(panPrincipal);
    depAgenda->setObjectName("depAgenda");
    depAgenda->SetValidDateColor(Qt::blue);
    depAgenda->SetColor(QColor(255, 255, 225));  // the info-tip background
    depAgenda->SaveTime = false;
    lblAgendaDia->setBuddy(depAgenda);

    lblSala = boldLabel(QStringLiteral("Sala"), panPrincipal);
    cbbSalas = new QComboBox(panPrincipal);
    cbbSalas->setObjectName("cbbSalas");
    cbbSalas->setEditable(false);
    cbbSalas->setMinimumContentsLength(5);
    lblSala->setBuddy(cbbSalas);

    edtNmSala = new QLineEdit(panPrincipal);
    edtNmSala->setObjectName("edtNmSala");
    edtNmSala->setEnabled(false);
    edtNmSala->setMaxLength(30);
    edtNmSala->setAccessibleName(QStringLiteral("Nome da sala"));
    QPalette face = edtNmSala->palette();
    face.setColor(QPalette::Disabled, QPalette::Base, face.color(QPalette::Button));
    edtNmSala->setPalette(face);

    row->addWidget(lblAgendaDia);
    row->addWidget(depAgenda);
    row->addSpacing(16);
    row->addWidget(lblSala);
    row->addWidget(cbbSalas);
    row->addWidget(edtNmSala, 1);
    TopArea()->addWidget(panPrincipal);
}

void TfrmAgendaDeSala::defineColumns() {
    struct ColumnDesign {
        const char* field;
        int width;
        bool readOnly;
    };
    const ColumnDesign columns[] = {{"NRSEQAGESALA", -1, true},  {"IDSITAGESALA", 62, false}, {"DSAGENDASALA", 190, false},
                          {"CDSALA", -1, true},        {"CDOPERADOR", 213, true},   {"DTATIAGESALA", 73, true},
                          {"HRINIAGESALA", -1, false}, {"HRFINAGESALA", 99, false}, {"DTINCAGESALA", 121, true}};
    for (const ColumnDesign& s : columns) {
        TColumn& column = dbgPadrao->AddColumn(s.field, qs(age::findBookingField(s.field)->gridTitle), s.width);
        column.ReadOnly = s.readOnly;
    }
    TColumn& status = dbgPadrao->Columns()[dbgPadrao->ColumnIndexOf("IDSITAGESALA")];
    for (auto word : age::kStatusWords) status.PickList << qs(word);
}

void TfrmAgendaDeSala::buildFilterBar() {
    tbtFiltro = new QToolBar(panNavigator);
    tbtFiltro->setObjectName("tbtFiltro");
    tbtFiltro->setIconSize(QSize(16, 16));
    tbtFiltro->setAccessibleName(QStringLiteral("Filtro de situação"));
    imgAgend = AgendaImages::StatusImages();
    auto makeButton = [this](const char* name, const QString& hint, int imageIndex, bool down) {
        auto* button = new QToolButton(tbtFiltro);
        button->setObjectName(name);
        button->setCheckable(true);
        button->setChecked(down);
        button->setAutoRaise(true);
        button->setFocusPolicy(Qt::NoFocus);
        button->setToolTip(hint);
        button->setAccessibleName(hint);
        button->setIcon(imgAgend[imageIndex]);
        tbtFiltro->addWidget(button);
        return button;
    };
    tbtAgendada = makeButton("tbtAgendada", QStringLiteral("Reuniões agendadas"), 0, true);
    tbtFiltro->addSeparator();
    tbtCancelada = makeButton("tbtCancelada", QStringLiteral("Reuniões Canceladas"), 1, false);
    tbtFiltro->addSeparator();
    tbtEncerrada = makeButton("tbtEncerrada", QStringLiteral("Reuniões encerradas"), 2, false);
    connect(tbtAgendada, &QToolButton::clicked, this, [this] { RunHandler([this] { tbtAgendadaClick(tbtAgendada); }); });
    connect(tbtCancelada, &QToolButton::clicked, this,
            [this] { RunHandler([this] { tbtCanceladaClick(tbtCancelada); }); });
    connect(tbtEncerrada, &QToolButton::clicked, this,
            [this] { RunHandler([this] { tbtEncerradaClick(tbtEncerrada); }); });
    NavigatorLayout()->addWidget(tbtFiltro);
}

// The handlers the form definition binds to the controls' and the data set's events.
void TfrmAgendaDeSala::bindEvents() {
    FocusEvents::SetOnExit(depAgenda, [this](QObject* sender) { depAgendaExit(sender); });
    FocusEvents::SetOnExit(panPrincipal, [this](QObject* sender) { panPrincipalExit(sender); });
    FocusEvents::SetOnEnter(panPrincipal, [this](QObject* sender) { panPrincipalEnter(sender); });
    cdsAgendaSala->OnNewRecord = [this](TClientDataSet& ds) { cdsAgendaSalaNewRecord(ds); };
    cdsAgendaSala->AfterInsert = [this](TClientDataSet& ds) { cdsAgendaSalaAfterInsert(ds); };
    cdsAgendaSala->BeforeEdit = [this](TClientDataSet& ds) { cdsAgendaSalaBeforeEdit(ds); };
    cdsAgendaSala->BeforePost = [this](TClientDataSet& ds) { cdsAgendaSalaBeforePost(ds); };
    cdsAgendaSala->AfterPost = [this](TClientDataSet& ds) { cdsAgendaSalaAfterPost(ds); };
    cdsAgendaSala->AfterDelete = [this](TClientDataSet& ds) { cdsAgendaSalaAfterPost(ds); };
    cdsAgendaSala->AfterCancel = [this](TClientDataSet& ds) { cdsAgendaSalaAfterCancel(ds); };
    cdsAgendaSala->AfterScroll = [this](TClientDataSet& ds) { cdsAgendaSalaAfterScroll(ds); };
    TField& status = cdsAgendaSala->FieldByName("IDSITAGESALA");
    status.OnGetText = [this](TField& f, std::string& text, bool display) {
        cdsAgendaSalaIDSITAGESALAGetText(f, text, display);
    };
    status.OnSetText = [this](TField& f, const std::string& text) {
        cdsAgendaSalaIDSITAGESALASetText(f, text);
    };
    cdsAgendaSala->FieldByName("CDOPERADOR").OnGetText = [this](TField& f, std::string& text, bool display) {
        cdsAgendaSalaCDOPERADORGetText(f, text, display);
    };
    dbgPadrao->OnDrawColumnCell = [this](QObject* sender, const QRect& rect, int dataCol, TColumn& column,
                                         TGridDrawState state) {
        dbgPadraoDrawColumnCell(sender, rect, dataCol, column, state);
    };
    dbgPadrao->OnColEnter = [this](QObject* sender) { dbgPadraoColEnter(sender); };
}

void TfrmAgendaDeSala::FormCreate(QObject* Sender) {
    TfrmPadraoGrid::FormCreate(Sender);
    netAgendaSala.SetConnected(true);
}

void TfrmAgendaDeSala::netAgendaSalaBeforeConnect(TNetConnection&) {
    netAgendaSala.Host = Ormelin::WebURL();
    netAgendaSala.Port = Ormelin::WebPort();
}

void TfrmAgendaDeSala::FormActivate(QObject*) {
    const QString shown = cbbSalas->currentText();
    detachRoomChange();
    cbbSalas->clear();
    cdsSala->LoadFromPacket(Consiste::CheckResultServ(netAgendaSala.AppServer().Call("GetSala"), true, 0));
    for (cdsSala->First(); !cdsSala->Eof(); cdsSala->Next())
        cbbSalas->addItem(qs(cdsSala->FieldByName("CDSALA").AsString()));
    // The room on display stays the chosen one: every call of the screen takes its room from the list. A
    // room that is gone takes its bookings off the grid, so nothing is ever entered under another room.
    const int kept = cbbSalas->findText(shown);
    if (kept < 0 && !shown.isEmpty()) cdsAgendaSala->Close();
    cbbSalas->setCurrentIndex(std::max(kept, 0));
    attachRoomChange();
    cbbSalasChange(cbbSalas);
}

void TfrmAgendaDeSala::cbbSalasChange(QObject*) {
    Showavi::TBusy busy;
    auto result = netAgendaSala.AppServer().Call("getNmSala", {cbbSalas->currentText().toStdString(), Ormelin::FiliProc()});
    cdsNmSala->LoadFromPacket(Consiste::CheckResultServ(result, true, 0));
    edtNmSala->setText(cdsNmSala->IsEmpty() ? QString() : qs(cdsNmSala->FieldByName("NMSALA").AsString()));
}

void TfrmAgendaDeSala::depAgendaExit(QObject*) { checkDay(); }

void TfrmAgendaDeSala::checkDay() {
    const bool empty = Consiste::EmptyString(depAgenda->Text().toStdString());
    if (!empty && depAgenda->IsValidDate()) return;
    depAgenda->setFocus(Qt::OtherFocusReason);
    Consiste::MensErro(msgPadrao.Msg(empty ? "dtage_deve" : "data_vali"), true);
}

void TfrmAgendaDeSala::loadAgenda() {
    const age::Date day = depAgenda->GetDate();
    const std::string room = cbbSalas->currentText().toStdString();
    auto result = netAgendaSala.AppServer().Call("GetAgendaSala", {room, day});
    cdsAgendaSala->LoadFromPacket(Consiste::CheckResultServ(result, true, 0));
}

void TfrmAgendaDeSala::panPrincipalExit(QObject*) {
    // A bad day keeps the focus in the panel; a failed load is reported once and the focus moves on.
    checkDay();
    RunHandler([this] {
        const auto current = currentBooking();  // open only when a refresh loaded it from the panel
        {
            Showavi::TBusy busy;
            loadAgenda();
            filtra_Agend();
        }
        if (current) cdsAgendaSala->Locate(cdsAgendaSala->KeyFields, *current);
    });
}

void TfrmAgendaDeSala::sbtVerificarClick(QObject* Sender) {
    TfrmPadraoGrid::sbtVerificarClick(Sender);
    checkDay();  // a day that is no date would ask for the bookings of day zero
    const auto current = currentBooking();
    {
        Showavi::TBusy busy;
        loadAgenda();
    }
    if (current) cdsAgendaSala->Locate(cdsAgendaSala->KeyFields, *current);
}

std::optional<std::vector<age::data::Value>> TfrmAgendaDeSala::currentBooking() const {
    if (!cdsAgendaSala->Active() || cdsAgendaSala->IsEmpty()) return std::nullopt;
    std::vector<age::data::Value> key;
    for (const auto& field : cdsAgendaSala->KeyFields) key.push_back(cdsAgendaSala->FieldByName(field).AsValue());
    return key;
}

void TfrmAgendaDeSala::leaveSelectionPanel() {
    QWidget* focus = QApplication::focusWidget();
    if (!focus || !panPrincipal->isAncestorOf(focus)) return;
    dbgPadrao->setFocus(Qt::OtherFocusReason);
    if (panPrincipal->isAncestorOf(QApplication::focusWidget())) throw EAbort();  // the day was refused
}

void TfrmAgendaDeSala::sbtIncluirClick(QObject* Sender) {
    leaveSelectionPanel();
    TfrmPadraoGrid::sbtIncluirClick(Sender);
}

void TfrmAgendaDeSala::sbtAlterarClick(QObject* Sender) {
    const auto chosen = currentBooking();
    leaveSelectionPanel();
    if (currentBooking() != chosen) throw EAbort();  // another agenda came up: the user chooses again
    TfrmPadraoGrid::sbtAlterarClick(Sender);
}

void TfrmAgendaDeSala::enableButton() {
    auto result = netAgendaSala.AppServer().Call("GetSysdate");
    cdsSysdate->LoadFromPacket(Consiste::CheckResultServ(result, true, 0));
    const auto now = cdsSysdate->FieldByName("SYSDATE").AsDateTime();
    const bool dayOpen = now && depAgenda->GetDate() >= age::wholeDay(*now);
    sbtIncluir->setEnabled(dayOpen && cdsAgendaSala->Active());
    mnuIncluir->setEnabled(sbtIncluir->isEnabled());
}

void TfrmAgendaDeSala::filtra_Agend() {
    std::string list = "' '";
    for (auto [button, code] : {std::pair{tbtAgendada, "A"}, {tbtCancelada, "C"}, {tbtEncerrada, "E"}})
        if (button->isChecked()) list += std::string(", '") + code + "'";
    cdsAgendaSala->SetFiltered(false);
    cdsAgendaSala->SetFilter("IDSITAGESALA IN (" + list + ")");
    cdsAgendaSala->SetFiltered(true);
    cdsAgendaSalaAfterScroll(*cdsAgendaSala);
}

bool TfrmAgendaDeSala::bookingChanging() const {
    const TDataSetState state = cdsAgendaSala->State();
    return state == TDataSetState::dsEdit || state == TDataSetState::dsInsert;
}

void TfrmAgendaDeSala::toggleFilter(QToolButton* button) {
    if (bookingChanging()) {
        button->setChecked(!button->isChecked());
        throw EAbort();
    }
    filtra_Agend();
    dtsPadraoStateChange(dtsPadrao);
}

void TfrmAgendaDeSala::tbtAgendadaClick(QObject*) { toggleFilter(tbtAgendada); }
void TfrmAgendaDeSala::tbtCanceladaClick(QObject*) { toggleFilter(tbtCancelada); }
void TfrmAgendaDeSala::tbtEncerradaClick(QObject*) { toggleFilter(tbtEncerrada); }

void TfrmAgendaDeSala::dbgPadraoDrawColumnCell(QObject*, const QRect& Rect, int DataCol, TColumn& Column,
                                               TGridDrawState State) {
    TCanvas& canvas = dbgPadrao->Canvas();
    const std::string status = cdsAgendaSala->FieldByName("IDSITAGESALA").AsString();
    if (status == "C")
        canvas.Font.Color = kMaroon;
    else if (status == "A")
        canvas.Font.Color = kNavy;
    else if (status == "E")
        canvas.Font.Color = dbgPadrao->palette().color(QPalette::Disabled, QPalette::Text);
    if (State.Selected) {
        canvas.Brush.Color = dbgPadrao->palette().color(QPalette::Highlight);
        canvas.Font.Color = Qt::white;
        canvas.FillRect(Rect);
    }
    TField* field = Column.Field();
    canvas.TextRect(Rect, Rect.left(), Rect.top() + 3, field ? qs(FieldDisplayText(*field)) : QString());
    const bool inserting = cdsAgendaSala->State() == TDataSetState::dsInsert;
    if (inserting && DataCol == Consiste::IndiceCol(dbgPadrao, "CDOPERADOR")) {
        std::string name = cdsAgendaSala->FieldByName("NMOPERADOR").AsString();
        if (Consiste::EmptyString(name)) name = cdsAgendaSala->FieldByName("CDOPERADOR").AsString();
        canvas.TextRect(Rect, Rect.left(), Rect.top() + 2, qs(name));
    }
}

void TfrmAgendaDeSala::cdsAgendaSalaIDSITAGESALAGetText(TField& Sender, std::string& Text, bool) {
    Text = age::statusWord(Sender.AsString());
}

void TfrmAgendaDeSala::cdsAgendaSalaIDSITAGESALASetText(TField& Sender, const std::string& Text) {
    if (auto code = age::statusCode(Text)) Sender.SetAsString(*code);
}

void TfrmAgendaDeSala::cdsAgendaSalaCDOPERADORGetText(TField&, std::string& Text, bool) {
    Text = cdsAgendaSala->FieldByName("NMOPERADOR").AsString();
}

TColumn& TfrmAgendaDeSala::statusColumn() {
    return dbgPadrao->Columns()[static_cast<std::size_t>(Consiste::IndiceCol(dbgPadrao, "IDSITAGESALA"))];
}

void TfrmAgendaDeSala::dbgPadraoColEnter(QObject*) {
    if (bookingChanging()) return;
    statusColumn().ReadOnly = cdsAgendaSala->FieldByName("IDSITAGESALA").AsString() != "A";
}

void TfrmAgendaDeSala::dbgPadraoKeyPress(QObject* Sender, QChar& Key) {
    TfrmPadraoGrid::dbgPadraoKeyPress(Sender, Key);
    TField* field = dbgPadrao->SelectedField();
    if (field && field->FieldName() == "IDSITAGESALA") throw EAbort();
}

void TfrmAgendaDeSala::cdsAgendaSalaNewRecord(TClientDataSet&) {
    auto now = netAgendaSala.AppServer().Call("GetSysdate");
    cdsSysdate->LoadFromPacket(Consiste::CheckResultServ(now, true, 0));
    auto set = [this](const char* field, const age::data::Value& value) {
        cdsAgendaSala->FieldByName(field).SetValue(value);
    };
    set("CDFILIAL", Ormelin::FiliProc());
    set("CDSALA", cbbSalas->currentText().toStdString());
    set("CDOPERADOR", Ormelin::Operador());
    set("DTATIAGESALA", depAgenda->GetDate());
    set("DTINCAGESALA", cdsSysdate->FieldByName("SYSDATE").AsValue());
    set("IDSITAGESALA", std::string("A"));
    set("NRSEQAGESALA", nrSeq());
    dbgPadrao->FocusField("DSAGENDASALA");
}

std::string TfrmAgendaDeSala::nrSeq() {
    const std::string room = cbbSalas->currentText().toStdString();
    auto result = netAgendaSala.AppServer().Call("GetNrSeq", {room, depAgenda->GetDate()});
    cdsNrSeq->LoadFromPacket(Consiste::CheckResultServ(result, true, 0));
    return cdsNrSeq->FieldByName("NRSEQ").AsString();
}

void TfrmAgendaDeSala::cdsAgendaSalaAfterInsert(TClientDataSet&) { statusColumn().ReadOnly = true; }

void TfrmAgendaDeSala::cdsAgendaSalaBeforeEdit(TClientDataSet&) {
    if (cdsAgendaSala->FieldByName("IDSITAGESALA").AsString() != "A") throw EAbort();
}

void TfrmAgendaDeSala::refuse(std::string_view key, age::BookingFocus focus) {
    static constexpr const char* fields[] = {"DSAGENDASALA", "HRINIAGESALA", "HRFINAGESALA", "IDSITAGESALA"};
    dbgPadrao->FocusField(fields[static_cast<int>(focus)]);
    Consiste::MensErro(msgPadrao.Msg(key), true);
}

std::vector<age::HourSpan> TfrmAgendaDeSala::bookedHours() {
    const std::string room = cbbSalas->currentText().toStdString();
    auto result = netAgendaSala.AppServer().Call("GetHora", {room, depAgenda->GetDate()});
    cdsHora->LoadFromPacket(Consiste::CheckResultServ(result, true, 0));
    std::vector<age::HourSpan> hours;
    for (cdsHora->First(); !cdsHora->Eof(); cdsHora->Next())
        hours.push_back({cdsHora->FieldByName("HRINIAGESALA").AsString(),
                         cdsHora->FieldByName("HRFINAGESALA").AsString()});
    return hours;
}

void TfrmAgendaDeSala::cdsAgendaSalaBeforePost(TClientDataSet&) {
    auto text = [this](const char* field) { return cdsAgendaSala->FieldByName(field).AsString(); };
    auto old = [this](const char* field) {
        return age::data::valueText(cdsAgendaSala->FieldByName(field).OldValue());
    };
    const bool inserting = cdsAgendaSala->State() == TDataSetState::dsInsert;
    const age::BookingInput booking{text("DSAGENDASALA"), text("HRINIAGESALA"), text("HRFINAGESALA"),
                                    text("IDSITAGESALA")};
    if (auto failure = age::checkBookingFields(booking, inserting)) refuse(failure->key, failure->focus);
    const bool editing = !inserting;
    if (auto clash = age::findClash(booking.start, booking.end, bookedHours(), editing, old("HRINIAGESALA"),
                                    old("HRFINAGESALA")))
        refuse("hora_agen", *clash);
    cdsAgendaSala->FieldByName("DTINCAGESALA").SetValue(cdsSysdate->FieldByName("SYSDATE").AsValue());
}

void TfrmAgendaDeSala::saveChanges() {
    const age::data::ChangeLog log = cdsAgendaSala->Delta();
    Showavi::TBusy busy;
    try {
        TAppServer::Arg delta(age::rpc::changeLogToJson(log));
        Consiste::CheckResultServ(netAgendaSala.AppServer().Call("SetAgendaSala", {delta}), true, 0);
        busy.Release();
        if (cdsAgendaSala->LogChanges) cdsAgendaSala->MergeChangeLog();
    } catch (...) {
        // Nothing unsent may linger: a new row goes, an edited one gets its old values, a deleted one returns.
        busy.Release();
        cdsAgendaSala->CancelUpdates();
        returnToRefusedRow(log);
        // The commands and the status column follow the row now current, as after any row change; the
        // refusal is what the user hears about.
        Boundary::runQuiet([this] { cdsAgendaSalaAfterScroll(*cdsAgendaSala); });
        throw;
    }
}

// A deleted booking that came back becomes current again, as it was when the user deleted it.
void TfrmAgendaDeSala::returnToRefusedRow(const age::data::ChangeLog& log) {
    if (log.changes.size() != 1 || log.changes[0].op != age::data::ChangeOp::Delete) return;
    const auto& row = log.changes[0].oldValues;
    auto value = [&](const char* field) { return row.at(static_cast<std::size_t>(log.indexOf(field))); };
    // The refusal is what the user must hear about; a failure while moving back adds nothing to it.
    Boundary::runQuiet(
        [&] { cdsAgendaSala->Locate({"CDSALA", "NRSEQAGESALA"}, {value("CDSALA"), value("NRSEQAGESALA")}); });
}

void TfrmAgendaDeSala::cdsAgendaSalaAfterPost(TClientDataSet&) {
    if (cdsAgendaSala->ChangeCount() > 0) saveChanges();
    sbtVerificarClick(sbtVerificar);
    statusColumn().ReadOnly = false;
}

void TfrmAgendaDeSala::cdsAgendaSalaAfterCancel(TClientDataSet&) { statusColumn().ReadOnly = false; }

void TfrmAgendaDeSala::cdsAgendaSalaAfterScroll(TClientDataSet&) {
    dtsPadraoStateChange(dtsPadrao);
    dbgPadraoColEnter(dbgPadrao);
}

void TfrmAgendaDeSala::dtsPadraoStateChange(QObject* Sender) {
    const bool insertWasOn = sbtIncluir->isEnabled();
    TfrmPadraoGrid::dtsPadraoStateChange(Sender);
    try {
        enableButton();
    } catch (...) {
        // Without the server's date the day rule cannot be applied: insert stays as it was.
        sbtIncluir->setEnabled(insertWasOn);
        mnuIncluir->setEnabled(insertWasOn);
        throw;
    }
    sbtCadAuto->setEnabled(!sbtGravar->isEnabled());
    if (!bookingChanging()) {
        const bool scheduled = cdsAgendaSala->FieldByName("IDSITAGESALA").AsString() == "A";
        sbtAlterar->setEnabled(scheduled);
        sbtExcluir->setEnabled(scheduled);
    }
    mnuAlterar->setEnabled(sbtAlterar->isEnabled());
    mnuExcluir->setEnabled(sbtExcluir->isEnabled());
    mnuCadAuto->setEnabled(sbtCadAuto->isEnabled());
}

void TfrmAgendaDeSala::sbtCancelarClick(QObject* Sender) {
    TfrmPadraoGrid::sbtCancelarClick(Sender);
    dtsPadraoStateChange(dtsPadrao);
}

void TfrmAgendaDeSala::panPrincipalEnter(QObject*) { cdsAgendaSala->Close(); }

void TfrmAgendaDeSala::attachRoomChange() {
    roomChange_ = connect(cbbSalas, &QComboBox::currentIndexChanged, this,
                          [this] { RunHandler([this] { cbbSalasChange(cbbSalas); }); });
}

void TfrmAgendaDeSala::detachRoomChange() { disconnect(roomChange_); }

// Opens the automatic booking dialog modally; returns when it has closed.
void TfrmAgendaDeSala::sbtCadAutoClick(QObject*) { Cli_Age12110::criaCadAutoSala(); }

namespace Cli_Age12100 {

void CriaAgendaSala() {
    using age::ui::Screen::SetCursor;
    using age::ui::TCursor;
    SetCursor(TCursor::crHourGlass);
    Showavi::TBusy busy;
    try {
        if (!boIdCriado) {
            Application::CreateForm(frmAgendaDeSala);
            boIdCriado = true;
        }
        frmAgendaDeSala->Show();
        busy.Release();
        frmAgendaDeSala->SetWindowState(TWindowState::wsNormal);
        SetCursor(TCursor::crDefault);
    } catch (...) {
        busy.Release();
        SetCursor(TCursor::crDefault);
        throw;
    }
}

}  // namespace Cli_Age12100
