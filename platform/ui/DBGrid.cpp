#include "platform/ui/DBGrid.h"

#include <QAbstractTableModel>
#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionHeader>
#include <QStyledItemDelegate>

#include "platform/ui/Boundary.h"
#include "platform/ui/ButtonFlat.h"
#include "platform/ui/DataSource.h"
#include "platform/ui/EditMask.h"

namespace {

QString qs(const std::string& s) { return QString::fromStdString(s); }

// Runs `refresh` whenever the source's current row, rows, state or data set change, and on the single-row
// signals the caller names.
void followSource(TDataSource* source, QObject* receiver, const std::function<void()>& refresh,
                  std::initializer_list<void (TDataSource::*)(int)> rowSignals) {
    for (auto signal : {&TDataSource::currentChanged, &TDataSource::rowsReset, &TDataSource::stateChanged,
                        &TDataSource::dataSetChanged})
        QObject::connect(source, signal, receiver, refresh);
    for (auto signal : rowSignals) QObject::connect(source, signal, receiver, [refresh](int) { refresh(); });
}

bool editing(const TClientDataSet* ds) {
    return ds && (ds->State() == TDataSetState::dsEdit || ds->State() == TDataSetState::dsInsert);
}

// Runs fn with the fields seeing the given visible row (the current row needs no switch: it may be the
// row being edited).
void atRow(TClientDataSet& ds, int row, const std::function<void()>& fn) {
    if (row == ds.RecNo())
        fn();
    else
        ds.WithActiveRow(row, fn);
}

}  // namespace

std::string FieldDisplayText(const TField& field) {
    if (!field.EditMask.empty() && !field.OnGetText)
        return EditMask::Format(field.EditMask, field.AsString());
    return field.DisplayText();
}

TField* TColumn::Field() const {
    TClientDataSet* ds = grid_ ? grid_->DataSet() : nullptr;
    return ds ? ds->FindField(FieldName) : nullptr;
}

void TCanvas::FillRect(const QRect& rect) {
    if (painter_) painter_->fillRect(rect, Brush.Color);
}

void TCanvas::TextRect(const QRect& rect, int x, int y, const QString& text) {
    if (!painter_) return;
    painter_->save();
    painter_->setClipRect(rect);
    painter_->fillRect(rect, Brush.Color);
    painter_->setPen(Font.Color);
    QRect area(x, y, rect.right() - x + 1, rect.bottom() - y + 1);
    painter_->drawText(area, Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, text);
    painter_->restore();
}

// ---------------------------------------------------------------------------------------------------------

class TDBGridModel : public QAbstractTableModel {
public:
    explicit TDBGridModel(TDBGrid* grid) : QAbstractTableModel(grid), grid_(grid) {}

    void setSource(TDataSource* source) {
        beginResetModel();
        if (source_) disconnect(source_, nullptr, this, nullptr);
        source_ = source;
        if (source_) {
            connect(source_, &TDataSource::dataSetChanged, this, [this] {
                beginResetModel();
                endResetModel();
            });
            connect(source_, &TDataSource::rowsAboutToReset, this, [this] {
                // Rows read again (after every save): the grid comes back in the column it was in.
                const QModelIndex cell = grid_->currentIndex();
                if (grid_->pendingColumn_ < 0 && cell.isValid()) grid_->pendingColumn_ = cell.column();
                beginResetModel();
            });
            connect(source_, &TDataSource::rowsReset, this, [this] { endResetModel(); });
            // While the data set adds or takes out a row the view may move its current cell off it; that
            // move is the view's bookkeeping, not the user's, and must not move the data set mid-change.
            connect(source_, &TDataSource::rowAboutToBeInserted, this, [this](int row) {
                grid_->rowsChanging_ = true;
                beginInsertRows({}, row, row);
            });
            connect(source_, &TDataSource::rowInserted, this, [this] {
                endInsertRows();
                grid_->rowsChanging_ = false;
            });
            connect(source_, &TDataSource::rowAboutToBeRemoved, this, [this](int row) {
                grid_->rowsChanging_ = true;
                beginRemoveRows({}, row, row);
            });
            connect(source_, &TDataSource::rowRemoved, this, [this] {
                endRemoveRows();
                grid_->rowsChanging_ = false;
            });
            connect(source_, &TDataSource::rowChanged, this, [this](int row) {
                emit dataChanged(index(row, 0), index(row, columnCount() - 1));
            });
            connect(source_, &TDataSource::stateChanged, this, [this] {
                // Closing keeps no rows; state changes of an open set can change what the current row shows.
                if (rowCount() > 0) emit dataChanged(index(0, 0), index(rowCount() - 1, columnCount() - 1));
            });
        }
        endResetModel();
    }

    void columnsChanged() {
        beginResetModel();
        endResetModel();
    }

    TClientDataSet* dataSet() const { return source_ ? source_->DataSet() : nullptr; }

    int rowCount(const QModelIndex& parent = {}) const override {
        if (parent.isValid()) return 0;
        auto* ds = dataSet();
        return ds && ds->Active() ? ds->RecordCount() : 0;
    }
    int columnCount(const QModelIndex& parent = {}) const override {
        return parent.isValid() ? 0 : static_cast<int>(grid_->Columns().size());
    }

    QVariant data(const QModelIndex& index, int role) const override {
        if (!index.isValid()) return {};
        if (role != Qt::DisplayRole && role != Qt::EditRole && role != Qt::AccessibleTextRole) return {};
        auto* ds = dataSet();
        TField* field = grid_->Columns()[index.column()].Field();
        if (!ds || !field) return {};
        std::string text;
        Boundary::runQuiet([&] {
            atRow(*ds, index.row(), [&] { text = role == Qt::EditRole ? field->Text() : FieldDisplayText(*field); });
        });
        return qs(text);
    }

    QVariant headerData(int section, Qt::Orientation orientation, int role) const override {
        if (orientation != Qt::Horizontal || section < 0 || section >= columnCount()) return {};
        if (role != Qt::DisplayRole && role != Qt::AccessibleTextRole) return {};
        const TColumn& column = grid_->Columns()[section];
        if (!column.Title.isEmpty()) return column.Title;
        if (TField* f = column.Field()) return qs(f->DisplayLabel);
        return qs(column.FieldName);
    }

    Qt::ItemFlags flags(const QModelIndex& index) const override {
        if (!index.isValid()) return Qt::NoItemFlags;
        Qt::ItemFlags f = Qt::ItemIsSelectable | Qt::ItemIsEnabled;
        const TColumn& column = grid_->Columns()[index.column()];
        TField* field = column.Field();
        if (field && !column.ReadOnly && !field->ReadOnly) f |= Qt::ItemIsEditable;
        return f;
    }

    bool setData(const QModelIndex& index, const QVariant& value, int role) override {
        if (!index.isValid() || role != Qt::EditRole) return false;
        auto* ds = dataSet();
        TField* field = grid_->Columns()[index.column()].Field();
        if (!ds || !field) return false;
        std::string text = value.toString().toStdString();
        if (!field->EditMask.empty()) text = EditMask::Strip(field->EditMask, text);
        if (text == field->Text()) return true;  // an unchanged cell does not make the row modified
        lastSetDataOk_ = Boundary::completed(Boundary::run([&] {
            if (ds->State() == TDataSetState::dsBrowse) ds->Edit();
            if (editing(ds)) field->SetText(text);
        }));
        return lastSetDataOk_;
    }

    bool lastSetDataOk_ = true;

private:
    TDBGrid* grid_;
    TDataSource* source_ = nullptr;
};

// ---------------------------------------------------------------------------------------------------------

class TDBGridDelegate : public QStyledItemDelegate {
public:
    explicit TDBGridDelegate(TDBGrid* grid) : QStyledItemDelegate(grid), grid_(grid) {}

    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem&, const QModelIndex& index) const override {
        const TColumn& column = grid_->Columns()[index.column()];
        TField* field = column.Field();
        QWidget* editor;
        if (!column.PickList.isEmpty()) {
            auto* combo = new QComboBox(parent);
            combo->addItems(column.PickList);
            combo->setFrame(false);
            editor = combo;
        } else {
            auto* line = new QLineEdit(parent);
            line->setFrame(false);
            if (field && !field->EditMask.empty())
                line->setInputMask(EditMask::InputMask(field->EditMask));
            else if (field && field->DataType() == age::data::FieldType::String && field->Size() > 0)
                line->setMaxLength(field->Size());
            editor = line;
        }
        editor->setAccessibleName(grid_->model()->headerData(index.column(), Qt::Horizontal).toString());
        editor->installEventFilter(grid_);
        grid_->editor_ = editor;
        return editor;
    }

    void setEditorData(QWidget* editor, const QModelIndex& index) const override {
        QString text = index.data(Qt::EditRole).toString();
        if (auto* combo = qobject_cast<QComboBox*>(editor))
            combo->setCurrentIndex(combo->findText(text));
        else if (auto* line = qobject_cast<QLineEdit*>(editor))
            line->setText(text);
    }

    void setModelData(QWidget* editor, QAbstractItemModel* model, const QModelIndex& index) const override {
        if (auto* combo = qobject_cast<QComboBox*>(editor)) {
            if (combo->currentIndex() >= 0) model->setData(index, combo->currentText());
        } else if (auto* line = qobject_cast<QLineEdit*>(editor)) {
            model->setData(index, line->text());
        }
    }

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        if (!grid_->OnDrawColumnCell) {
            QStyledItemDelegate::paint(painter, option, index);
            return;
        }
        auto* ds = grid_->DataSet();
        if (!ds || !ds->Active()) return;
        TGridDrawState state{(option.state & QStyle::State_Selected) != 0, (option.state & QStyle::State_HasFocus) != 0};
        TColumn& column = grid_->Columns()[index.column()];
        TCanvas& canvas = grid_->canvas_;
        canvas.painter_ = painter;
        painter->save();
        painter->setFont(option.font);
        auto setUp = [&] {
            canvas.Brush.Color = option.palette.color(state.Selected ? QPalette::Highlight : QPalette::Base);
            canvas.Font.Color = option.palette.color(state.Selected ? QPalette::HighlightedText : QPalette::Text);
        };
        Boundary::runQuiet([&] {
            atRow(*ds, index.row(), [&] {
                setUp();
                grid_->DefaultDrawColumnCell(option.rect, index.column(), column, state);
                setUp();
                grid_->OnDrawColumnCell(grid_, option.rect, index.column(), column, state);
            });
        });
        painter->restore();
        canvas.painter_ = nullptr;
    }

private:
    TDBGrid* grid_;
};

// ---------------------------------------------------------------------------------------------------------

TDBGrid::TDBGrid(QWidget* parent) : QTableView(parent), model_(new TDBGridModel(this)) {
    setModel(model_);
    setItemDelegate(new TDBGridDelegate(this));
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectItems);
    setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::AnyKeyPressed |
                    QAbstractItemView::EditKeyPressed);
    setTabKeyNavigation(true);
    setWordWrap(false);
    verticalHeader()->setVisible(false);
    verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
    horizontalHeader()->setHighlightSections(false);
    horizontalHeader()->setStretchLastSection(false);
}

TDBGrid::~TDBGrid() = default;

TClientDataSet* TDBGrid::DataSet() const { return source_ ? source_->DataSet() : nullptr; }

void TDBGrid::SetDataSource(TDataSource* source) {
    if (source_) disconnect(source_, nullptr, this, nullptr);
    source_ = source;
    model_->setSource(source);
    if (source_) {
        auto follow = [this] {
            if (inCurrentChanged_)
                QMetaObject::invokeMethod(this, [this] { followDataSet(); }, Qt::QueuedConnection);
            else
                followDataSet();
        };
        connect(source_, &TDataSource::currentChanged, this, follow);
        connect(source_, &TDataSource::rowsReset, this, follow);
        connect(source_, &TDataSource::stateChanged, this, [this] { stateChanged(); });
    }
    RefreshColumns();
}

TColumn& TDBGrid::AddColumn(const std::string& fieldName, const QString& title, int width) {
    TColumn column;
    column.FieldName = fieldName;
    column.Title = title;
    column.Width = width;
    column.grid_ = this;
    columns_.push_back(column);
    model_->columnsChanged();
    RefreshColumns();
    return columns_.back();
}

void TDBGrid::RefreshColumns() {
    // A width from the design is a minimum: a column is never narrower than its title in the font in use.
    for (int i = 0; i < static_cast<int>(columns_.size()); ++i) {
        const int design = columns_[i].Width >= 0 ? columns_[i].Width : horizontalHeader()->defaultSectionSize();
        setColumnWidth(i, std::max(design, titleWidth(i)));
    }
    emit model_->headerDataChanged(Qt::Horizontal, 0, std::max(0, static_cast<int>(columns_.size()) - 1));
}

int TDBGrid::titleWidth(int column) const {
    QHeaderView* header = horizontalHeader();
    QStyleOptionHeader option;
    option.initFrom(header);
    option.text = model_->headerData(column, Qt::Horizontal, Qt::DisplayRole).toString();
    option.fontMetrics = header->fontMetrics();
    return header->style()->sizeFromContents(QStyle::CT_HeaderSection, &option, QSize(), header).width();
}

bool TDBGrid::event(QEvent* event) {
    const bool handled = QTableView::event(event);
    // The style and the fonts are settled only when the grid is polished, or change later.
    if (event->type() == QEvent::Polish || event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange)
        RefreshColumns();
    return handled;
}

int TDBGrid::ColumnIndexOf(std::string_view fieldName) const {
    for (int i = 0; i < static_cast<int>(columns_.size()); ++i)
        if (columns_[i].FieldName == fieldName) return i;
    return -1;
}

int TDBGrid::SelectedIndex() const { return currentIndex().isValid() ? currentIndex().column() : -1; }

void TDBGrid::SetSelectedIndex(int column) {
    pendingColumn_ = column;
    followDataSet();
}

TField* TDBGrid::SelectedField() const {
    int column = SelectedIndex();
    return column >= 0 ? columns_[column].Field() : nullptr;
}

void TDBGrid::FocusField(std::string_view fieldName) {
    int column = ColumnIndexOf(fieldName);
    if (column >= 0) {
        pendingColumn_ = column;
        if (inCurrentChanged_)
            QMetaObject::invokeMethod(this, [this] { followDataSet(); }, Qt::QueuedConnection);
        else
            followDataSet();
    }
    setFocus(Qt::OtherFocusReason);
}

bool TDBGrid::Editing() const { return state() == QAbstractItemView::EditingState && editor_; }

bool TDBGrid::CommitEditor() {
    if (!Editing()) return true;
    QWidget* editor = editor_;
    model_->lastSetDataOk_ = true;
    commitData(editor);
    closeEditor(editor, QAbstractItemDelegate::NoHint);
    return model_->lastSetDataOk_;
}

void TDBGrid::CancelEditor() {
    if (Editing()) closeEditor(editor_, QAbstractItemDelegate::RevertModelCache);
}

void TDBGrid::DefaultDrawColumnCell(const QRect& rect, int, TColumn& column, TGridDrawState) {
    TField* field = column.Field();
    canvas_.TextRect(rect, rect.left() + 2, rect.top() + 2, field ? qs(FieldDisplayText(*field)) : QString());
}

bool TDBGrid::KeyPressed(QChar key) {
    if (!OnKeyPress) return true;
    QChar k = key;
    if (!Boundary::completed(Boundary::run([&] { OnKeyPress(this, k); }))) return false;
    return !k.isNull();
}

bool TDBGrid::edit(const QModelIndex& index, EditTrigger trigger, QEvent* event) {
    if (index.isValid() && (trigger & editTriggers()) && (model_->flags(index) & Qt::ItemIsEditable) &&
        state() != QAbstractItemView::EditingState) {
        auto* ds = DataSet();
        if (!ds || !ds->Active()) return false;
        if (ds->State() == TDataSetState::dsBrowse) {
            if (!Boundary::completed(Boundary::run([&] { ds->Edit(); }))) return false;
            if (!editing(ds)) return false;
        }
    }
    return QTableView::edit(index, trigger, event);
}

void TDBGrid::keyPressEvent(QKeyEvent* event) {
    const QString text = event->text();
    bool typed = !text.isEmpty() && text[0].isPrint() && !(event->modifiers() & (Qt::ControlModifier | Qt::AltModifier));
    if (typed && !KeyPressed(text[0])) {
        event->accept();
        return;
    }
    if (event->key() == Qt::Key_Escape && editing(DataSet())) {
        Boundary::run([&] { DataSet()->Cancel(); });
        event->accept();
        return;
    }
    QTableView::keyPressEvent(event);
}

QModelIndex TDBGrid::moveCursor(CursorAction cursorAction, Qt::KeyboardModifiers modifiers) {
    const QModelIndex cell = currentIndex();
    const bool forward = cursorAction == MoveNext, back = cursorAction == MovePrevious;
    if ((forward || back) && cell.isValid() && !editing(DataSet())) {
        const bool last = cell.row() == model_->rowCount() - 1 && cell.column() == model_->columnCount() - 1;
        const bool first = cell.row() == 0 && cell.column() == 0;
        if ((forward && last) || (back && first)) return {};
    }
    return QTableView::moveCursor(cursorAction, modifiers);
}

bool TDBGrid::eventFilter(QObject* watched, QEvent* event) {
    if (watched == editor_ && event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        const QString text = key->text();
        if (!text.isEmpty() && text[0].isPrint() && !(key->modifiers() & (Qt::ControlModifier | Qt::AltModifier)) &&
            !KeyPressed(text[0]))
            return true;
    }
    return QTableView::eventFilter(watched, event);
}

void TDBGrid::currentChanged(const QModelIndex& current, const QModelIndex& previous) {
    QTableView::currentChanged(current, previous);
    bool columnMoved = current.isValid() && current.column() != previous.column();
    if (!following_ && !rowsChanging_) {
        auto* ds = DataSet();
        if (ds && ds->Active() && current.isValid() && current.row() != ds->RecNo()) {
            inCurrentChanged_ = true;
            Boundary::run([&] { ds->MoveTo(current.row()); });
            inCurrentChanged_ = false;
            // A refused post keeps the data set on its row, and a save that reloaded the rows puts the
            // chosen row elsewhere: the grid follows the data set, in the column clicked unless a check
            // asked for another.
            if (ds->RecNo() != current.row() || pendingColumn_ >= 0) {
                if (pendingColumn_ < 0) pendingColumn_ = current.column();
                QMetaObject::invokeMethod(this, [this] { followDataSet(); }, Qt::QueuedConnection);
            }
        }
    }
    if (columnMoved && OnColEnter) Boundary::run([&] { OnColEnter(this); });
}

void TDBGrid::followDataSet() {
    auto* ds = DataSet();
    int row = ds && ds->Active() ? ds->RecNo() : -1;
    int column = pendingColumn_ >= 0 ? pendingColumn_ : std::max(currentIndex().column(), 0);
    pendingColumn_ = -1;
    following_ = true;
    if (row < 0 || row >= model_->rowCount() || columns_.empty())
        selectionModel()->clearCurrentIndex();
    else if (currentIndex() != model_->index(row, column))
        setCurrentIndex(model_->index(row, column));
    following_ = false;
}

void TDBGrid::stateChanged() {
    // A row that stopped being edited (posted, cancelled, closed) keeps no editor open.
    if (!editing(DataSet()) && Editing()) CancelEditor();
    viewport()->update();
}

void TDBGrid::focusInEvent(QFocusEvent* event) {
    QTableView::focusInEvent(event);
    if (!currentIndex().isValid()) followDataSet();
}

// ---------------------------------------------------------------------------------------------------------

TDBNavigator::TDBNavigator(QWidget* parent) : QWidget(parent) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    const struct {
        QStyle::StandardPixmap icon;
        const char* hint;
    } moves[4] = {{QStyle::SP_MediaSkipBackward, "Primeiro"},
                  {QStyle::SP_MediaSeekBackward, "Anterior"},
                  {QStyle::SP_MediaSeekForward, "Próximo"},
                  {QStyle::SP_MediaSkipForward, "Último"}};
    for (int i = 0; i < 4; ++i) {
        buttons_[i] = new TButtonFlat(this);
        buttons_[i]->setIcon(style()->standardIcon(moves[i].icon));
        buttons_[i]->SetHint(QString::fromUtf8(moves[i].hint));
        buttons_[i]->setIconSize(QSize(16, 16));
        layout->addWidget(buttons_[i]);
    }
    auto act = [this](void (TClientDataSet::*move)()) {
        return [this, move] {
            if (auto* ds = source_ ? source_->DataSet() : nullptr) Boundary::run([&] { (ds->*move)(); });
        };
    };
    connect(buttons_[0], &QToolButton::clicked, this, act(&TClientDataSet::First));
    connect(buttons_[1], &QToolButton::clicked, this, act(&TClientDataSet::Prior));
    connect(buttons_[2], &QToolButton::clicked, this, act(&TClientDataSet::Next));
    connect(buttons_[3], &QToolButton::clicked, this, act(&TClientDataSet::Last));
    refresh();
}

void TDBNavigator::SetDataSource(TDataSource* source) {
    if (source_) disconnect(source_, nullptr, this, nullptr);
    source_ = source;
    if (source_)
        followSource(source_, this, [this] { refresh(); }, {&TDataSource::rowInserted, &TDataSource::rowRemoved});
    refresh();
}

void TDBNavigator::refresh() {
    auto* ds = source_ ? source_->DataSet() : nullptr;
    bool open = ds && ds->Active() && !ds->IsEmpty();
    int row = open ? ds->RecNo() : -1;
    bool back = open && row > 0;
    bool forward = open && row < ds->RecordCount() - 1;
    buttons_[0]->setEnabled(back);
    buttons_[1]->setEnabled(back);
    buttons_[2]->setEnabled(forward);
    buttons_[3]->setEnabled(forward);
}

// ---------------------------------------------------------------------------------------------------------

TDBText::TDBText(QWidget* parent) : QLabel(parent) {}

void TDBText::SetDataSource(TDataSource* source) {
    if (source_) disconnect(source_, nullptr, this, nullptr);
    source_ = source;
    if (source_) followSource(source_, this, [this] { refresh(); }, {&TDataSource::rowChanged});
    refresh();
}

void TDBText::refresh() {
    auto* ds = source_ ? source_->DataSet() : nullptr;
    TField* field = ds && ds->Active() && ds->RecNo() >= 0 ? ds->FindField(DataField) : nullptr;
    std::string text;
    if (field) Boundary::runQuiet([&] { text = field->DisplayText(); });
    setText(QString::fromStdString(text));
}
