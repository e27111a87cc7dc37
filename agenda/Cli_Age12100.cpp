#include "agenda/Cli_Age12100.h"

#include <QHBoxLayout>

#include "autobooking/Cli_Age12110.h"
#include "common/Booking.h"
#include "common/Catalogs.h"
#include "platform/ui/Consiste.h"
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
    struct Spec {
        const char* field;
        int width;
        bool readOnly;
    };
    const Spec specs[] = {{"NRSEQAGESALA", -1, true},  {"IDSITAGESALA", 62, false}, {"DSAGENDASALA", 190, false},
                          {"CDSALA", -1, true},        {"CDOPERADOR", 213, true},   {"DTATIAGESALA", 73, true},
                          {"HRINIAGESALA", -1, false}, {"HRFINAGESALA", 99, false}, {"DTINCAGESALA", 121, true}};
    for (const Spec& s : specs) {
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
    auto makeButton = [this](const char* name, const QString& hint, const QColor& color, bool down) {
        auto* button = new QToolButton(tbtFiltro);
        button->setObjectName(name);
        button->setCheckable(true);
        button->setChecked(down);
        button->setAutoRaise(true);
        button->setFocusPolicy(Qt::NoFocus);
        button->setToolTip(hint);
        button->setAccessibleName(hint);
        button->setIcon(GlyphIcon(QStringLiteral("●"), color));
        tbtFiltro->addWidget(button);
        return button;
    };
    tbtAgendada = makeButton("tbtAgendada", QStringLiteral("Reuniões agendadas"), QColor(0, 0, 128), true);
    tbtFiltro->addSeparator();
    tbtCancelada = makeButton("tbtCancelada", QStringLiteral("Reuniões Canceladas"), QColor(128, 0, 0), false);
    tbtFiltro->addSeparator();
    tbtEncerrada = makeButton("tbtEncerrada", QStringLiteral("Reuniões encerradas"), QColor(128, 128, 128), false);
    connect(tbtAgendada, &QToolButton::clicked, this, [this] { RunHandler([this] { tbtAgendadaClick(tbtAgendada); }); });
    connect(tbtCancelada, &QToolButton::clicked, this,
            [this] { RunHandler([this] { tbtCanceladaClick(tbtCancelada); }); });
    connect(tbtEncerrada, &QToolButton::clicked, this,
            [this] { RunHandler([this] { tbtEncerradaClick(tbtEncerrada); }); });
    NavigatorLayout()->addWidget(tbtFiltro);
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
    detachRoomChange();
    cbbSalas->clear();
    cdsSala->LoadFromPacket(Consiste::CheckResultServ(netAgendaSala.AppServer().Call("GetSala"), true, 0));
    for (cdsSala->First(); !cdsSala->Eof(); cdsSala->Next())
        cbbSalas->addItem(qs(cdsSala->FieldByName("CDSALA").AsString()));
    attachRoomChange();
    cbbSalas->setCurrentIndex(0);
    cbbSalasChange(cbbSalas);
}

void TfrmAgendaDeSala::cbbSalasChange(QObject*) {
    Showavi::TBusy busy;
    auto result = netAgendaSala.AppServer().Call("getNmSala", {cbbSalas->currentText().toStdString(), Ormelin::FiliProc()});
    cdsNmSala->LoadFromPacket(Consiste::CheckResultServ(result, true, 0));
    edtNmSala->setText(cdsNmSala->IsEmpty() ? QString() : qs(cdsNmSala->FieldByName("NMSALA").AsString()));
}

void TfrmAgendaDeSala::attachRoomChange() {
    roomChange_ = connect(cbbSalas, &QComboBox::currentIndexChanged, this,
                          [this] { RunHandler([this] { cbbSalasChange(cbbSalas); }); });
}

void TfrmAgendaDeSala::detachRoomChange() { disconnect(roomChange_); }

// Opens the automatic booking dialog modally; returns when it has closed.
void TfrmAgendaDeSala::sbtCadAutoClick(QObject*) { Cli_Age12110::criaCadAutoSala(); }

// Filled by the status filter together with the filter itself.
void TfrmAgendaDeSala::tbtAgendadaClick(QObject*) {}
void TfrmAgendaDeSala::tbtCanceladaClick(QObject*) {}
void TfrmAgendaDeSala::tbtEncerradaClick(QObject*) {}

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
