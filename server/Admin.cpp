#include "server/Admin.h"

#include <algorithm>
#include <array>
#include <ostream>
#include <stdexcept>

#include "server/AgendaModule.h"
#include "server/BookingDelta.h"
#include "server/History.h"
#include "server/storage/SqliteFiles.h"

namespace age::server::admin {
namespace {

void checkText(const std::string& what, const std::string& value, std::size_t max) {
    if (value.empty() || utf8Length(value) > max)
        throw std::runtime_error(what + " must have 1 to " + std::to_string(max) + " characters");
}

struct DemoMeeting {
    const char* start;
    const char* end;
    const char* reference;
};

const std::array<Room, 4> kDemoRooms{{{"101", "Sala de Reunião 101"},
                                      {"102", "Sala de Reunião 102"},
                                      {"201", "Auditório"},
                                      {"301", "Sala da Diretoria"}}};
const std::array<Operator, 4> kDemoOperators{
    {{"admin", "Administrador"}, {"ana", "Ana Souza"}, {"bruno", "Bruno Lima"}, {"carla", "Carla Mendes"}}};
constexpr std::array<DemoMeeting, 4> kDemoMeetings{{{"0900", "1000", "Reunião de planejamento"},
                                                    {"1030", "1130", "Alinhamento semanal"},
                                                    {"1400", "1530", "Apresentação de resultados"},
                                                    {"1600", "1700", "Entrevista de candidato"}}};

// Past meetings took place or were cancelled; today's and later ones are scheduled, with a cancellation
// here and there so every status shows.
std::string demoStatus(int dayOffset, std::size_t n) {
    if (dayOffset < 0) return (dayOffset + n) % 4 == 0 ? "C" : "E";
    return (dayOffset + n) % 5 == 3 ? "C" : "A";
}

void record(Transaction& tx, std::string method, const nlohmann::json& details) {
    tx.addHistory(history::event("", history::localActor(), std::move(method), "add", Clock().now(), details));
}

}  // namespace

void addRoom(Storage& storage, const std::string& code, const std::string& name) {
    checkText("the room code", code, 5);
    checkText("the room name", name, 30);
    auto tx = storage.write();
    if (!tx->addRoom({code, name})) throw std::runtime_error("room " + code + " exists already");
    record(*tx, "room add", {{"CDSALA", code}, {"NMSALA", name}});
    tx->commit();
}

void listRooms(Storage& storage, std::ostream& out) {
    for (const auto& r : storage.read()->rooms()) out << r.code << '\t' << r.name << '\n';
}

void addOperator(Storage& storage, const std::string& code, const std::string& name) {
    checkText("the operator code", code, 12);
    checkText("the operator name", name, 40);
    auto tx = storage.write();
    if (!tx->addOperator({code, name})) throw std::runtime_error("operator " + code + " exists already");
    record(*tx, "operator add", {{"CDOPERADOR", code}, {"NMOPERADOR", name}});
    tx->commit();
}

void listOperators(Storage& storage, std::ostream& out) {
    for (const auto& o : storage.read()->operators()) out << o.code << '\t' << o.name << '\n';
}

void renumberRoom(Storage& storage, const std::string& code, bool withdrawPending, std::ostream& out) {
    auto tx = storage.write();
    if (!tx->roomName(code)) throw std::runtime_error("no room " + code);
    tx->lockRoom(code);
    if (withdrawPending)
        out << "room " << code << ": " << tx->withdrawPendingSeqs(code) << " unsaved number(s) withdrawn\n";
    std::vector<long> used = tx->seqsInUse(code);
    used.push_back(kLastSeq + 1);  // the end of the range closes the last run
    long bestFirst = 0, bestLength = 0, next = 1;
    for (long n : used) {
        if (n - next > bestLength) bestFirst = next, bestLength = n - next;
        next = std::max(next, n + 1);
    }
    if (bestLength == 0) throw std::runtime_error("room " + code + " has no free sequence number left");
    tx->setSeqCounter({code, bestFirst - 1, bestFirst + bestLength - 1});
    tx->commit();
    out << "room " << code << ": numbers " << formatSeq(bestFirst) << " to "
        << formatSeq(bestFirst + bestLength - 1) << " (" << bestLength << ") come next\n";
}

void seedDemo(Storage& storage, const Clock& clock, std::ostream& out) {
    auto tx = storage.write();
    for (const auto& r : kDemoRooms) tx->addRoom(r);
    for (const auto& o : kDemoOperators) tx->addOperator(o);
    int created = 0;
    for (int offset = -3; offset <= 3; ++offset) {
        Date day = clock.today() + std::chrono::days(offset);
        for (std::size_t r = 0; r < kDemoRooms.size(); ++r) {
            for (std::size_t m = 0; m < kDemoMeetings.size(); ++m) {
                if ((r + m + static_cast<std::size_t>(offset + 3)) % 3 == 2) continue;  // leave free slots
                const auto& meeting = kDemoMeetings[m];
                Booking b{"0001",
                          "",
                          demoStatus(offset, r + m),
                          meeting.reference,
                          kDemoRooms[r].code,
                          day,
                          kDemoOperators[1 + (r + m) % 3].code,
                          "",
                          meeting.start,
                          meeting.end,
                          atMidnight(day - std::chrono::days(7)) + std::chrono::hours(9)};
                auto existing = tx->bookings(b.room, day);
                if (std::any_of(existing.begin(), existing.end(), [&](const Booking& e) {
                        return e.start == b.start ||
                               (e.status == "A" && overlaps({b.start, b.end}, {e.start, e.end}));
                    }))
                    continue;
                long seq = tx->nextSeq(b.room);
                if (seq == 0) continue;  // the room's numbers ran out
                b.seq = formatSeq(seq);
                created += tx->insertBooking(b) ? 1 : 0;
            }
        }
    }
    record(*tx, "demo", {{"bookings", created}});
    tx->commit();
    out << "demo: " << kDemoRooms.size() << " rooms, " << kDemoOperators.size() << " operators, " << created
        << " bookings from " << formatShortDate(clock.today() - std::chrono::days(3)) << " to "
        << formatShortDate(clock.today() + std::chrono::days(3)) << '\n';
}

void backup(const std::string& dbUrl, const std::string& file, std::ostream& out) {
    auto path = sqlitePathOf(dbUrl);
    if (!path)
        throw UseAnotherTool(
            "a PostgreSQL database is backed up with PostgreSQL's own tool:\n"
            "  pg_dump --format=custom --file=" +
            file + " '" + redactedUrl(dbUrl) + "'");
    sqlite::backup(*path, file);
    out << "backup of " << *path << " written to " << file << '\n';
}

void restore(const std::string& dbUrl, const std::string& file, std::ostream& out) {
    auto path = sqlitePathOf(dbUrl);
    if (!path)
        throw UseAnotherTool(
            "a PostgreSQL database is restored with PostgreSQL's own tool:\n"
            "  pg_restore --clean --if-exists --no-owner --dbname='" +
            redactedUrl(dbUrl) + "' " + file);
    sqlite::restore(*path, file);
    out << *path << " restored from " << file << '\n';
}

}  // namespace age::server::admin
