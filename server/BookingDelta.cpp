#include "server/BookingDelta.h"

#include <set>

#include "common/Booking.h"
#include "common/LogText.h"

namespace age::server {
namespace {

using data::FieldType;

FieldType typeOf(ColumnType t) {
    switch (t) {
        case ColumnType::String:
            return FieldType::String;
        case ColumnType::Date:
            return FieldType::Date;
        case ColumnType::DateTime:
            return FieldType::DateTime;
        case ColumnType::Integer:
            return FieldType::Integer;
    }
    return FieldType::String;
}

std::string_view typeWord(FieldType t) {
    switch (t) {
        case FieldType::String:
            return "texto";
        case FieldType::Date:
            return "data";
        case FieldType::DateTime:
            return "data e hora";
        case FieldType::Integer:
            return "número inteiro";
    }
    return "?";
}

[[noreturn]] void structural(const std::string& why) {
    throw CallFault(rpc::code::InvalidParams, "Log de alterações inválido: " + why + ".");
}

const json& member(const json& j, const char* name) {
    auto it = j.find(name);
    if (it == j.end()) structural(std::string("falta \"") + name + "\"");
    return *it;
}

// Position in the delta's rows of each record field (-1 when absent).
struct Layout {
    std::vector<int> column = std::vector<int>(kBookingFields.size(), -1);
    std::size_t width = 0;
};

Layout readLayout(const json& fields) {
    if (!fields.is_array()) structural("\"fields\" deve ser uma lista");
    Layout layout;
    layout.width = fields.size();
    std::set<std::string> seen;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const json& f = fields[i];
        if (!f.is_object() || !f.contains("name") || !f["name"].is_string() || !f.contains("type"))
            structural("cada campo precisa de \"name\" e \"type\"");
        std::string name = f["name"].get<std::string>();
        if (!seen.insert(name).second) structural("o campo " + age::quoted(name) + " aparece duas vezes");
        const BookingField* field = findBookingField(name);
        if (!field) continue;
        FieldType expected = typeOf(field->type);
        if (f["type"] != data::fieldTypeName(expected))
            throw Refusal("O campo " + name + " deve ser do tipo " + std::string(typeWord(expected)) + ".");
        layout.column[static_cast<std::size_t>(field - kBookingFields.data())] = static_cast<int>(i);
    }
    for (std::size_t k = 0; k < kBookingFields.size(); ++k)
        if (layout.column[k] < 0 && kBookingFields[k].name != "NMOPERADOR")
            structural("falta o campo " + std::string(kBookingFields[k].name));
    return layout;
}

data::Value readValue(const json& j, const BookingField& field) {
    data::FieldDef def{std::string(field.name), typeOf(field.type), field.size};
    data::Value v;
    try {
        v = rpc::valueFromJson(j, def.type);
    } catch (const rpc::WireError&) {
        throw Refusal("Valor inválido para o campo " + def.name + ": deve ser " +
                      std::string(typeWord(def.type)) + ".");
    }
    if (const auto* s = std::get_if<std::string>(&v);
        s && def.size > 0 && utf8Length(*s) > std::size_t(def.size))
        throw Refusal("O campo " + def.name + " aceita no máximo " + std::to_string(def.size) +
                      " caracteres.");
    return v;
}

BookingRow readRow(const json& j, const Layout& layout) {
    if (!j.is_array() || j.size() != layout.width)
        structural("cada linha deve ter um valor por campo (" + std::to_string(layout.width) + ")");
    data::Row values(kBookingFields.size());
    for (std::size_t k = 0; k < kBookingFields.size(); ++k)
        if (layout.column[k] >= 0)
            values[k] = readValue(j[static_cast<std::size_t>(layout.column[k])], kBookingFields[k]);

    // Indices follow the order of kBookingFields.
    auto text = [&](std::size_t k) {
        const auto* s = std::get_if<std::string>(&values[k]);
        return s ? *s : std::string();
    };
    BookingRow row;
    Booking& b = row.booking;
    b.branch = text(0);
    b.seq = text(1);
    b.status = text(2);
    b.reference = text(3);
    b.room = text(4);
    if (const auto* day = std::get_if<Date>(&values[5])) {
        b.day = *day;
        row.hasDay = true;
    }
    b.operatorCode = text(6);
    b.operatorName = text(7);
    b.start = text(8);
    b.end = text(9);
    if (const auto* stamp = std::get_if<DateTime>(&values[10])) b.stamp = *stamp;
    return row;
}

}  // namespace

std::vector<data::FieldDef> bookingFieldDefs() {
    std::vector<data::FieldDef> defs;
    for (const auto& f : kBookingFields)
        defs.push_back({std::string(f.name), typeOf(f.type), f.type == ColumnType::String ? f.size : 0});
    return defs;
}

std::vector<DeltaChange> readBookingDelta(const json& delta) {
    const json& fields = member(delta, "fields");
    const json& changes = member(delta, "changes");
    Layout layout = readLayout(fields);
    if (!changes.is_array()) structural("\"changes\" deve ser uma lista");
    std::vector<DeltaChange> out;
    for (const json& c : changes) {
        if (!c.is_object()) structural("cada alteração deve ser um objeto");
        const json& op = member(c, "op");
        DeltaChange change;
        if (op == "insert")
            change.op = data::ChangeOp::Insert;
        else if (op == "update")
            change.op = data::ChangeOp::Update;
        else if (op == "delete")
            change.op = data::ChangeOp::Delete;
        else
            structural("operação desconhecida " +
                       age::quoted(op.dump(-1, ' ', false, json::error_handler_t::replace)));
        if (change.op != data::ChangeOp::Insert) change.oldRow = readRow(member(c, "old"), layout);
        if (change.op != data::ChangeOp::Delete) change.newRow = readRow(member(c, "new"), layout);
        out.push_back(std::move(change));
    }
    return out;
}

bool sameStoredValues(const Booking& a, const Booking& b) {
    return a.branch == b.branch && a.seq == b.seq && a.status == b.status && a.reference == b.reference &&
           a.room == b.room && a.day == b.day && a.operatorCode == b.operatorCode && a.start == b.start &&
           a.end == b.end && a.stamp == b.stamp;
}

std::size_t utf8Length(std::string_view text) {
    std::size_t chars = 0;
    for (unsigned char c : text) chars += (c & 0xC0) != 0x80;
    return chars;
}

}  // namespace age::server
