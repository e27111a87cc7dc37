#include "platform/data/ClientDataSet.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <exception>

#include "platform/data/Filter.h"

using namespace age;
using namespace age::data;

namespace {

enum class RowStatus { Unchanged, Inserted, Modified, Pending };

// One row of the data set with its change-log state. Deleted rows stay in place (hidden) until the log
// is merged, so that cancelling brings them back where they were.
struct Record {
    std::uint64_t id = 0;
    Row values;                   // committed values
    std::optional<Row> original;  // stored values of a Modified row
    RowStatus status = RowStatus::Unchanged;
    bool deleted = false;
    std::uint64_t changeSeq = 0;  // order of the row's first unsent change

    bool changed() const { return deleted || status == RowStatus::Inserted || status == RowStatus::Modified; }
    const Row& stored() const { return original ? *original : values; }
};

// The tail of an operation whose change is made: every step runs, the first failure is rethrown last.
class Tail {
public:
    template <class F>
    void step(F&& f) {
        try {
            f();
        } catch (...) {
            if (!first_) first_ = std::current_exception();
        }
    }
    void finish() {
        if (first_) std::rethrow_exception(first_);
    }

private:
    std::exception_ptr first_;
};

bool textEquals(const Value& v, const std::string& text) {
    if (const auto* s = std::get_if<std::string>(&v)) return *s == text;
    if (isNull(v)) return text.empty();
    return valueText(v) == text;
}

std::optional<int> twoDigits(std::string_view s, std::size_t pos) {
    if (pos + 2 > s.size() || s[pos] < '0' || s[pos] > '9' || s[pos + 1] < '0' || s[pos + 1] > '9')
        return std::nullopt;
    return (s[pos] - '0') * 10 + (s[pos + 1] - '0');
}

// "dd/mm/yyyy", optionally followed by " HH:MM" or " HH:MM:SS".
std::optional<DateTime> parseShortDateTime(std::string_view s) {
    auto space = s.find(' ');
    auto day = parseShortDate(s.substr(0, space));
    if (!day) return std::nullopt;
    if (space == std::string_view::npos) return atMidnight(*day);
    auto t = s.substr(space + 1);
    if ((t.size() != 5 && t.size() != 8) || t[2] != ':' || (t.size() == 8 && t[5] != ':'))
        return std::nullopt;
    auto h = twoDigits(t, 0), m = twoDigits(t, 3);
    auto sec = t.size() == 8 ? twoDigits(t, 6) : std::optional<int>(0);
    if (!h || !m || !sec || *h > 23 || *m > 59 || *sec > 59) return std::nullopt;
    return atMidnight(*day) + std::chrono::hours{*h} + std::chrono::minutes{*m} + std::chrono::seconds{*sec};
}

}  // namespace

struct TClientDataSet::Impl {
    explicit Impl(TClientDataSet& s) : self(s) {}

    TClientDataSet& self;
    std::vector<std::unique_ptr<TField>> fields;
    std::vector<FieldDef> defs;
    std::vector<std::unique_ptr<Record>> rows;  // every row in order, deleted ones included until merged
    std::vector<Record*> visible;               // rows shown: not deleted, passing the filter
    int cur = -1;
    bool bof = true, eof = true;
    TDataSetState state = TDataSetState::dsInactive;
    Row buffer;  // values of the row being edited or inserted
    bool modified = false;
    std::uint64_t rowBeforeInsert = 0;  // id of the row to return to when a new row is cancelled
    const Record* activeOverride = nullptr;
    std::string filterText;
    std::optional<InFilter> filter;
    int filterField = -1;  // resolved while open
    bool filtered = false;
    std::vector<TDataSetObserver*> observers;
    std::uint64_t nextId = 1, nextChange = 1;

    // --- checks
    EDatabaseError error(const std::string& what) const {
        return EDatabaseError(self.name_.empty() ? what : self.name_ + ": " + what);
    }
    void requireActive(std::string_view op) const {
        if (state == TDataSetState::dsInactive) throw error(std::string(op) + " needs an open data set");
    }
    void requireNoOverride(std::string_view op) const {
        if (activeOverride) throw error(std::string(op) + " is not allowed while another row is being read");
    }
    void requireOpenAndFree(std::string_view op) const {
        requireNoOverride(op);
        requireActive(op);
    }

    // --- rows
    bool editing() const { return state == TDataSetState::dsEdit || state == TDataSetState::dsInsert; }
    Record* current() const {
        return cur >= 0 && cur < static_cast<int>(visible.size()) ? visible[cur] : nullptr;
    }
    const Row* rowOf(const Record* r) const {
        if (!r) return nullptr;
        return editing() && r == current() ? &buffer : &r->values;
    }
    const Record* activeRecord() const { return activeOverride ? activeOverride : current(); }
    const Row* activeRow() const { return rowOf(activeRecord()); }
    std::uint64_t currentId() const { return current() ? current()->id : 0; }

    // Where the row with this id is shown; `hint` is where it was, which is almost always still right.
    int visibleIndexOf(std::uint64_t id, int hint = -1) const {
        if (id == 0) return -1;
        if (hint >= 0 && hint < static_cast<int>(visible.size()) && visible[hint]->id == id) return hint;
        for (std::size_t i = 0; i < visible.size(); ++i)
            if (visible[i]->id == id) return static_cast<int>(i);
        return -1;
    }
    std::size_t rowsIndexOf(const Record* r) const {
        auto it = std::find_if(rows.begin(), rows.end(), [r](const auto& p) { return p.get() == r; });
        return static_cast<std::size_t>(it - rows.begin());
    }
    void eraseRow(const Record* r) { rows.erase(rows.begin() + static_cast<std::ptrdiff_t>(rowsIndexOf(r))); }

    int fieldIndex(const std::vector<FieldDef>& in, std::string_view name) const {
        for (std::size_t i = 0; i < in.size(); ++i)
            if (in[i].name == name) return static_cast<int>(i);
        return -1;
    }

    // --- filter
    int resolveFilter(const std::optional<InFilter>& f, const std::string& text,
                      const std::vector<FieldDef>& in) const {
        if (!f) return -1;
        int index = fieldIndex(in, f->field);
        if (index < 0) throw error("filter \"" + text + "\": unknown field " + f->field);
        return index;
    }
    bool passes(const Record* r) const {
        if (!filtered || !filter || filterField < 0) return true;
        const Value& v = r->values[static_cast<std::size_t>(filterField)];
        return std::any_of(filter->values.begin(), filter->values.end(),
                           [&](const std::string& text) { return textEquals(v, text); });
    }
    void rebuildVisible() {
        visible.clear();
        visible.reserve(rows.size());
        for (const auto& r : rows)
            if (!r->deleted && (r->status == RowStatus::Pending || passes(r.get())))
                visible.push_back(r.get());
    }

    // --- notifications
    template <class F>
    void notify(F&& f) {
        auto copy = observers;
        for (auto* o : copy) f(*o);
    }
    void fire(const Event& e) {
        if (!e) return;
        Event handler = e;  // the handler may rebind its own slot
        handler(self);
    }
    void stateChanged(Tail& tail) {
        notify([&](TDataSetObserver& o) { o.StateChanged(self); });
        tail.step([&] { fire(self.OnStateChange); });
    }
    void setCurrent(int index) {
        if (index == cur) return;
        cur = index;
        notify([&](TDataSetObserver& o) { o.CurrentChanged(self); });
    }
    // Replaces the visible rows wholesale, keeping the row with keepId current when it is still visible.
    template <class Change>
    void resetRows(Change&& change, std::uint64_t keepId, int fallback) {
        notify([&](TDataSetObserver& o) { o.RowsAboutToReset(self); });
        change();
        rebuildVisible();
        int found = visibleIndexOf(keepId, fallback);
        int size = static_cast<int>(visible.size());
        cur = found >= 0 ? found : (size == 0 ? -1 : std::clamp(fallback, 0, size - 1));
        if (size == 0) bof = eof = true;
        notify([&](TDataSetObserver& o) { o.RowsReset(self); });
        notify([&](TDataSetObserver& o) { o.CurrentChanged(self); });
    }
    // Takes a visible row out of the visible rows; the row after it becomes current (or the last).
    void removeVisible(int index) {
        notify([&](TDataSetObserver& o) { o.RowAboutToBeRemoved(self, index); });
        visible.erase(visible.begin() + index);
        notify([&](TDataSetObserver& o) { o.RowRemoved(self, index); });
        int size = static_cast<int>(visible.size());
        cur = -2;  // force the notification: the current row was replaced
        setCurrent(size == 0 ? -1 : std::min(index, size - 1));
        if (size == 0) bof = eof = true;
    }

    // A row asked for by navigation: itself while it is there, or its key after a reload.
    struct Target {
        std::uint64_t id = 0;
        Row key;
    };
    Target targetAt(int index) const {
        if (index < 0 || index >= static_cast<int>(visible.size())) return {};
        const Record* r = visible[static_cast<std::size_t>(index)];
        Target t{r->id, {}};
        for (const auto& name : self.KeyFields) {
            int field = fieldIndex(defs, name);
            if (field < 0) return {r->id, {}};
            t.key.push_back(r->values[static_cast<std::size_t>(field)]);
        }
        return t;
    }
    int find(const Target& t, int hint) const {
        int index = visibleIndexOf(t.id, hint);
        if (index >= 0 || t.key.empty()) return index;
        for (std::size_t i = 0; i < visible.size(); ++i) {
            std::size_t k = 0;
            for (; k < t.key.size(); ++k)
                if (visible[i]->values[static_cast<std::size_t>(fieldIndex(defs, self.KeyFields[k]))] != t.key[k])
                    break;
            if (k == t.key.size()) return static_cast<int>(i);
        }
        return -1;
    }
    // Finishes the row and tells where the row `step` away from the current one went: -1 when there was
    // none. When that row is gone, the row next to where the current one ended up (the old rule).
    int neighbourAfterFinishing(int step) {
        int fromIndex = cur;
        Target from = targetAt(cur);
        Target to = targetAt(cur + step);
        bool hasTarget = to.id != 0;
        finishRow();
        if (!hasTarget) return -1;
        int target = find(to, fromIndex + step);
        if (target >= 0) return target;
        int found = find(from, fromIndex);
        if (step > 0) return found >= 0 ? found + 1 : fromIndex;
        return (found >= 0 ? found : fromIndex) - 1;
    }

    // --- editing steps
    void finishRow() {
        if (!editing()) return;
        if (modified)
            self.Post();
        else
            self.Cancel();
    }
    void leaveEditState() {
        state = TDataSetState::dsBrowse;
        buffer.clear();
        modified = false;
    }
    // Takes the new row out and returns to the row that was current before it.
    void dropPendingRow() {
        Record* r = current();
        int index = cur;
        leaveEditState();
        notify([&](TDataSetObserver& o) { o.RowAboutToBeRemoved(self, index); });
        visible.erase(visible.begin() + index);
        eraseRow(r);
        notify([&](TDataSetObserver& o) { o.RowRemoved(self, index); });
        int back = visibleIndexOf(rowBeforeInsert);
        int size = static_cast<int>(visible.size());
        cur = -2;
        setCurrent(back >= 0 ? back : (size == 0 ? -1 : std::min(index, size - 1)));
    }
    // A new row whose creation failed: gone again, back in browse; the creation's failure is the one
    // reported, so a failure of the state handler here is dropped.
    void abandonInsert(std::uint64_t id) {
        if (state != TDataSetState::dsInsert || currentId() != id) return;
        dropPendingRow();
        Tail tail;
        stateChanged(tail);
    }
    void insertRow(bool append);
    void commit(Record* r, bool wasInsert);
    void logDelete(Record* r);
    void refilter(const std::optional<InFilter>& f, const std::string& text, bool on);

    // --- field writes
    void setValue(const TField& f, Value v);
};

// ---------------------------------------------------------------- TField

Value TField::AsValue() const {
    const Row* row = owner_->d_->activeRow();
    return row ? (*row)[static_cast<std::size_t>(index_)] : Value{};
}

std::string TField::AsString() const {
    const Row* row = owner_->d_->activeRow();
    return row ? valueText((*row)[static_cast<std::size_t>(index_)]) : std::string();
}

std::optional<DateTime> TField::AsDateTime() const {
    Value v = AsValue();
    if (isNull(v)) return std::nullopt;
    if (const auto* d = std::get_if<Date>(&v)) return atMidnight(*d);
    if (const auto* t = std::get_if<DateTime>(&v)) return *t;
    throw owner_->d_->error("field " + FieldName() + " is not a date");
}

bool TField::IsNull() const {
    return isNull(AsValue());
}

void TField::SetValue(const Value& v) {
    owner_->d_->setValue(*this, v);
}

void TField::SetAsString(const std::string& s) {
    if (s.empty()) return SetValue(Value{});
    auto invalid = [&](const char* what) {
        return owner_->d_->error("\"" + s + "\" is not " + what + " for field " + FieldName());
    };
    switch (def_.type) {
        case FieldType::String:
            return SetValue(s);
        case FieldType::Date: {
            auto d = parseShortDate(s);
            if (!d) throw invalid("a valid date");
            return SetValue(*d);
        }
        case FieldType::DateTime: {
            auto t = parseShortDateTime(s);
            if (!t) throw invalid("a valid date and time");
            return SetValue(*t);
        }
        case FieldType::Integer: {
            std::int64_t n = 0;
            auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), n);
            if (ec != std::errc() || end != s.data() + s.size()) throw invalid("a whole number");
            return SetValue(n);
        }
    }
}

void TField::SetAsDateTime(DateTime t) {
    if (def_.type != FieldType::Date && def_.type != FieldType::DateTime)
        throw owner_->d_->error("field " + FieldName() + " is not a date");
    SetValue(t);
}

void TField::Clear() {
    SetValue(Value{});
}

Value TField::OldValue() const {
    const Record* r = owner_->d_->activeRecord();
    if (!r || r->status == RowStatus::Pending || r->status == RowStatus::Inserted) return Value{};
    return r->stored()[static_cast<std::size_t>(index_)];
}

std::string TField::textThroughHandler(bool displayText) const {
    std::string text = AsString();
    if (OnGetText) OnGetText(const_cast<TField&>(*this), text, displayText);
    return text;
}

std::string TField::Text() const {
    return textThroughHandler(false);
}
std::string TField::DisplayText() const {
    return textThroughHandler(true);
}

void TField::SetText(const std::string& text) {
    if (OnSetText)
        OnSetText(*this, text);
    else
        SetAsString(text);
}

void TClientDataSet::Impl::setValue(const TField& f, Value v) {
    requireNoOverride("setting field " + f.FieldName());
    if (!editing())
        throw error("field " + f.FieldName() + " cannot be set: the data set is not being edited");
    if (const auto* s = std::get_if<std::string>(&v); s && s->empty()) v = std::monostate{};
    if (const auto* t = std::get_if<DateTime>(&v); t && f.DataType() == FieldType::Date) v = wholeDay(*t);
    if (const auto* d = std::get_if<Date>(&v); d && f.DataType() == FieldType::DateTime) v = atMidnight(*d);
    try {
        checkValue(f.Def(), v);
    } catch (const std::invalid_argument& e) {
        throw error(e.what());
    }
    buffer[static_cast<std::size_t>(f.Index())] = std::move(v);
    modified = true;
    int row = cur;
    notify([&](TDataSetObserver& o) { o.RowChanged(self, row); });
}

// ---------------------------------------------------------------- structure and loading

TClientDataSet::TClientDataSet() : d_(std::make_unique<Impl>(*this)) {}
TClientDataSet::TClientDataSet(std::string name)
    : name_(std::move(name)), d_(std::make_unique<Impl>(*this)) {}
TClientDataSet::~TClientDataSet() = default;

bool TClientDataSet::Active() const {
    return d_->state != TDataSetState::dsInactive;
}
TDataSetState TClientDataSet::State() const {
    return d_->state;
}

void TClientDataSet::SetFields(const std::vector<FieldDef>& fields) {
    d_->requireNoOverride("SetFields");
    if (!d_->fields.empty() || Active()) {
        if (fields == d_->defs) return;
        throw d_->error("fields are already defined and cannot change");
    }
    Packet{fields, {}}.validate();
    defineFields(fields);
}

void TClientDataSet::defineFields(const std::vector<FieldDef>& fields) {
    d_->defs = fields;
    for (std::size_t i = 0; i < fields.size(); ++i)
        d_->fields.push_back(std::unique_ptr<TField>(new TField(this, fields[i], static_cast<int>(i))));
}

const std::vector<std::unique_ptr<TField>>& TClientDataSet::Fields() const {
    return d_->fields;
}

TField* TClientDataSet::FindField(std::string_view name) {
    int index = d_->fieldIndex(d_->defs, name);
    return index < 0 ? nullptr : d_->fields[static_cast<std::size_t>(index)].get();
}

TField& TClientDataSet::FieldByName(std::string_view name) {
    if (TField* f = FindField(name)) return *f;
    throw d_->error("field " + std::string(name) + " not found");
}

void TClientDataSet::LoadFromPacket(const Packet& packet) {
    d_->requireNoOverride("LoadFromPacket");
    packet.validate();
    bool newFields = d_->fields.empty();
    const auto& defs = newFields ? packet.fields : d_->defs;

    // Everything that can fail happens before the data set is touched.
    std::vector<int> columns;
    std::vector<bool> recheck;
    for (const auto& def : defs) {
        int col = packet.indexOf(def.name);
        if (col < 0) throw d_->error("the packet has no field " + def.name);
        const auto& given = packet.fields[static_cast<std::size_t>(col)];
        if (given.type != def.type)
            throw d_->error("field " + def.name + " is " + std::string(fieldTypeName(given.type)) +
                            " in the packet but " + std::string(fieldTypeName(def.type)) +
                            " in the data set");
        columns.push_back(col);
        recheck.push_back(def.size > 0 && (given.size == 0 || given.size > def.size));
    }
    int filterField = d_->filtered ? d_->resolveFilter(d_->filter, d_->filterText, defs) : -1;

    std::vector<std::unique_ptr<Record>> rows;
    rows.reserve(packet.rows.size());
    for (std::size_t r = 0; r < packet.rows.size(); ++r) {
        auto rec = std::make_unique<Record>();
        rec->id = d_->nextId++;
        rec->values.reserve(defs.size());
        for (std::size_t i = 0; i < defs.size(); ++i) {
            const Value& v = packet.rows[r][static_cast<std::size_t>(columns[i])];
            if (recheck[i]) try {
                    checkValue(defs[i], v);
                } catch (const std::invalid_argument& e) {
                    throw d_->error("row " + std::to_string(r) + ": " + e.what());
                }
            rec->values.push_back(v);
        }
        rows.push_back(std::move(rec));
    }

    auto install = [&] {
        if (newFields) defineFields(packet.fields);
        d_->rows = std::move(rows);
        d_->filterField = filterField;
        d_->leaveEditState();
    };
    d_->resetRows(install, 0, 0);
    d_->bof = true;
    d_->eof = d_->visible.empty();
    Tail tail;
    d_->stateChanged(tail);
    tail.step([&] { d_->fire(AfterOpen); });
    tail.step([&] { d_->fire(AfterScroll); });
    tail.finish();
}

void TClientDataSet::Close() {
    d_->requireNoOverride("Close");
    if (!Active()) return;
    d_->resetRows(
        [&] {
            d_->rows.clear();
            d_->leaveEditState();
            d_->state = TDataSetState::dsInactive;
            d_->filterField = -1;
        },
        0, -1);
    Tail tail;
    d_->stateChanged(tail);
    tail.step([&] { d_->fire(AfterClose); });
    tail.finish();
}

// ---------------------------------------------------------------- navigation

int TClientDataSet::RecordCount() const {
    return static_cast<int>(d_->visible.size());
}
bool TClientDataSet::IsEmpty() const {
    return d_->visible.empty();
}
int TClientDataSet::RecNo() const {
    return d_->current() ? d_->cur : -1;
}
bool TClientDataSet::Eof() const {
    return d_->eof || d_->visible.empty();
}
bool TClientDataSet::Bof() const {
    return d_->bof || d_->visible.empty();
}

void TClientDataSet::First() {
    d_->requireOpenAndFree("First");
    d_->finishRow();
    d_->fire(BeforeScroll);
    d_->setCurrent(IsEmpty() ? -1 : 0);
    d_->bof = true;
    d_->eof = IsEmpty();
    d_->fire(AfterScroll);
}

void TClientDataSet::Last() {
    d_->requireOpenAndFree("Last");
    d_->finishRow();
    d_->fire(BeforeScroll);
    d_->setCurrent(RecordCount() - 1);
    d_->eof = true;
    d_->bof = IsEmpty();
    d_->fire(AfterScroll);
}

void TClientDataSet::Next() {
    d_->requireOpenAndFree("Next");
    int target = d_->neighbourAfterFinishing(+1);
    d_->fire(BeforeScroll);
    if (target < 0 || target >= RecordCount()) {
        d_->eof = true;
        return;
    }
    bool moves = target != d_->cur;
    d_->setCurrent(target);
    d_->bof = d_->eof = false;
    if (moves) d_->fire(AfterScroll);
}

void TClientDataSet::Prior() {
    d_->requireOpenAndFree("Prior");
    int target = d_->neighbourAfterFinishing(-1);
    d_->fire(BeforeScroll);
    if (target < 0 || target >= RecordCount()) {
        d_->bof = true;
        return;
    }
    bool moves = target != d_->cur;
    d_->setCurrent(target);
    d_->bof = d_->eof = false;
    if (moves) d_->fire(AfterScroll);
}

void TClientDataSet::MoveTo(int visibleRow) {
    d_->requireOpenAndFree("MoveTo");
    if (visibleRow < 0 || visibleRow >= RecordCount())
        throw d_->error("row " + std::to_string(visibleRow) + " does not exist");
    if (visibleRow == d_->cur) return;
    Impl::Target wanted = d_->targetAt(visibleRow);
    d_->finishRow();
    int target = d_->find(wanted, visibleRow);
    if (target < 0 || target == d_->cur) return;
    d_->fire(BeforeScroll);
    d_->setCurrent(target);
    d_->bof = d_->eof = false;
    d_->fire(AfterScroll);
}

bool TClientDataSet::Locate(const std::vector<std::string>& fieldNames, const std::vector<Value>& values) {
    d_->requireOpenAndFree("Locate");
    if (fieldNames.size() != values.size()) throw d_->error("Locate needs one value per field");
    std::vector<std::size_t> indexes;
    for (const auto& name : fieldNames)
        indexes.push_back(static_cast<std::size_t>(FieldByName(name).Index()));
    d_->finishRow();
    auto matches = [&](const Record* r) {
        for (std::size_t i = 0; i < indexes.size(); ++i)
            if (r->values[indexes[i]] != values[i]) return false;
        return true;
    };
    auto it = std::find_if(d_->visible.begin(), d_->visible.end(), matches);
    if (it == d_->visible.end()) return false;
    int target = static_cast<int>(it - d_->visible.begin());
    if (target == d_->cur) return true;
    d_->fire(BeforeScroll);
    d_->setCurrent(target);
    d_->bof = d_->eof = false;
    d_->fire(AfterScroll);
    return true;
}

// ---------------------------------------------------------------- editing

void TClientDataSet::Impl::insertRow(bool append) {
    const char* op = append ? "Append" : "Insert";
    requireOpenAndFree(op);
    finishRow();
    fire(self.BeforeInsert);
    fire(self.BeforeScroll);
    requireActive(op);  // a handler may have closed the data set

    Record* before = append ? nullptr : current();
    rowBeforeInsert = currentId();
    auto rec = std::make_unique<Record>();
    rec->id = nextId++;
    rec->status = RowStatus::Pending;
    rec->values.assign(defs.size(), Value{});
    Record* r = rec.get();
    int index = before ? cur : static_cast<int>(visible.size());
    std::size_t at = before ? rowsIndexOf(before) : rows.size();

    notify([&](TDataSetObserver& o) { o.RowAboutToBeInserted(self, index); });
    rows.insert(rows.begin() + static_cast<std::ptrdiff_t>(at), std::move(rec));
    visible.insert(visible.begin() + index, r);
    notify([&](TDataSetObserver& o) { o.RowInserted(self, index); });
    cur = -2;
    setCurrent(index);
    bof = eof = false;
    state = TDataSetState::dsInsert;
    buffer = r->values;
    modified = false;

    try {
        notify([&](TDataSetObserver& o) { o.StateChanged(self); });
        fire(self.OnStateChange);
        fire(self.OnNewRecord);
    } catch (...) {
        abandonInsert(r->id);
        throw;
    }
    if (state == TDataSetState::dsInsert && current() == r) modified = false;
    Tail tail;
    tail.step([&] { fire(self.AfterInsert); });
    tail.step([&] { fire(self.AfterScroll); });
    tail.finish();
}

void TClientDataSet::Insert() {
    d_->insertRow(false);
}
void TClientDataSet::Append() {
    d_->insertRow(true);
}

void TClientDataSet::Edit() {
    d_->requireOpenAndFree("Edit");
    if (d_->editing()) return;
    if (!d_->current()) return d_->insertRow(false);
    d_->fire(BeforeEdit);
    if (d_->editing() || !d_->current()) return;  // the handler moved on by itself
    d_->buffer = d_->current()->values;
    d_->modified = false;
    d_->state = TDataSetState::dsEdit;
    Tail tail;
    d_->stateChanged(tail);
    tail.step([&] { d_->fire(AfterEdit); });
    tail.finish();
}

void TClientDataSet::Impl::commit(Record* r, bool wasInsert) {
    Row values = std::move(buffer);
    if (wasInsert) {
        r->values = std::move(values);
        r->status = self.LogChanges ? RowStatus::Inserted : RowStatus::Unchanged;
        if (self.LogChanges) r->changeSeq = nextChange++;
        return;
    }
    if (values == r->values) return;  // nothing changed: nothing to send
    if (r->status == RowStatus::Unchanged && self.LogChanges) {
        r->original = std::move(r->values);
        r->status = RowStatus::Modified;
        r->changeSeq = nextChange++;
    }
    r->values = std::move(values);
}

void TClientDataSet::Post() {
    if (!d_->editing()) return;
    d_->requireNoOverride("Post");
    d_->fire(BeforePost);
    if (!d_->editing()) return;  // the handler finished the row itself
    Record* r = d_->current();
    d_->commit(r, d_->state == TDataSetState::dsInsert);
    d_->leaveEditState();
    if (!d_->passes(r)) d_->removeVisible(d_->cur);
    Tail tail;
    d_->stateChanged(tail);
    tail.step([&] { d_->fire(AfterPost); });
    tail.finish();
}

void TClientDataSet::Cancel() {
    if (!d_->editing()) return;
    d_->requireNoOverride("Cancel");
    d_->fire(BeforeCancel);
    if (!d_->editing()) return;
    bool wasInsert = d_->state == TDataSetState::dsInsert;
    if (wasInsert) {
        d_->fire(BeforeScroll);
        d_->dropPendingRow();
    } else {
        d_->leaveEditState();
        int row = d_->cur;
        d_->notify([&](TDataSetObserver& o) { o.RowChanged(*this, row); });
    }
    Tail tail;
    d_->stateChanged(tail);
    tail.step([&] { d_->fire(AfterCancel); });
    if (wasInsert) tail.step([&] { d_->fire(AfterScroll); });
    tail.finish();
}

void TClientDataSet::Impl::logDelete(Record* r) {
    if (!self.LogChanges || r->status == RowStatus::Inserted) {
        eraseRow(r);  // never sent (or not to be sent): nothing to tell the server
        return;
    }
    r->deleted = true;
    if (r->changeSeq == 0) r->changeSeq = nextChange++;
}

void TClientDataSet::Delete() {
    d_->requireOpenAndFree("Delete");
    if (d_->state == TDataSetState::dsInsert) return Cancel();
    if (!d_->current()) throw d_->error("Delete: the data set is empty");
    d_->fire(BeforeDelete);
    d_->fire(BeforeScroll);
    Record* r = d_->current();
    if (!r || d_->state == TDataSetState::dsInsert) return;  // a handler changed the situation
    bool wasEdit = d_->state == TDataSetState::dsEdit;
    if (wasEdit) d_->leaveEditState();
    int index = d_->cur;
    d_->removeVisible(index);
    d_->logDelete(r);
    Tail tail;
    if (wasEdit) d_->stateChanged(tail);
    tail.step([&] { d_->fire(AfterDelete); });
    tail.step([&] { d_->fire(AfterScroll); });
    tail.finish();
}

bool TClientDataSet::Modified() const {
    return d_->editing() && d_->modified;
}

// ---------------------------------------------------------------- change log

int TClientDataSet::ChangeCount() const {
    return static_cast<int>(
        std::count_if(d_->rows.begin(), d_->rows.end(), [](const auto& r) { return r->changed(); }));
}

ChangeLog TClientDataSet::Delta() const {
    std::vector<const Record*> changed;
    for (const auto& r : d_->rows)
        if (r->changed()) changed.push_back(r.get());
    std::sort(changed.begin(), changed.end(),
              [](const Record* a, const Record* b) { return a->changeSeq < b->changeSeq; });
    ChangeLog log;
    log.fields = d_->defs;
    for (const Record* r : changed) {
        if (r->deleted)
            log.changes.push_back({ChangeOp::Delete, r->stored(), {}});
        else if (r->status == RowStatus::Inserted)
            log.changes.push_back({ChangeOp::Insert, {}, r->values});
        else
            log.changes.push_back({ChangeOp::Update, *r->original, r->values});
    }
    return log;
}

void TClientDataSet::MergeChangeLog() {
    d_->requireNoOverride("MergeChangeLog");
    std::erase_if(d_->rows, [](const auto& r) { return r->deleted; });
    for (auto& r : d_->rows) {
        if (r->status == RowStatus::Pending) continue;
        r->status = RowStatus::Unchanged;
        r->original.reset();
        r->changeSeq = 0;
    }
}

void TClientDataSet::CancelUpdates() {
    d_->requireNoOverride("CancelUpdates");
    if (!Active()) return;
    Cancel();
    auto undo = [&] {
        std::erase_if(d_->rows, [](const auto& r) { return r->status == RowStatus::Inserted; });
        for (auto& r : d_->rows) {
            if (r->status == RowStatus::Modified) r->values = std::move(*r->original);
            if (r->status != RowStatus::Pending) r->status = RowStatus::Unchanged;
            r->original.reset();
            r->deleted = false;
            r->changeSeq = 0;
        }
    };
    d_->resetRows(undo, d_->currentId(), d_->cur);
}

// ---------------------------------------------------------------- filter

void TClientDataSet::Impl::refilter(const std::optional<InFilter>& f, const std::string& text, bool on) {
    int field = on ? resolveFilter(f, text, defs) : -1;
    finishRow();
    fire(self.BeforeScroll);
    auto apply = [&] {
        filter = f;
        filterText = text;
        filtered = on;
        filterField = field;
    };
    resetRows(apply, 0, 0);
    bof = true;
    eof = visible.empty();
    fire(self.AfterScroll);
}

void TClientDataSet::SetFilter(const std::string& text) {
    d_->requireNoOverride("SetFilter");
    std::optional<InFilter> parsed;
    try {
        parsed = parseInFilter(text);
    } catch (const std::invalid_argument& e) {
        throw d_->error(e.what());
    }
    if (Active() && d_->filtered) return d_->refilter(parsed, text, true);
    d_->filter = std::move(parsed);
    d_->filterText = text;
}

const std::string& TClientDataSet::Filter() const {
    return d_->filterText;
}

void TClientDataSet::SetFiltered(bool on) {
    d_->requireNoOverride("SetFiltered");
    if (on == d_->filtered) return;
    if (Active()) return d_->refilter(d_->filter, d_->filterText, on);
    d_->filtered = on;
}

bool TClientDataSet::Filtered() const {
    return d_->filtered;
}

// ---------------------------------------------------------------- observers and other rows

void TClientDataSet::AddObserver(TDataSetObserver* observer) {
    if (std::find(d_->observers.begin(), d_->observers.end(), observer) == d_->observers.end())
        d_->observers.push_back(observer);
}

void TClientDataSet::RemoveObserver(TDataSetObserver* observer) {
    std::erase(d_->observers, observer);
}

Value TClientDataSet::ValueAt(int visibleRow, int fieldIndex) const {
    if (visibleRow < 0 || visibleRow >= RecordCount())
        throw d_->error("row " + std::to_string(visibleRow) + " does not exist");
    if (fieldIndex < 0 || fieldIndex >= static_cast<int>(d_->defs.size()))
        throw d_->error("field number " + std::to_string(fieldIndex) + " does not exist");
    return (
        *d_->rowOf(d_->visible[static_cast<std::size_t>(visibleRow)]))[static_cast<std::size_t>(fieldIndex)];
}

void TClientDataSet::WithActiveRow(int visibleRow, const std::function<void()>& fn) {
    if (visibleRow < 0 || visibleRow >= RecordCount())
        throw d_->error("row " + std::to_string(visibleRow) + " does not exist");
    struct Restore {
        Impl& d;
        const Record* previous;
        ~Restore() { d.activeOverride = previous; }
    } restore{*d_, d_->activeOverride};
    d_->activeOverride = d_->visible[static_cast<std::size_t>(visibleRow)];
    fn();
}
