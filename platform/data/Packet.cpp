#include "platform/data/Packet.h"

#include <set>

namespace age::data {
namespace {

void validateFields(const std::vector<FieldDef>& fields) {
    std::set<std::string_view> names;
    for (const auto& f : fields) {
        if (f.name.empty()) throw PacketError("field without a name");
        if (!names.insert(f.name).second) throw PacketError("field appears twice: " + f.name);
        if (f.size < 0) throw PacketError("negative size for field " + f.name);
    }
}

void validateRow(const std::vector<FieldDef>& fields, const Row& row, std::string_view what) {
    if (row.size() != fields.size())
        throw PacketError(std::string(what) + " has " + std::to_string(row.size()) + " values for " +
                          std::to_string(fields.size()) + " fields");
    for (std::size_t i = 0; i < row.size(); ++i) {
        try {
            checkValue(fields[i], row[i]);
        } catch (const std::invalid_argument& e) {
            throw PacketError(e.what());
        }
    }
}

int find(const std::vector<FieldDef>& fields, std::string_view name) {
    for (std::size_t i = 0; i < fields.size(); ++i)
        if (fields[i].name == name) return static_cast<int>(i);
    return -1;
}

}  // namespace

std::string_view fieldTypeName(FieldType type) {
    switch (type) {
        case FieldType::String: return "string";
        case FieldType::Date: return "date";
        case FieldType::DateTime: return "datetime";
        case FieldType::Integer: return "integer";
    }
    return "?";
}

bool isNull(const Value& v) { return std::holds_alternative<std::monostate>(v); }

std::string valueText(const Value& v) {
    struct Visitor {
        std::string operator()(std::monostate) const { return {}; }
        std::string operator()(const std::string& s) const { return s; }
        std::string operator()(std::int64_t i) const { return std::to_string(i); }
        std::string operator()(Date d) const { return formatShortDate(d); }
        std::string operator()(DateTime t) const { return formatShortDateTime(t); }
    };
    return std::visit(Visitor{}, v);
}

void checkValue(const FieldDef& field, const Value& v) {
    if (isNull(v)) return;
    bool fits = false;
    switch (field.type) {
        case FieldType::String: fits = std::holds_alternative<std::string>(v); break;
        case FieldType::Date: fits = std::holds_alternative<Date>(v); break;
        case FieldType::DateTime: fits = std::holds_alternative<DateTime>(v); break;
        case FieldType::Integer: fits = std::holds_alternative<std::int64_t>(v); break;
    }
    if (!fits)
        throw std::invalid_argument("value of the wrong kind for " + std::string(fieldTypeName(field.type)) +
                                    " field " + field.name);
    if (field.type == FieldType::String && field.size > 0) {
        // Sizes count characters, so count UTF-8 code points rather than bytes.
        const auto& s = std::get<std::string>(v);
        std::size_t chars = 0;
        for (unsigned char c : s) chars += (c & 0xC0) != 0x80;
        if (chars > static_cast<std::size_t>(field.size))
            throw std::invalid_argument("value too long for field " + field.name + " (" + std::to_string(chars) +
                                        " characters, at most " + std::to_string(field.size) + ")");
    }
}

int Packet::indexOf(std::string_view name) const { return find(fields, name); }

void Packet::validate() const {
    validateFields(fields);
    for (std::size_t r = 0; r < rows.size(); ++r) validateRow(fields, rows[r], "row " + std::to_string(r));
}

int ChangeLog::indexOf(std::string_view name) const { return find(fields, name); }

void ChangeLog::validate() const {
    validateFields(fields);
    for (std::size_t i = 0; i < changes.size(); ++i) {
        const auto& c = changes[i];
        std::string where = "change " + std::to_string(i);
        bool needsOld = c.op != ChangeOp::Insert, needsNew = c.op != ChangeOp::Delete;
        if (needsOld) validateRow(fields, c.oldValues, where + " old");
        else if (!c.oldValues.empty()) throw PacketError(where + ": an insert carries no old values");
        if (needsNew) validateRow(fields, c.newValues, where + " new");
        else if (!c.newValues.empty()) throw PacketError(where + ": a delete carries no new values");
    }
}

}  // namespace age::data
