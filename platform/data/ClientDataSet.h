// In-memory client data set: rows loaded from a data packet, a current row, browse/edit/insert states
// with their events, old values, a change log that can be taken as a delta, merged or cancelled, and a
// filter "FIELD IN ('x', 'y')" that survives reloading. Plain C++, no toolkit.
//
// Events and notifications
// - Each operation raises its events in a fixed order (listed at the operation). A Before* handler that
//   throws (EAbort or anything else) ends the operation with nothing changed; the exception propagates.
// - Once an operation has made its change, the rest of its events all fire even if one of them throws;
//   the first exception propagates after the last event. So AfterPost runs even when the state-change
//   handler failed, and the data set is always left consistent. (A new row is the exception: a failure up
//   to OnNewRecord takes it away again, see Insert.)
// - Observers are told as soon as a change is made, before the event handlers of that change: StateChanged
//   immediately precedes OnStateChange, CurrentChanged precedes AfterScroll. An "AboutTo" notification
//   comes with the data set still as before; its partner follows with the change made; nothing runs in
//   between. That is exactly the begin/end pairing of a toolkit table model.
// - Observers must not throw. Nothing fires while WithActiveRow runs, and nothing may change the data set
//   then.
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

// Misuse of a data set: unknown field, wrong state, bad filter text, value too long, bad packet shape.
class EDatabaseError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TClientDataSet;

enum class TDataSetState { dsInactive, dsBrowse, dsEdit, dsInsert };

// A field of the data set, bound to the current row (or to the row being edited or inserted). Fields live
// as long as their data set, so handlers and labels set on them survive closing and reloading.
class TField {
public:
    using GetTextHandler = std::function<void(TField& sender, std::string& text, bool displayText)>;
    using SetTextHandler = std::function<void(TField& sender, const std::string& text)>;

    const std::string& FieldName() const { return def_.name; }
    age::data::FieldType DataType() const { return def_.type; }
    int Size() const { return def_.size; }
    const age::data::FieldDef& Def() const { return def_; }
    int Index() const { return index_; }  // position among the data set's fields
    std::string DisplayLabel;             // starts as the field name
    std::string EditMask;                 // for the user interface only; the data set does not apply it
    bool ReadOnly = false;                // for the grid; code may still set the value

    // Value of the current row; reading with no current row gives null.
    age::data::Value AsValue() const;
    std::string AsString() const;                     // valueText of the value
    std::optional<age::DateTime> AsDateTime() const;  // Date and DateTime fields; null gives nullopt
    bool IsNull() const;
    // Writing needs edit or insert state; throws EDatabaseError on a wrong kind or a value too long.
    // An empty string is stored as null; a DateTime given to a Date field keeps its whole day, a Date given
    // to a DateTime field means its midnight.
    void SetValue(const age::data::Value& v);
    // "" stores null; date fields read "dd/mm/yyyy" (date-times optionally followed by " HH:MM[:SS]"),
    // integer fields decimal digits.
    void SetAsString(const std::string& s);
    void SetAsDateTime(age::DateTime t);  // Date fields keep the whole day only
    void Clear();

    // Value of the row as last loaded or merged (the value before the current edit); null for a new row.
    age::data::Value OldValue() const;

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
    TField(TClientDataSet* owner, age::data::FieldDef def, int index)
        : DisplayLabel(def.name), def_(std::move(def)), owner_(owner), index_(index) {}
    std::string textThroughHandler(bool displayText) const;
    age::data::FieldDef def_;
    TClientDataSet* owner_;
    int index_;
};

// Observers see every change a view needs to follow (a grid model, a data source). Rows are visible rows.
class TDataSetObserver {
public:
    virtual ~TDataSetObserver() = default;
    virtual void StateChanged(TClientDataSet&) {}
    // Load, close, filter change, cancel of all updates: every visible row may have changed.
    virtual void RowsAboutToReset(TClientDataSet&) {}
    virtual void RowsReset(TClientDataSet&) {}
    virtual void RowAboutToBeInserted(TClientDataSet&, int /*visibleRow*/) {}
    virtual void RowInserted(TClientDataSet&, int /*visibleRow*/) {}  // the row is in place
    virtual void RowAboutToBeRemoved(TClientDataSet&, int /*visibleRow*/) {}
    virtual void RowRemoved(TClientDataSet&, int /*visibleRow*/) {}  // the row is gone
    // A value of a visible row changed: a value set on the row being edited or inserted, or its values
    // coming back on cancel.
    virtual void RowChanged(TClientDataSet&, int /*visibleRow*/) {}
    // The current row moved, or was replaced (insert, cancel of an insert, delete, and after every reset).
    virtual void CurrentChanged(TClientDataSet&) {}
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
    // Opens the data set with the packet's rows, in browse state on the first visible row. The first load
    // defines the fields when none are; later packets are mapped onto the defined fields by name (extra
    // columns ignored; a missing field or one of another type is an EDatabaseError naming it). Discards a
    // row being edited or inserted (no cancel events) and the change log; keeps Filter and Filtered.
    // Throws PacketError on a bad packet; on any error the data set is left as it was.
    // Events: OnStateChange (always, also when already browsing), AfterOpen, AfterScroll.
    // Observers: RowsAboutToReset, RowsReset, CurrentChanged, StateChanged.
    void LoadFromPacket(const age::data::Packet& packet);
    // Closes: discards rows, a row being edited or inserted, and the change log. Fields, Filter and
    // Filtered stay. A no-op when closed. Events: OnStateChange, AfterClose.
    void Close();
    bool Active() const;
    TDataSetState State() const;

    // Defines the fields before any load. Throws EDatabaseError when fields are already defined with other
    // definitions (fields never change once defined) and PacketError on bad definitions.
    void SetFields(const std::vector<age::data::FieldDef>& fields);
    const std::vector<std::unique_ptr<TField>>& Fields() const;
    TField& FieldByName(std::string_view name);  // throws EDatabaseError naming the unknown field
    TField* FindField(std::string_view name);

    // --- navigation over the visible (filtered) rows. Each first finishes a row being edited or inserted:
    // posts it when Modified, else cancels it (an untouched new row disappears); when that throws, nothing
    // moves and the exception propagates. Then BeforeScroll, the move, AfterScroll. First and Last always
    // raise AfterScroll; Next and Prior only when they moved. Closed data sets throw EDatabaseError.
    // MoveTo, Next and Prior go to the row that was shown there (or next to the current one) when they were
    // asked, wherever finishing the row put it; when a handler reloaded the rows meanwhile, they find it by
    // KeyFields. A target that is gone leaves the data set on the row it finished.
    int RecordCount() const;  // visible rows
    bool IsEmpty() const;
    int RecNo() const;            // 0-based index of the current visible row, -1 when none
    void First();                 // Bof becomes true
    void Last();                  // Eof becomes true
    void Next();                  // at the last row: no move, Eof becomes true
    void Prior();                 // at the first row: no move, Bof becomes true
    void MoveTo(int visibleRow);  // to the current row: nothing at all (a row being edited stays so)
    bool Eof() const;             // true after Last, after Next at the last row, or when empty
    bool Bof() const;             // true after opening, First, Prior at the first row, or when empty

    // Moves (as navigation does) to the first visible row whose fields equal the values; returns false and
    // stays when none does.
    bool Locate(const std::vector<std::string>& fieldNames, const std::vector<age::data::Value>& values);
    // The fields that name a row whatever its place and whatever reload brought it (the provider's key).
    std::vector<std::string> KeyFields;

    // --- editing
    // Insert: a new row before the current one; Append: at the end. Events: BeforeInsert, BeforeScroll,
    // (row placed) OnStateChange, OnNewRecord, AfterInsert, AfterScroll. Values set by OnNewRecord do not
    // count as Modified. When BeforeInsert, the state change handler or OnNewRecord throws, no row is
    // created, the data set is in browse on its former row (OnStateChange again when the state had
    // changed) and the exception propagates.
    void Insert();
    void Append();
    // In browse: BeforeEdit, OnStateChange, AfterEdit. On an empty set: Insert. In edit or insert: nothing.
    void Edit();
    // BeforePost, (row committed and logged; a row the filter no longer passes leaves the visible rows)
    // OnStateChange, AfterPost. In browse or closed: nothing.
    void Post();
    // BeforeCancel, [BeforeScroll for a new row], OnStateChange, AfterCancel, [AfterScroll for a new row].
    // A new row disappears; an edited row gets back its values from before the edit. In browse: nothing.
    void Cancel();
    // In insert state: Cancel. Else BeforeDelete, BeforeScroll, (row removed and logged; a pending edit is
    // dropped, OnStateChange), AfterDelete, AfterScroll. The next row becomes current, or the last one.
    // Throws EDatabaseError on an empty or closed set.
    void Delete();
    bool Modified() const;  // a value of the row being edited or inserted was set

    // --- change log
    // When false, posts and deletes are not logged: the values are at once the stored state. A row that
    // already has an unsent change keeps it, carrying its latest values.
    bool LogChanges = true;
    int ChangeCount() const;             // rows with an unsent change
    age::data::ChangeLog Delta() const;  // unsent changes in the order first made, in the wire's form
    void MergeChangeLog();               // the current values become the stored state and the next old values
    // Undoes every unsent change (after cancelling a row being edited or inserted, with its events):
    // inserted rows go, edited rows get their stored values back, deleted rows come back at their place.
    // The current row stays when it still exists. Observers: RowsAboutToReset, RowsReset, CurrentChanged.
    void CancelUpdates();

    // --- filter: "FIELD IN ('x', 'y', ...)", matching the field's AsString exactly. SetFilter throws
    // EDatabaseError on text it cannot read; the field must exist when filtering is applied (on an open
    // data set, or at the next load). When the visible rows change (filtered and open): a row being edited
    // or inserted is finished as by navigation, then BeforeScroll, refilter, first row, AfterScroll. A row
    // being inserted or edited stays visible until it is posted.
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
    Event OnStateChange;  // every change of State(), and every load, as a data source reports it

    void AddObserver(TDataSetObserver* observer);
    void RemoveObserver(TDataSetObserver* observer);

    // Value of a field in a visible row (for painting rows other than the current one); the row being
    // edited or inserted shows its unposted values.
    age::data::Value ValueAt(int visibleRow, int fieldIndex) const;
    // Runs fn with every field read (values, old values, texts, handlers' reads of other fields) seeing the
    // given visible row instead of the current one; no event fires, the current row does not move, and any
    // change attempted inside throws EDatabaseError. The current row is back when it returns or throws.
    void WithActiveRow(int visibleRow, const std::function<void()>& fn);

private:
    friend class TField;
    struct Impl;
    void defineFields(const std::vector<age::data::FieldDef>& fields);
    std::string name_;
    std::unique_ptr<Impl> d_;
};
