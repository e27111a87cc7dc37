// In-memory client data set: rows loaded from a data packet, a current row, browse/edit/insert states
// with their events, old values, a change log that can be taken as a delta, merged or cancelled, and a
// filter "FIELD IN ('x', 'y')" that survives reloading. Plain C++, no toolkit.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/data/Abort.h"
#include "platform/data/Packet.h"

// Misuse of a data set: unknown field, wrong state, bad filter text, value too long, bad packet.
class EDatabaseError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TClientDataSet;

enum class TDataSetState { dsInactive, dsBrowse, dsEdit, dsInsert };

// A field of the data set, bound to the current row (or to the row being edited or inserted).
class TField {
public:
    using GetTextHandler = std::function<void(TField& sender, std::string& text, bool displayText)>;
    using SetTextHandler = std::function<void(TField& sender, const std::string& text)>;

    const std::string& FieldName() const { return def_.name; }
    FieldType DataType() const { return def_.type; }
    int Size() const { return def_.size; }
    const FieldDef& Def() const { return def_; }
    std::string DisplayLabel;  // defaults to the field name when empty
    std::string EditMask;      // for the user interface only; the data set does not apply it
    bool ReadOnly = false;

    // Value of the current row; reading with no current row gives null.
    Value AsValue() const;
    std::string AsString() const;            // valueText of the value
    std::optional<DateTime> AsDateTime() const;  // Date and DateTime fields; null gives nullopt
    bool IsNull() const;
    // Writing needs edit or insert state; throws EDatabaseError on a wrong kind or a value too long.
    void SetValue(const Value& v);
    void SetAsString(const std::string& s);  // string fields; "" stores null
    void SetAsDateTime(DateTime t);          // Date fields keep the whole day only
    void Clear();

    // Value of the row as last loaded or merged (the value before the current edit); null for a new row.
    Value OldValue() const;

    // Text through OnGetText when set, else AsString. DisplayText is the text for display (grid cells),
    // Text the text for editing.
    std::string Text() const;
    std::string DisplayText() const;
    // Through OnSetText when set, else SetAsString.
    void SetText(const std::string& text);

    GetTextHandler OnGetText;
    SetTextHandler OnSetText;

    TClientDataSet& DataSet() const { return *owner_; }

private:
    friend class TClientDataSet;
    TField(TClientDataSet* owner, FieldDef def, int index) : def_(std::move(def)), owner_(owner), index_(index) {}
    FieldDef def_;
    TClientDataSet* owner_;
    int index_;
};

// Observers see every change a view needs to follow (a grid model, a data source).
class TDataSetObserver {
public:
    virtual ~TDataSetObserver() = default;
    virtual void StateChanged(TClientDataSet&) {}
    virtual void RowsReset(TClientDataSet&) {}                 // load, close, filter change, cancel updates
    virtual void RowInserted(TClientDataSet&, int /*visibleRow*/) {}
    virtual void RowRemoved(TClientDataSet&, int /*visibleRow*/) {}
    virtual void RowChanged(TClientDataSet&, int /*visibleRow*/) {}  // a value of a row changed
    virtual void CurrentChanged(TClientDataSet&) {}            // the current row moved
};

class TClientDataSet {
public:
    using Event = std::function<void(TClientDataSet& sender)>;

    TClientDataSet();
    explicit TClientDataSet(std::string name);
    ~TClientDataSet();
    TClientDataSet(const TClientDataSet&) = delete;
    TClientDataSet& operator=(const TClientDataSet&) = delete;

    const std::string& Name() const { return name_; }

    // --- structure and loading
    // Opens the data set with the packet's fields and rows (replacing both), in browse state on the first
    // visible row; keeps Filter and Filtered; empties the change log. Throws PacketError on a bad packet.
    void LoadFromPacket(const Packet& packet);
    // Closes: discards rows, a row being edited or inserted, and the change log. Fields stay defined.
    void Close();
    bool Active() const;
    TDataSetState State() const;

    // Fields of the last packet loaded (or defined by SetFields before any load).
    void SetFields(const std::vector<FieldDef>& fields);
    const std::vector<std::unique_ptr<TField>>& Fields() const;
    TField& FieldByName(std::string_view name);  // throws EDatabaseError naming the unknown field
    TField* FindField(std::string_view name);

    // --- navigation over the visible (filtered) rows; moving while editing posts (or cancels an unchanged
    // row) first, and does not move when the post aborts.
    int RecordCount() const;  // visible rows
    bool IsEmpty() const;
    int RecNo() const;  // 0-based index of the current visible row, -1 when none
    void First();
    void Last();
    void Next();
    void Prior();
    void MoveTo(int visibleRow);
    bool Eof() const;  // after Next() past the last row, or empty
    bool Bof() const;

    // Stable identity of the current row across reloads of the same rows: the values of the key fields.
    // Locate moves to the first visible row whose fields equal the values; returns false when none.
    bool Locate(const std::vector<std::string>& fieldNames, const std::vector<Value>& values);

    // --- editing
    void Insert();  // inserts a new row before the current one
    void Append();  // appends a new row at the end
    void Edit();
    void Post();
    void Cancel();
    void Delete();
    bool Modified() const;  // a value of the row being edited or inserted was set

    // --- change log
    bool LogChanges = true;  // when false, changes are not logged (and are at once the stored state)
    int ChangeCount() const;  // rows with an unsent change
    ChangeLog Delta() const;  // the unsent changes in the wire's change log form
    void MergeChangeLog();    // the current values become the stored state and the next edit's old values
    void CancelUpdates();     // undo every unsent change: inserted rows go, edited rows return, deleted come back

    // --- filter: "FIELD IN ('x', 'y', ...)"; throws EDatabaseError on text it cannot read or an unknown field
    void SetFilter(const std::string& text);
    const std::string& Filter() const;
    void SetFiltered(bool on);
    bool Filtered() const;

    // --- events (each one handler, as a form binds it)
    Event BeforeInsert, OnNewRecord, AfterInsert;
    Event BeforeEdit, AfterEdit;
    Event BeforePost, AfterPost;
    Event BeforeCancel, AfterCancel;
    Event BeforeDelete, AfterDelete;
    Event BeforeScroll, AfterScroll;
    Event AfterOpen, AfterClose;
    Event OnStateChange;  // every change of State(), as a data source reports it

    void AddObserver(TDataSetObserver* observer);
    void RemoveObserver(TDataSetObserver* observer);

    // Value of a field in a visible row (for painting rows other than the current one).
    Value ValueAt(int visibleRow, int fieldIndex) const;
    // Runs fn with every field read (values, texts, handlers' reads of other fields) seeing the given
    // visible row instead of the current one; no event fires and the current row does not move. Grids
    // paint and show rows other than the current one through it.
    void WithActiveRow(int visibleRow, const std::function<void()>& fn);

private:
    friend class TField;
    struct Impl;
    std::string name_;
    std::unique_ptr<Impl> d_;
};
