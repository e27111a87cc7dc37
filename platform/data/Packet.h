// Data packets and change logs: the rows that travel between the server and the client data sets.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "common/Dates.h"

namespace age::data {

enum class FieldType { String, Date, DateTime, Integer };

std::string_view fieldTypeName(FieldType type);  // "string", "date", "datetime", "integer"

struct FieldDef {
    std::string name;
    FieldType type = FieldType::String;
    int size = 0;  // maximum characters of a string field; 0 means unbounded
    bool operator==(const FieldDef&) const = default;
};

// A field value; std::monostate is the empty (null) value.
using Value = std::variant<std::monostate, std::string, std::int64_t, Date, DateTime>;
using Row = std::vector<Value>;

bool isNull(const Value& v);
// The value as the data set's text conversion gives it: "" for null, dates as "dd/mm/yyyy" (with the time
// unless midnight), integers in decimal.
std::string valueText(const Value& v);
// Throws std::invalid_argument when the value's kind does not fit the field or a string is too long.
void checkValue(const FieldDef& field, const Value& v);

// Thrown for structurally wrong packets and change logs.
class PacketError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Packet {
    std::vector<FieldDef> fields;
    std::vector<Row> rows;

    int indexOf(std::string_view name) const;  // -1 when absent
    // Throws PacketError when a row's width or a value's kind or size does not match the fields, or when
    // two fields share a name.
    void validate() const;
    bool operator==(const Packet&) const = default;
};

enum class ChangeOp { Insert, Update, Delete };

struct Change {
    ChangeOp op = ChangeOp::Insert;
    Row oldValues;  // update and delete: the row as last read from the server
    Row newValues;  // insert and update: the row to store
    bool operator==(const Change&) const = default;
};

// The change log of a client data set (its delta).
struct ChangeLog {
    std::vector<FieldDef> fields;
    std::vector<Change> changes;

    int indexOf(std::string_view name) const;
    void validate() const;  // as Packet::validate, for every old and new row present
    bool operator==(const ChangeLog&) const = default;
};

}  // namespace age::data
