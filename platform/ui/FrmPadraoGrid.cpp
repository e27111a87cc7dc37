#include "platform/ui/FrmPadraoGrid.h"

#include <QApplication>
#include <QBoxLayout>
#include <QFrame>
#include <QPainter>
#include <QPixmap>

#include "platform/data/Abort.h"
#include "platform/ui/Boundary.h"
#include "platform/ui/Services.h"
#include "platform/ui/Trad.h"

namespace {

const char* const kStandardMessages = "Excl|Confirma exclusão?\n";

bool editingState(TDataSetState s) { return s == TDataSetState::dsEdit || s == TDataSetState::dsInsert; }

}  // namespace

QIcon TfrmPadraoGrid::GlyphIcon(const QString& glyph, const QColor& color) {
    QPixmap pixmap(24, 24);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::TextAntialiasing);
    QFont font = QApplication::font();
    font.setPixelSize(18);
    font.setBold(true);
    p.setFont(font);
    p.setPen(color);
    p.drawText(pixmap.rect(), Qt::AlignCenter, glyph);
    return QIcon(pixmap);
}

TfrmPadraoGrid::TfrmPadraoGrid(QWidget* parent)
    : TForm(parent), msgMensagensPadroes(kStandardMessages) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    mnuMenu = new QMenuBar(this);
    mnuMenu->setObjectName("mnuMenu");
    mnuMenu->setNativeMenuBar(false);
    mnuManutencao = mnuMenu->addMenu(QStringLiteral("&Manutenção"));
    mnuManutencao->setObjectName("mnuManutencao");
    layout->addWidget(mnuMenu);

    // Button bar with the screen code at its right end.
    panMenu = new QFrame(this);
    panMenu->setObjectName("panMenu");
    static_cast<QFrame*>(panMenu)->setFrameShape(QFrame::StyledPanel);
    buttonLayout_ = new QHBoxLayout(panMenu);
    buttonLayout_->setContentsMargins(4, 2, 4, 2);
    buttonLayout_->setSpacing(1);
    const QColor blue(30, 60, 120), green(20, 110, 40), red(150, 30, 30);
    sbtIncluir = makeButton("sbtIncluir", "Incluir", QStringLiteral("+"), green);
    sbtAlterar = makeButton("sbtAlterar", "Alterar", QStringLiteral("✎"), blue);
    sbtExcluir = makeButton("sbtExcluir", "Excluir", QStringLiteral("−"), red);
    sbtGravar = makeButton("sbtGravar", "Gravar", QStringLiteral("✓"), green);
    sbtCancelar = makeButton("sbtCancelar", "Cancelar", QStringLiteral("↶"), red);
    sbtVerificar = makeButton("sbtVerificar", "Atualizar", QStringLiteral("⟳"), blue);
    sbtImprimir = makeButton("sbtImprimir", "Imprimir", QStringLiteral("▤"), blue);
    sbtAjuda = makeButton("sbtAjuda", "Ajuda", QStringLiteral("?"), blue);
    sbtFechar = makeButton("sbtFechar", "Fechar", QStringLiteral("✕"), red);
    buttonLayout_->addStretch();
    lblCodTela = new QLabel(panMenu);
    lblCodTela->setObjectName("lblCodTela");
    buttonLayout_->addWidget(lblCodTela);
    layout->addWidget(panMenu);

    topArea_ = new QVBoxLayout;
    topArea_->setContentsMargins(0, 0, 0, 0);
    topArea_->setSpacing(0);
    layout->addLayout(topArea_);

    dtsPadrao = new TDataSource(this);
    dtsPadrao->setObjectName("dtsPadrao");
    dtsPadrao->OnStateChange = [this](QObject* sender) { dtsPadraoStateChange(sender); };

    dbgPadrao = new TDBGrid(this);
    dbgPadrao->setObjectName("dbgPadrao");
    dbgPadrao->setAccessibleName(QStringLiteral("Registros"));
    dbgPadrao->SetDataSource(dtsPadrao);
    dbgPadrao->OnKeyPress = [this](QObject* sender, QChar& key) { dbgPadraoKeyPress(sender, key); };
    layout->addWidget(dbgPadrao, 1);

    panNavigator = new QFrame(this);
    panNavigator->setObjectName("panNavigator");
    static_cast<QFrame*>(panNavigator)->setFrameShape(QFrame::StyledPanel);
    navigatorLayout_ = new QHBoxLayout(panNavigator);
    navigatorLayout_->setContentsMargins(2, 1, 2, 1);
    dbnPadrao = new TDBNavigator(panNavigator);
    dbnPadrao->setObjectName("dbnPadrao");
    dbnPadrao->SetDataSource(dtsPadrao);
    dbtNome = new TDBText(panNavigator);
    dbtNome->setObjectName("dbtNome");
    dbtNome->SetDataSource(dtsPadrao);
    navigatorLayout_->addWidget(dbnPadrao);
    navigatorLayout_->addWidget(dbtNome, 1);
    layout->addWidget(panNavigator);

    mnuIncluir = makeItem("mnuIncluir", QStringLiteral("&Incluir"), QKeySequence(Qt::CTRL | Qt::Key_N));
    mnuAlterar = makeItem("mnuAlterar", QStringLiteral("&Alterar"), QKeySequence(Qt::CTRL | Qt::Key_L));
    mnuExcluir = makeItem("mnuExcluir", QStringLiteral("E&xcluir"), QKeySequence(Qt::CTRL | Qt::Key_Delete));
    mnuGravar = makeItem("mnuGravar", QStringLiteral("&Gravar"), QKeySequence(Qt::CTRL | Qt::Key_S));
    mnuCancelar = makeItem("mnuCancelar", QStringLiteral("&Cancelar"), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_C));
    mnuVerificar = makeItem("mnuVerificar", QStringLiteral("A&tualizar"), QKeySequence(Qt::Key_F5));
    mnuImprimir = makeItem("mnuImprimir", QStringLiteral("Im&primir"), QKeySequence(Qt::CTRL | Qt::Key_P));
    mnuManutencao->addSeparator();
    mnuFechar = makeItem("mnuFechar", QStringLiteral("&Fechar"), QKeySequence(Qt::CTRL | Qt::Key_W));
    mnuAjudaMenu = mnuMenu->addMenu(QStringLiteral("Aj&uda"));
    mnuAjuda = new QAction(QStringLiteral("&Ajuda"), this);
    mnuAjuda->setObjectName("mnuAjuda");
    mnuAjuda->setShortcut(QKeySequence(Qt::Key_F1));
    mnuAjuda->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    mnuAjudaMenu->addAction(mnuAjuda);
    addAction(mnuAjuda);

    bind(sbtIncluir, mnuIncluir, [this](QObject* s) { sbtIncluirClick(s); });
    bind(sbtAlterar, mnuAlterar, [this](QObject* s) { sbtAlterarClick(s); });
    bind(sbtExcluir, mnuExcluir, [this](QObject* s) { sbtExcluirClick(s); });
    bind(sbtGravar, mnuGravar, [this](QObject* s) { sbtGravarClick(s); });
    bind(sbtCancelar, mnuCancelar, [this](QObject* s) { sbtCancelarClick(s); });
    bind(sbtVerificar, mnuVerificar, [this](QObject* s) { sbtVerificarClick(s); });
    bind(sbtImprimir, mnuImprimir, [this](QObject* s) { sbtImprimirClick(s); });
    bind(sbtAjuda, mnuAjuda, [this](QObject* s) { sbtAjudaClick(s); });
    bind(sbtFechar, mnuFechar, [this](QObject* s) { sbtFecharClick(s); });
}

TfrmPadraoGrid::~TfrmPadraoGrid() {
    // The controls let go of the data sets before these are destroyed with the screen's members.
    for (auto* source : findChildren<TDataSource*>()) source->SetDataSet(nullptr);
}

TButtonFlat* TfrmPadraoGrid::makeButton(const char* name, const QString& hint, const QString& glyph,
                                        const QColor& color) {
    auto* button = new TButtonFlat(panMenu);
    button->setObjectName(name);
    button->SetHint(hint);
    button->setIcon(GlyphIcon(glyph, color));
    buttonLayout_->addWidget(button);
    return button;
}

QAction* TfrmPadraoGrid::makeItem(const char* name, const QString& caption, const QKeySequence& shortcut) {
    auto* item = new QAction(caption, this);
    item->setObjectName(name);
    item->setShortcut(shortcut);
    item->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    mnuManutencao->addAction(item);
    addAction(item);  // shortcuts work while the focus is anywhere in the screen
    return item;
}

void TfrmPadraoGrid::bind(TButtonFlat* button, QAction* item, std::function<void(QObject*)> handler) {
    if (button)
        connect(button, &QToolButton::clicked, this, [this, button, handler] { RunHandler([&] { handler(button); }); });
    if (item)
        connect(item, &QAction::triggered, this, [this, item, handler] { RunHandler([&] { handler(item); }); });
}

void TfrmPadraoGrid::AddCommand(TButtonFlat* button, int position, QAction* item, int menuPosition,
                                std::function<void(QObject*)> handler) {
    if (button) {
        button->setParent(panMenu);
        buttonLayout_->insertWidget(position, button);
    }
    if (item) {
        item->setParent(this);
        auto actions = mnuManutencao->actions();
        if (menuPosition >= 0 && menuPosition < actions.size())
            mnuManutencao->insertAction(actions[menuPosition], item);
        else
            mnuManutencao->addAction(item);
        item->setShortcutContext(Qt::WidgetWithChildrenShortcut);
        addAction(item);
    }
    bind(button, item, std::move(handler));
}

void TfrmPadraoGrid::RunHandler(const std::function<void()>& handler) { Boundary::run(handler); }

TClientDataSet* TfrmPadraoGrid::NewDataSet(const std::string& name) {
    dataSets_.push_back(std::make_unique<TClientDataSet>(name));
    return dataSets_.back().get();
}

void TfrmPadraoGrid::FormCreate(QObject*) {
    Trad_utl::Trad(this);
    TfrmPadraoGrid::dtsPadraoStateChange(dtsPadrao);
}

void TfrmPadraoGrid::dtsPadraoStateChange(QObject*) {
    const TDataSetState state = dtsPadrao->State();
    const bool open = state != TDataSetState::dsInactive;
    const bool changing = editingState(state);
    const bool browsing = open && !changing;
    sbtIncluir->setEnabled(browsing);
    sbtAlterar->setEnabled(browsing);
    sbtExcluir->setEnabled(browsing);
    sbtVerificar->setEnabled(!changing);
    sbtGravar->setEnabled(changing);
    sbtCancelar->setEnabled(changing);
    sbtImprimir->setEnabled(browsing && PrintEnabled);
    sbtAjuda->setEnabled(true);
    sbtFechar->setEnabled(true);
    for (auto [button, item] : {std::pair{sbtIncluir, mnuIncluir}, {sbtAlterar, mnuAlterar},
                                {sbtExcluir, mnuExcluir}, {sbtGravar, mnuGravar}, {sbtCancelar, mnuCancelar},
                                {sbtVerificar, mnuVerificar}, {sbtImprimir, mnuImprimir}, {sbtAjuda, mnuAjuda},
                                {sbtFechar, mnuFechar}})
        item->setEnabled(button->isEnabled());
}

void TfrmPadraoGrid::sbtIncluirClick(QObject*) {
    TClientDataSet* ds = dtsPadrao->DataSet();
    if (!ds || !ds->Active()) throw EAbort();
    if (!dbgPadrao->CommitEditor()) throw EAbort();
    ds->Insert();
    dbgPadrao->setFocus(Qt::OtherFocusReason);
}

void TfrmPadraoGrid::sbtAlterarClick(QObject*) {
    TClientDataSet* ds = dtsPadrao->DataSet();
    if (!ds || !ds->Active() || ds->IsEmpty()) throw EAbort();
    ds->Edit();
    dbgPadrao->setFocus(Qt::OtherFocusReason);
}

void TfrmPadraoGrid::sbtExcluirClick(QObject*) {
    TClientDataSet* ds = dtsPadrao->DataSet();
    if (!ds || !ds->Active() || ds->IsEmpty()) throw EAbort();
    auto answer = age::ui::MessageService::Instance().Confirm(msgMensagensPadroes.Msg("Excl"), age::ui::Answer::No,
                                                              age::ui::Answer::No);
    if (answer == age::ui::Answer::Yes) ds->Delete();
}

void TfrmPadraoGrid::sbtGravarClick(QObject*) {
    TClientDataSet* ds = dtsPadrao->DataSet();
    if (!ds) return;
    if (!dbgPadrao->CommitEditor()) throw EAbort();
    ds->Post();
}

void TfrmPadraoGrid::sbtCancelarClick(QObject*) {
    dbgPadrao->CancelEditor();
    if (TClientDataSet* ds = dtsPadrao->DataSet()) ds->Cancel();
}

void TfrmPadraoGrid::sbtVerificarClick(QObject*) {}

void TfrmPadraoGrid::sbtImprimirClick(QObject*) {}

void TfrmPadraoGrid::sbtAjudaClick(QObject*) { age::ui::MessageService::Instance().Help(HelpContext); }

void TfrmPadraoGrid::sbtFecharClick(QObject*) { CloseForm(); }

void TfrmPadraoGrid::dbgPadraoKeyPress(QObject*, QChar&) {
    const QModelIndex cell = dbgPadrao->currentIndex();
    if (!cell.isValid() || !(dbgPadrao->model()->flags(cell) & Qt::ItemIsEditable)) throw EAbort();
}
