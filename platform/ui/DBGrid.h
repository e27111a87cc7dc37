// The data grid and the small data controls of the standard screen.
//
// TDBGrid shows the visible rows of its data source's data set in the columns the screen declares
// (AddColumn: field, title, width, read-only, pick list). The grid's current row and the data set's
// current row follow each other; moving to another row posts the row being edited (the data set does it),
// and when that post is refused the grid stays on the row with what was typed. Typing or double-clicking
// an editable cell starts Edit first (BeforeEdit may refuse it: then no editor opens); the editor writes
// through the field's SetText. A column with a pick list edits with a list of its words; a field with an
// EditMask edits through the equivalent input mask and shows its value through the mask.
//
// Events the screen binds (each with the grid as sender):
// - OnDrawColumnCell(sender, rect, dataCol, column, state): paints a data cell through Canvas(); every
//   field read inside it sees the row being painted. Unset: default painting.
// - OnColEnter(sender): every change of the current column.
// - OnKeyPress(sender, key): a typed character, before the grid or its editor takes it; throwing EAbort
//   (or setting key to a null character) drops the key.
#pragma once

#include <QColor>
#include <QLabel>
#include <QPointer>
#include <QStringList>
#include <QTableView>
#include <deque>
#include <functional>
#include <string>

#include "platform/data/ClientDataSet.h"

class TDataSource;
class TDBGrid;
class TButtonFlat;
class QPainter;

struct TColumn {
    std::string FieldName;
    QString Title;       // empty: the field's display label
    int Width = -1;      // pixels; -1: the grid's default
    bool ReadOnly = false;  // read when the next editor opens
    QStringList PickList;   // words offered by a list editor
    TField* Field() const;  // null while the data set has no such field
    TDBGrid* Grid() const { return grid_; }

private:
    friend class TDBGrid;
    TDBGrid* grid_ = nullptr;
};

// The text a grid cell shows for a field of the current row: its display text, or its value through its
// edit mask when it has no text event ("0930" under "!90:00;0; " shows "09:30"). For drawing handlers.
std::string FieldDisplayText(const TField& field);

struct TGridDrawState {
    bool Selected = false;  // the cell is the grid's selected (current) cell
    bool Focused = false;   // and the grid has the focus
};

// What OnDrawColumnCell paints with, set up with the grid's colours for the cell.
class TCanvas {
public:
    struct { QColor Color; } Font;
    struct { QColor Color; } Brush;
    void FillRect(const QRect& rect);
    // Text clipped to rect on an opaque background of Brush.Color, its top-left corner at (x, y).
    void TextRect(const QRect& rect, int x, int y, const QString& text);
    QPainter* Painter() const { return painter_; }

private:
    friend class TDBGrid;
    friend class TDBGridDelegate;
    QPainter* painter_ = nullptr;
};

class TDBGridModel;

class TDBGrid : public QTableView {
    Q_OBJECT
public:
    explicit TDBGrid(QWidget* parent = nullptr);
    ~TDBGrid() override;

    void SetDataSource(TDataSource* source);
    TDataSource* DataSource() const { return source_; }
    TClientDataSet* DataSet() const;

    TColumn& AddColumn(const std::string& fieldName, const QString& title = {}, int width = -1);
    std::deque<TColumn>& Columns() { return columns_; }
    const std::deque<TColumn>& Columns() const { return columns_; }
    int ColumnIndexOf(std::string_view fieldName) const;  // -1 when no column shows the field
    // Applies changed titles and widths of the columns; a column is at least as wide as its title.
    void RefreshColumns();

    int SelectedIndex() const;  // current column, -1 when none
    void SetSelectedIndex(int column);
    TField* SelectedField() const;
    // Puts the focus on the field's cell in the current row (after a failed check).
    void FocusField(std::string_view fieldName);

    // An open editor's text goes into its field (before a post from a command); false when refused.
    bool CommitEditor();
    // Closes an open editor without storing its text.
    void CancelEditor();
    bool Editing() const;

    TCanvas& Canvas() { return canvas_; }
    // The default painting of a cell, for a handler that draws some cells itself.
    void DefaultDrawColumnCell(const QRect& rect, int dataCol, TColumn& column, TGridDrawState state);

    std::function<void(QObject* Sender, const QRect& Rect, int DataCol, TColumn& Column, TGridDrawState State)>
        OnDrawColumnCell;
    std::function<void(QObject* Sender)> OnColEnter;
    std::function<void(QObject* Sender, QChar& Key)> OnKeyPress;

    // A typed character as the grid sees it; false when a handler dropped it. Editors call it too.
    bool KeyPressed(QChar key);

protected:
    bool edit(const QModelIndex& index, EditTrigger trigger, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    // Tab past the last cell, or Shift+Tab before the first, leaves a grid that is browsing instead of
    // wrapping round, so the keyboard can reach the controls around it.
    QModelIndex moveCursor(CursorAction cursorAction, Qt::KeyboardModifiers modifiers) override;
    void currentChanged(const QModelIndex& current, const QModelIndex& previous) override;
    void focusInEvent(QFocusEvent* event) override;
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    friend class TDBGridDelegate;
    friend class TDBGridModel;
    void followDataSet();
    int titleWidth(int column) const;
    void stateChanged();
    TDataSource* source_ = nullptr;
    TDBGridModel* model_;
    std::deque<TColumn> columns_;
    TCanvas canvas_;
    bool following_ = false;
    bool rowsChanging_ = false;  // the data set is adding or taking out a row
    bool inCurrentChanged_ = false;
    int pendingColumn_ = -1;
    QPointer<QWidget> editor_;
};

// First, prior, next, last over the data source's data set.
class TDBNavigator : public QWidget {
    Q_OBJECT
public:
    explicit TDBNavigator(QWidget* parent = nullptr);
    void SetDataSource(TDataSource* source);
    TButtonFlat* First() const { return buttons_[0]; }
    TButtonFlat* Prior() const { return buttons_[1]; }
    TButtonFlat* Next() const { return buttons_[2]; }
    TButtonFlat* Last() const { return buttons_[3]; }

private:
    void refresh();
    TDataSource* source_ = nullptr;
    TButtonFlat* buttons_[4];
};

// The display text of one field of the current row.
class TDBText : public QLabel {
    Q_OBJECT
public:
    explicit TDBText(QWidget* parent = nullptr);
    void SetDataSource(TDataSource* source);
    std::string DataField;
    void refresh();

private:
    TDataSource* source_ = nullptr;
};
