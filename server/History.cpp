#include "server/History.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdio>
#include <ostream>

#include "common/LogText.h"

namespace age::server::history {
namespace {

using json = nlohmann::json;

json parsedOrNull(const std::string& text) {
    if (text.empty()) return nullptr;
    json j = json::parse(text, nullptr, false);
    return j.is_discarded() ? json(text) : j;
}

// A short account for the table: what an update changed, or the values of an insert or delete.
std::string summary(const HistoryEntry& h) {
    json before = parsedOrNull(h.oldValues), after = parsedOrNull(h.newValues);
    auto shown = [](const json& v) { return v.is_string() ? v.get<std::string>() : v.dump(); };
    std::string out;
    auto add = [&](const std::string& part) { out += (out.empty() ? "" : "; ") + part; };
    if (before.is_object() && after.is_object()) {
        for (const auto& [key, value] : after.items())
            if (!before.contains(key) || before[key] != value)
                add(key + ": " + shown(before.value(key, json())) + " -> " + shown(value));
        return out.empty() ? "(no change)" : out;
    }
    const json& values = after.is_null() ? before : after;
    if (values.is_object()) {
        if (values.contains("HRINIAGESALA") && values.contains("DSAGENDASALA")) {
            return shown(values["HRINIAGESALA"]) + "-" + shown(values["HRFINAGESALA"]) + " " +
                   shown(values["IDSITAGESALA"]) + " " + shown(values["CDOPERADOR"]) + " \"" +
                   shown(values["DSAGENDASALA"]) + "\"";
        }
        for (const auto& [key, value] : values.items()) add(key + "=" + shown(value));
        return out;
    }
    return values.is_null() ? "" : shown(values);
}

// Control characters (a client's text may hold any, C1 ones included) and bytes that are not UTF-8 never
// reach the terminal as they are.
std::string printable(std::string_view text) {
    return age::quoted(text, std::string_view::npos);
}

std::string orDash(const std::string& s) {
    return s.empty() ? "-" : printable(s);
}

}  // namespace

// Written out directly rather than through a JSON tree: a recurring booking writes 98 of these in its
// transaction.
std::string bookingValues(const Booking& b) {
    std::string out;
    out.reserve(256 + b.reference.size());
    auto field = [&](const char* name, const std::string& value, bool quoted = true) {
        out += out.empty() ? "{\"" : ",\"";
        out += name;
        out += "\":";
        if (value.empty())
            out += "null";
        else if (!quoted)
            out += value;
        else
            out += json(value).dump(-1, ' ', false, json::error_handler_t::replace);
    };
    field("CDFILIAL", b.branch);
    field("NRSEQAGESALA", b.seq);
    field("IDSITAGESALA", b.status);
    field("DSAGENDASALA", b.reference);
    field("CDSALA", b.room);
    field("DTATIAGESALA", "\"" + formatIsoDate(b.day) + "\"", false);
    field("CDOPERADOR", b.operatorCode);
    field("HRINIAGESALA", b.start);
    field("HRFINAGESALA", b.end);
    field("DTINCAGESALA", b.stamp ? "\"" + formatIsoDateTime(*b.stamp) + "\"" : "", false);
    out += '}';
    return out;
}

HistoryEntry bookingChange(const Caller& caller, std::string method, DateTime when, const Booking* before,
                           const Booking* after) {
    const Booking& b = after ? *after : *before;
    HistoryEntry h;
    h.when = when;
    h.operatorCode = caller.operatorCode;
    h.address = caller.address;
    h.method = std::move(method);
    h.operation = !before ? "insert" : !after ? "delete" : "update";
    h.room = b.room;
    h.seq = b.seq;
    h.day = b.day;
    if (before) h.oldValues = bookingValues(*before);
    if (after) h.newValues = bookingValues(*after);
    return h;
}

HistoryEntry event(std::string operatorCode, std::string address, std::string method, std::string operation,
                   DateTime when, const json& details) {
    HistoryEntry h;
    h.when = when;
    h.operatorCode = std::move(operatorCode);
    h.address = std::move(address);
    h.method = std::move(method);
    h.operation = std::move(operation);
    if (!details.is_null()) h.newValues = details.dump(-1, ' ', false, json::error_handler_t::replace);
    return h;
}

std::string localActor() {
    passwd entry{};
    passwd* found = nullptr;
    char buffer[1024];
    getpwuid_r(getuid(), &entry, buffer, sizeof buffer, &found);
    return "local:" + (found ? std::string(found->pw_name) : std::to_string(getuid()));
}

void print(const std::vector<HistoryEntry>& entries, std::ostream& out, bool asJson) {
    if (asJson) {
        for (const auto& h : entries)
            out << json{{"id", h.id},
                        {"when", formatIsoDateTime(h.when)},
                        {"operator", h.operatorCode.empty() ? json() : json(h.operatorCode)},
                        {"address", h.address},
                        {"method", h.method},
                        {"operation", h.operation},
                        {"room", h.room.empty() ? json() : json(h.room)},
                        {"seq", h.seq.empty() ? json() : json(h.seq)},
                        {"day", h.day ? json(formatIsoDate(*h.day)) : json()},
                        {"old", parsedOrNull(h.oldValues)},
                        {"new", parsedOrNull(h.newValues)}}
                       .dump(-1, ' ', false, json::error_handler_t::replace)
                << '\n';
        return;
    }
    char line[512];
    std::snprintf(line, sizeof line, "%-19s  %-12s  %-21s  %-18s  %-15s  %-5s  %-5s  %-10s  %s\n", "WHEN",
                  "OPERATOR", "ADDRESS", "METHOD", "OPERATION", "ROOM", "SEQ", "DAY", "CHANGE");
    out << line;
    for (const auto& h : entries) {
        std::snprintf(line, sizeof line, "%-19s  %-12s  %-21s  %-18s  %-15s  %-5s  %-5s  %-10s  ",
                      formatIsoDateTime(h.when).c_str(), orDash(h.operatorCode).c_str(), orDash(h.address).c_str(),
                      h.method.c_str(), h.operation.c_str(), orDash(h.room).c_str(), orDash(h.seq).c_str(),
                      h.day ? formatIsoDate(*h.day).c_str() : "-");
        out << line << printable(summary(h)) << '\n';
    }
}

}  // namespace age::server::history
