// The PostgreSQL backend, for several age-server processes on one database.
//
// Writers of a room queue on its SALA row (lockRoom: SELECT ... FOR NO KEY UPDATE) in READ COMMITTED, so
// every check made after the lock sees what the previous writer committed; the exclusion constraint on
// AGESALA holds the overlap rule in the database itself whatever the writer. Sequence counters are one
// atomic upsert. Readers get one snapshot per transaction (REPEATABLE READ, read only), as with SQLite; a
// call that reads with a single statement runs it alone (autocommit): one round trip instead of three.
// Prepared statements only; text is compared in byte order (COLLATE "C"), as SQLite does.
#include "server/storage/PostgresStorage.h"

#include <map>
#include <set>
#include <string_view>

#include <nlohmann/json.hpp>
#include <pqxx/pqxx>

#include "server/storage/PostgresPool.h"

namespace age::server {
namespace {

constexpr int kSchemaVersion = 3;
// Serialises schema upgrades of servers starting at once (an arbitrary constant: "AGE1").
constexpr long kSchemaLockKey = 0x41474531;

// Each step brings the schema from version i to i + 1; statements are idempotent so that several servers
// starting together, or a crash between a step and the version update, are harmless.
constexpr const char* kMigrations[] = {
    R"(CREATE EXTENSION IF NOT EXISTS btree_gist;
       CREATE TABLE IF NOT EXISTS SALA (
           CDSALA text COLLATE "C" NOT NULL PRIMARY KEY,
           NMSALA text COLLATE "C" NOT NULL);
       CREATE TABLE IF NOT EXISTS OPERADOR (
           CDOPERADOR text COLLATE "C" NOT NULL PRIMARY KEY,
           NMOPERADOR text COLLATE "C" NOT NULL);
       CREATE TABLE IF NOT EXISTS AGESALA (
           CDFILIAL text COLLATE "C",
           NRSEQAGESALA text COLLATE "C" NOT NULL,
           IDSITAGESALA text COLLATE "C" NOT NULL CHECK (IDSITAGESALA IN ('A', 'C', 'E')),
           DSAGENDASALA text COLLATE "C" NOT NULL,
           CDSALA text COLLATE "C" NOT NULL REFERENCES SALA (CDSALA),
           DTATIAGESALA date NOT NULL,
           CDOPERADOR text COLLATE "C",
           HRINIAGESALA text COLLATE "C" NOT NULL,
           HRFINAGESALA text COLLATE "C" NOT NULL,
           DTINCAGESALA timestamp,
           PRIMARY KEY (CDSALA, NRSEQAGESALA),
           CONSTRAINT AGESALA_SEM_SOBREPOSICAO EXCLUDE USING gist (
               CDSALA WITH =,
               DTATIAGESALA WITH =,
               int4range(HRINIAGESALA::integer, HRFINAGESALA::integer, '[]') WITH &&)
               WHERE (IDSITAGESALA = 'A'));
       CREATE INDEX IF NOT EXISTS AGESALA_SALA_DIA ON AGESALA (CDSALA, DTATIAGESALA);
       CREATE TABLE IF NOT EXISTS SEQSALA (
           CDSALA text COLLATE "C" NOT NULL PRIMARY KEY REFERENCES SALA (CDSALA),
           NRULTSEQ bigint NOT NULL);)",
    // Sequence numbers handed out and not yet stored; a counter's range.
    R"(ALTER TABLE SEQSALA ADD COLUMN IF NOT EXISTS NRLIMITE bigint NOT NULL DEFAULT 99999;
       CREATE TABLE IF NOT EXISTS SEQENTREGUE (
           CDSALA text COLLATE "C" NOT NULL REFERENCES SALA (CDSALA),
           NRSEQ bigint NOT NULL,
           PRIMARY KEY (CDSALA, NRSEQ));)",
    // Sign-in, sessions and the history of changes.
    R"(CREATE TABLE IF NOT EXISTS ACESSOOPERADOR (
           CDOPERADOR text COLLATE "C" NOT NULL PRIMARY KEY REFERENCES OPERADOR (CDOPERADOR),
           DSHASHSENHA text,
           IDATIVO text NOT NULL DEFAULT 'S' CHECK (IDATIVO IN ('S', 'N')));
       CREATE TABLE IF NOT EXISTS SESSAO (
           CDHASHTOKEN text COLLATE "C" NOT NULL PRIMARY KEY,
           CDPREFIXO text COLLATE "C" NOT NULL,
           CDOPERADOR text COLLATE "C" NOT NULL REFERENCES OPERADOR (CDOPERADOR),
           DSENDERECO text NOT NULL,
           DTCRIACAO timestamp NOT NULL,
           DTEXPIRA timestamp NOT NULL);
       CREATE TABLE IF NOT EXISTS HISTORICO (
           NRHISTORICO bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
           DTHISTORICO timestamp NOT NULL,
           CDOPERADOR text COLLATE "C",
           DSENDERECO text,
           DSMETODO text NOT NULL,
           IDOPERACAO text NOT NULL,
           CDSALA text COLLATE "C",
           NRSEQAGESALA text COLLATE "C",
           DTATIAGESALA date,
           DSANTERIOR text,
           DSNOVO text);
       CREATE INDEX IF NOT EXISTS HISTORICO_SALA ON HISTORICO (CDSALA, NRSEQAGESALA);
       CREATE INDEX IF NOT EXISTS HISTORICO_DATA ON HISTORICO (DTHISTORICO);)",
};
static_assert(std::size(kMigrations) == kSchemaVersion);

#define AGE_BOOKING_COLUMNS                                                                               \
    "a.CDFILIAL, a.NRSEQAGESALA, a.IDSITAGESALA, a.DSAGENDASALA, a.CDSALA,"                               \
    " to_char(a.DTATIAGESALA, 'YYYY-MM-DD'), a.CDOPERADOR, o.NMOPERADOR, a.HRINIAGESALA, a.HRFINAGESALA," \
    " to_char(a.DTINCAGESALA, 'YYYY-MM-DD\"T\"HH24:MI:SS')"                                               \
    " FROM AGESALA a LEFT JOIN OPERADOR o ON o.CDOPERADOR = a.CDOPERADOR"

#define AGE_SESSION_COLUMNS                                                                               \
    "SELECT s.CDHASHTOKEN, s.CDPREFIXO, s.CDOPERADOR, o.NMOPERADOR, s.DSENDERECO,"                          \
    " to_char(s.DTCRIACAO, 'YYYY-MM-DD\"T\"HH24:MI:SS'), to_char(s.DTEXPIRA, 'YYYY-MM-DD\"T\"HH24:MI:SS')" \
    " FROM SESSAO s JOIN OPERADOR o ON o.CDOPERADOR = s.CDOPERADOR"

const std::vector<pg::Statement> kStatements = {
    {"rooms", "SELECT CDSALA, NMSALA FROM SALA ORDER BY CDSALA"},
    {"room_name", "SELECT NMSALA FROM SALA WHERE CDSALA = $1"},
    {"operators", "SELECT CDOPERADOR, NMOPERADOR FROM OPERADOR ORDER BY CDOPERADOR"},
    {"operator_name", "SELECT NMOPERADOR FROM OPERADOR WHERE CDOPERADOR = $1"},
    {"bookings", "SELECT " AGE_BOOKING_COLUMNS
                 " WHERE a.CDSALA = $1 AND a.DTATIAGESALA = $2 ORDER BY a.HRINIAGESALA, a.NRSEQAGESALA"},
    {"booking", "SELECT " AGE_BOOKING_COLUMNS " WHERE a.CDSALA = $1 AND a.NRSEQAGESALA = $2"},
    {"scheduled_hours",
     "SELECT HRINIAGESALA, HRFINAGESALA FROM AGESALA"
     " WHERE CDSALA = $1 AND DTATIAGESALA = $2 AND IDSITAGESALA = 'A' AND NRSEQAGESALA <> $3"
     " ORDER BY HRINIAGESALA, NRSEQAGESALA"},
    // NO KEY UPDATE queues the writers of the room without holding up inserts that only reference it.
    // The transaction's id comes along: should the connection break during COMMIT, it tells how it ended.
    {"lock_room", "SELECT txid_current() FROM SALA WHERE CDSALA = $1 FOR NO KEY UPDATE"},
    {"clashing_days",
     "SELECT DISTINCT to_char(DTATIAGESALA, 'YYYY-MM-DD') FROM AGESALA"
     " WHERE CDSALA = $1 AND DTATIAGESALA BETWEEN $2 AND $3"
     " AND IDSITAGESALA = 'A' AND HRINIAGESALA <= $5 AND HRFINAGESALA >= $4"},
    {"next_seqs",
     "INSERT INTO SEQSALA (CDSALA, NRULTSEQ) VALUES ($1, $2) ON CONFLICT (CDSALA) DO UPDATE"
     " SET NRULTSEQ = SEQSALA.NRULTSEQ + $2 WHERE SEQSALA.NRULTSEQ + $2 <= SEQSALA.NRLIMITE"
     " RETURNING NRULTSEQ"},
    {"insert_booking",
     "INSERT INTO AGESALA (CDFILIAL, NRSEQAGESALA, IDSITAGESALA, DSAGENDASALA, CDSALA, DTATIAGESALA,"
     " CDOPERADOR, HRINIAGESALA, HRFINAGESALA, DTINCAGESALA)"
     " VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10) ON CONFLICT (CDSALA, NRSEQAGESALA) DO NOTHING"},
    // One row per day of $10 (an array of dates), numbered from $2 on in the array's order.
    {"insert_series",
     "INSERT INTO AGESALA (CDFILIAL, NRSEQAGESALA, IDSITAGESALA, DSAGENDASALA, CDSALA, DTATIAGESALA,"
     " CDOPERADOR, HRINIAGESALA, HRFINAGESALA, DTINCAGESALA)"
     " SELECT $1, lpad(($2::bigint + n - 1)::text, 5, '0'), $3, $4, $5, d, $6, $7, $8, $9"
     " FROM unnest($10::date[]) WITH ORDINALITY AS t(d, n)"
     " ON CONFLICT (CDSALA, NRSEQAGESALA) DO NOTHING"},
    {"update_booking",
     "UPDATE AGESALA SET CDFILIAL = $1, IDSITAGESALA = $2, DSAGENDASALA = $3, DTATIAGESALA = $4,"
     " CDOPERADOR = $5, HRINIAGESALA = $6, HRFINAGESALA = $7, DTINCAGESALA = $8"
     " WHERE CDSALA = $9 AND NRSEQAGESALA = $10"},
    {"delete_booking", "DELETE FROM AGESALA WHERE CDSALA = $1 AND NRSEQAGESALA = $2"},
    {"add_room", "INSERT INTO SALA (CDSALA, NMSALA) VALUES ($1, $2) ON CONFLICT (CDSALA) DO NOTHING"},
    {"add_operator",
     "INSERT INTO OPERADOR (CDOPERADOR, NMOPERADOR) VALUES ($1, $2) ON CONFLICT (CDOPERADOR) DO NOTHING"},
    {"add_pending_seq", "INSERT INTO SEQENTREGUE (CDSALA, NRSEQ) VALUES ($1, $2)"},
    // GetNrSeq in one statement: the room's lock first (the counter's row comes from it, as lockRoom would
    // take it), then the counter (an upsert sees the latest committed row, whatever the snapshot) and the
    // pending number. Whether the room exists, and the number (NULL when the range is used up).
    {"hand_out_seq",
     "WITH room AS (SELECT CDSALA FROM SALA WHERE CDSALA = $1 FOR NO KEY UPDATE),"
     " seq AS (INSERT INTO SEQSALA (CDSALA, NRULTSEQ) SELECT CDSALA, 1 FROM room ON CONFLICT (CDSALA)"
     " DO UPDATE SET NRULTSEQ = SEQSALA.NRULTSEQ + 1 WHERE SEQSALA.NRULTSEQ + 1 <= SEQSALA.NRLIMITE"
     " RETURNING CDSALA, NRULTSEQ),"
     " pending AS (INSERT INTO SEQENTREGUE (CDSALA, NRSEQ) SELECT CDSALA, NRULTSEQ FROM seq)"
     " SELECT EXISTS (SELECT 1 FROM room), (SELECT NRULTSEQ FROM seq)"},
    {"claim_pending_seq", "DELETE FROM SEQENTREGUE WHERE CDSALA = $1 AND NRSEQ = $2"},
    {"withdraw_pending_seqs", "DELETE FROM SEQENTREGUE WHERE CDSALA = $1"},
    {"seqs_in_use",
     "SELECT NRSEQAGESALA::bigint FROM AGESALA WHERE CDSALA = $1 AND NRSEQAGESALA ~ '^[0-9]{5}$'"
     " UNION SELECT NRSEQ FROM SEQENTREGUE WHERE CDSALA = $1 ORDER BY 1"},
    {"seq_counters", "SELECT CDSALA, NRULTSEQ, NRLIMITE FROM SEQSALA ORDER BY CDSALA"},
    {"set_seq_counter",
     "INSERT INTO SEQSALA (CDSALA, NRULTSEQ, NRLIMITE) VALUES ($1, $2, $3) ON CONFLICT (CDSALA)"
     " DO UPDATE SET NRULTSEQ = EXCLUDED.NRULTSEQ, NRLIMITE = EXCLUDED.NRLIMITE"},
    {"full_days",
     "SELECT to_char(DTATIAGESALA, 'YYYY-MM-DD') FROM AGESALA"
     " WHERE CDSALA = $1 AND DTATIAGESALA BETWEEN $2 AND $3 GROUP BY DTATIAGESALA HAVING count(*) >= $4"},
    {"day_loads",
     "SELECT to_char(DTATIAGESALA, 'YYYY-MM-DD'), count(*),"
     " bool_or(IDSITAGESALA = 'A' AND HRINIAGESALA <= $5 AND HRFINAGESALA >= $4) FROM AGESALA"
     " WHERE CDSALA = $1 AND DTATIAGESALA BETWEEN $2 AND $3 GROUP BY DTATIAGESALA"},
    {"stored_rows",
     "SELECT a.CDSALA, a.NRSEQAGESALA, a.IDSITAGESALA, to_char(a.DTATIAGESALA, 'YYYY-MM-DD'),"
     " a.HRINIAGESALA, a.HRFINAGESALA, s.CDSALA IS NOT NULL"
     " FROM AGESALA a LEFT JOIN SALA s ON s.CDSALA = a.CDSALA"
     " ORDER BY a.CDSALA, a.DTATIAGESALA, a.HRINIAGESALA, a.NRSEQAGESALA"},

    {"credential",
     "SELECT o.CDOPERADOR, o.NMOPERADOR, a.DSHASHSENHA, COALESCE(a.IDATIVO, 'S') FROM OPERADOR o"
     " LEFT JOIN ACESSOOPERADOR a ON a.CDOPERADOR = o.CDOPERADOR WHERE o.CDOPERADOR = $1"},
    {"set_password",
     "INSERT INTO ACESSOOPERADOR (CDOPERADOR, DSHASHSENHA) SELECT CDOPERADOR, $2 FROM OPERADOR"
     " WHERE CDOPERADOR = $1 ON CONFLICT (CDOPERADOR) DO UPDATE SET DSHASHSENHA = EXCLUDED.DSHASHSENHA"},
    {"set_enabled",
     "INSERT INTO ACESSOOPERADOR (CDOPERADOR, IDATIVO) SELECT CDOPERADOR, $2 FROM OPERADOR"
     " WHERE CDOPERADOR = $1 ON CONFLICT (CDOPERADOR) DO UPDATE SET IDATIVO = EXCLUDED.IDATIVO"},
    {"add_session",
     "INSERT INTO SESSAO (CDHASHTOKEN, CDPREFIXO, CDOPERADOR, DSENDERECO, DTCRIACAO, DTEXPIRA)"
     " VALUES ($1, $2, $3, $4, $5, $6)"},
    {"session", AGE_SESSION_COLUMNS " WHERE s.CDHASHTOKEN = $1"},
    {"sessions", AGE_SESSION_COLUMNS " ORDER BY s.DTCRIACAO, s.CDPREFIXO"},
    {"delete_session", "DELETE FROM SESSAO WHERE CDHASHTOKEN = $1"},
    {"delete_expired_sessions", "DELETE FROM SESSAO WHERE DTEXPIRA <= $1"},
    // Every row of a call in one statement (a recurring booking writes 98), from a JSON array of rows.
    {"add_history",
     "INSERT INTO HISTORICO (DTHISTORICO, CDOPERADOR, DSENDERECO, DSMETODO, IDOPERACAO, CDSALA,"
     " NRSEQAGESALA, DTATIAGESALA, DSANTERIOR, DSNOVO)"
     " SELECT w, o, a, m, op, r, s, d, v0, v1 FROM json_to_recordset($1::json) AS x(w timestamp, o text,"
     " a text, m text, op text, r text, s text, d date, v0 text, v1 text)"},
    {"history",
     "SELECT NRHISTORICO, to_char(DTHISTORICO, 'YYYY-MM-DD\"T\"HH24:MI:SS'), CDOPERADOR, DSENDERECO, "
     "DSMETODO,"
     " IDOPERACAO, CDSALA, NRSEQAGESALA, to_char(DTATIAGESALA, 'YYYY-MM-DD'), DSANTERIOR, DSNOVO FROM "
     "HISTORICO"
     " WHERE ($1::text IS NULL OR CDSALA = $1) AND ($2::text IS NULL OR NRSEQAGESALA = $2)"
     " AND ($3::text IS NULL OR CDOPERADOR = $3) AND ($4::date IS NULL OR DTATIAGESALA = $4)"
     " AND ($5::timestamp IS NULL OR DTHISTORICO >= $5) ORDER BY DTHISTORICO DESC, NRHISTORICO DESC"},
    {"prune_history", "DELETE FROM HISTORICO WHERE DTHISTORICO < $1"},
};

#undef AGE_BOOKING_COLUMNS
#undef AGE_SESSION_COLUMNS

std::string text(const pqxx::field& f) {
    return f.is_null() ? std::string() : std::string(f.c_str(), f.size());
}

// Empty text is stored as NULL, as the SQLite backend does.
const char* nullable(const std::string& s) {
    return s.empty() ? nullptr : s.c_str();
}

// libpq ends text parameters at a NUL byte: such text could match or store a shorter value. Nothing stored
// holds one, so a key with it finds nothing, and a value with it is refused.
bool hasNul(const std::string& s) {
    return s.find('\0') != std::string::npos;
}

void refuseNul(std::initializer_list<const std::string*> values) {
    for (const auto* v : values)
        if (hasNul(*v)) throw StorageError("text with a NUL character cannot be stored");
}

// PostgreSQL has no year 0: no booking can be on such a day.
bool storableDay(Date day) {
    return static_cast<int>(std::chrono::year_month_day(day).year()) >= 1;
}

Date firstStorableDay() {
    return makeDate(1, 1, 1);
}

Booking readBooking(const pqxx::row& r) {
    Booking b;
    b.branch = text(r[0]);
    b.seq = text(r[1]);
    b.status = text(r[2]);
    b.reference = text(r[3]);
    b.room = text(r[4]);
    auto day = parseIsoDate(text(r[5]));
    if (!day) throw StorageError("AGESALA holds a malformed day: " + text(r[5]));
    b.day = *day;
    b.operatorCode = text(r[6]);
    b.operatorName = text(r[7]);
    b.start = text(r[8]);
    b.end = text(r[9]);
    if (!r[10].is_null()) b.stamp = parseIsoDateTime(text(r[10]));
    return b;
}

std::string stampText(const Booking& b) {
    return b.stamp ? formatIsoDateTime(*b.stamp) : std::string();
}

DateTime readTime(const pqxx::field& f) {
    auto t = parseIsoDateTime(text(f));
    if (!t) throw StorageError("malformed date and time stored: " + text(f));
    return *t;
}

SessionRecord readSession(const pqxx::row& r) {
    return {text(r[0]), text(r[1]), text(r[2]), text(r[3]), text(r[4]), readTime(r[5]), readTime(r[6])};
}

// A filter value: NULL matches everything.
const char* orAny(const std::string& s) {
    return s.empty() ? nullptr : s.c_str();
}

// One snapshot for every read of the transaction, as a SQLite read transaction has.
using Snapshot = pqxx::transaction<pqxx::repeatable_read, pqxx::read_only>;
using Writer = pqxx::transaction<pqxx::read_committed, pqxx::read_write>;

enum class Kind { Read, Write, ReadOne };

// Statements that neither change nor lock rows: the only ones that may run outside a transaction (readOne),
// where nothing would roll a change back.
bool plainRead(std::string_view statement) {
    static const std::set<std::string_view> reads = [] {
        std::set<std::string_view> out;
        for (const auto& s : kStatements) {
            std::string_view sql = s.sql;
            if (sql.starts_with("SELECT ") && sql.find(" FOR ") == std::string_view::npos) out.insert(s.name);
        }
        return out;
    }();
    return reads.contains(statement);
}

// Statements found by room and number, planned for their parameters on every call instead of prepared: a
// plan made for any parameters may take the room-and-day index for the key while the table has no
// statistics yet (a new database filling fast), and read every booking of the room (2 ms a lookup after
// 10,000 of them, until autovacuum's next ANALYZE). Planning them costs some 50 µs, on rarer calls.
const char* planEachCall(std::string_view statement) {
    static const std::map<std::string_view, const char*> byKey = [] {
        std::map<std::string_view, const char*> out;
        for (const auto& s : kStatements)
            if (s.name == std::string_view("booking") || s.name == std::string_view("update_booking") ||
                s.name == std::string_view("delete_booking"))
                out.emplace(s.name, s.sql);
        return out;
    }();
    auto it = byKey.find(statement);
    return it == byKey.end() ? nullptr : it->second;
}

class PostgresTransaction final : public Transaction {
  public:
    PostgresTransaction(pg::Pool& pool, Kind kind) : pool_(pool), connection_(pool), kind_(kind) {
        try {
            if (kind == Kind::Write)
                tx_ = std::make_unique<Writer>(*connection_);
            else if (kind == Kind::Read)
                tx_ = std::make_unique<Snapshot>(*connection_);
            else
                tx_ = std::make_unique<pqxx::nontransaction>(*connection_);  // sends no BEGIN, no COMMIT
        } catch (const pqxx::failure&) {
            pg::rethrowAsStorageError();
        }
        if (kind == Kind::ReadOne) allowOneStatement();
    }

    void commit() override {
        try {
            tx_->commit();
        } catch (const pqxx::in_doubt_error&) {
            // The connection broke during COMMIT: a reply must not call stored changes a failure, nor the
            // reverse, so another connection asks how the transaction ended.
            std::optional<bool> committed = xid_ ? pool_.committed(*xid_) : std::nullopt;
            if (committed == true) return;
            if (committed == false)
                throw StorageConflict("the database connection broke during a commit, which was rolled back");
            pg::rethrowAsStorageError();
        } catch (const pqxx::failure&) {
            pg::rethrowAsStorageError();
        }
    }

    std::vector<Room> rooms() override {
        std::vector<Room> out;
        for (const auto& r : exec("rooms")) out.push_back({text(r[0]), text(r[1])});
        return out;
    }

    std::optional<std::string> roomName(const std::string& room) override {
        if (hasNul(room)) return std::nullopt;
        auto r = exec("room_name", room);
        if (r.empty()) return std::nullopt;
        return text(r[0][0]);
    }

    std::vector<Operator> operators() override {
        std::vector<Operator> out;
        for (const auto& r : exec("operators")) out.push_back({text(r[0]), text(r[1])});
        return out;
    }

    std::optional<std::string> operatorName(const std::string& code) override {
        if (hasNul(code)) return std::nullopt;
        auto r = exec("operator_name", code);
        if (r.empty()) return std::nullopt;
        return text(r[0][0]);
    }

    std::vector<Booking> bookings(const std::string& room, Date day) override {
        std::vector<Booking> out;
        if (hasNul(room) || !storableDay(day)) return out;
        for (const auto& r : exec("bookings", room, formatIsoDate(day))) out.push_back(readBooking(r));
        return out;
    }

    std::optional<Booking> booking(const std::string& room, const std::string& seq) override {
        if (hasNul(room) || hasNul(seq)) return std::nullopt;
        auto r = exec("booking", room, seq);
        if (r.empty()) return std::nullopt;
        return readBooking(r[0]);
    }

    std::vector<HourSpan> scheduledHours(const std::string& room, Date day) override {
        return scheduledHoursExcept(room, day, std::string());
    }

    std::vector<HourSpan> scheduledHoursExcept(const std::string& room, Date day,
                                               const std::string& seq) override {
        std::vector<HourSpan> out;
        if (hasNul(room) || hasNul(seq) || !storableDay(day)) return out;
        for (const auto& r : exec("scheduled_hours", room, formatIsoDate(day), seq))
            out.push_back({text(r[0]), text(r[1])});
        return out;
    }

    void lockRoom(const std::string& room) override {
        if (hasNul(room)) return;
        auto r = exec("lock_room", room);
        if (!r.empty()) xid_ = r[0][0].as<long long>();
    }

    std::set<Date> clashingDays(const std::string& room, Date from, Date to, const HourSpan& span) override {
        std::set<Date> out;
        if (hasNul(room) || hasNul(span.start) || hasNul(span.end)) return out;
        from = std::max(from, firstStorableDay());
        if (to < from) return out;
        for (const auto& r : exec("clashing_days", room, formatIsoDate(from), formatIsoDate(to), span.start,
                                  span.end)) {
            auto day = parseIsoDate(text(r[0]));
            if (!day) throw StorageError("AGESALA returned a malformed day: " + text(r[0]));
            out.insert(*day);
        }
        return out;
    }

    long nextSeqs(const std::string& room, long count) override {
        refuseNul({&room});
        if (count < 1 || count > kLastSeq) return 0;
        auto r = exec("next_seqs", room, count);
        if (r.empty()) return 0;
        return r[0][0].as<long>() - count + 1;
    }

    bool insertBooking(const Booking& b) override {
        refuseNul({&b.branch, &b.seq, &b.status, &b.reference, &b.room, &b.operatorCode, &b.start, &b.end});
        std::string stamp = stampText(b);
        auto r = exec("insert_booking", nullable(b.branch), b.seq, b.status, b.reference, b.room,
                      formatIsoDate(b.day), nullable(b.operatorCode), b.start, b.end, nullable(stamp));
        return r.affected_rows() == 1;
    }

    std::size_t insertSeries(const Booking& m, long firstSeq, const std::vector<Date>& days) override {
        refuseNul({&m.branch, &m.status, &m.reference, &m.room, &m.operatorCode, &m.start, &m.end});
        std::string dayArray = "{";
        for (Date day : days) {
            if (dayArray.size() > 1) dayArray += ',';
            dayArray += formatIsoDate(day);
        }
        dayArray += '}';
        std::string stamp = stampText(m);
        auto r = exec("insert_series", nullable(m.branch), firstSeq, m.status, m.reference, m.room,
                      nullable(m.operatorCode), m.start, m.end, nullable(stamp), dayArray);
        return static_cast<std::size_t>(r.affected_rows());
    }

    bool updateBooking(const Booking& b) override {
        refuseNul({&b.branch, &b.seq, &b.status, &b.reference, &b.room, &b.operatorCode, &b.start, &b.end});
        std::string stamp = stampText(b);
        auto r = exec("update_booking", nullable(b.branch), b.status, b.reference, formatIsoDate(b.day),
                      nullable(b.operatorCode), b.start, b.end, nullable(stamp), b.room, b.seq);
        return r.affected_rows() == 1;
    }

    bool deleteBooking(const std::string& room, const std::string& seq) override {
        if (hasNul(room) || hasNul(seq)) return false;
        return exec("delete_booking", room, seq).affected_rows() == 1;
    }

    bool addRoom(const Room& room) override {
        refuseNul({&room.code, &room.name});
        return exec("add_room", room.code, room.name).affected_rows() == 1;
    }

    bool addOperator(const Operator& op) override {
        refuseNul({&op.code, &op.name});
        return exec("add_operator", op.code, op.name).affected_rows() == 1;
    }

    void addPendingSeq(const std::string& room, long seq) override {
        refuseNul({&room});
        exec("add_pending_seq", room, seq);
    }

    bool claimPendingSeq(const std::string& room, long seq) override {
        if (hasNul(room)) return false;
        return exec("claim_pending_seq", room, seq).affected_rows() == 1;
    }

    long withdrawPendingSeqs(const std::string& room) override {
        if (hasNul(room)) return 0;
        return static_cast<long>(exec("withdraw_pending_seqs", room).affected_rows());
    }

    std::vector<long> seqsInUse(const std::string& room) override {
        std::vector<long> out;
        if (hasNul(room)) return out;
        for (const auto& r : exec("seqs_in_use", room)) out.push_back(r[0].as<long>());
        return out;
    }

    std::vector<SeqCounter> seqCounters() override {
        std::vector<SeqCounter> out;
        for (const auto& r : exec("seq_counters"))
            out.push_back({text(r[0]), r[1].as<long>(), r[2].as<long>()});
        return out;
    }

    void setSeqCounter(const SeqCounter& c) override {
        refuseNul({&c.room});
        exec("set_seq_counter", c.room, c.last, c.limit);
    }

    std::map<Date, DayLoad> dayLoads(const std::string& room, Date from, Date to,
                                     const HourSpan& span) override {
        std::map<Date, DayLoad> out;
        if (hasNul(room) || hasNul(span.start) || hasNul(span.end)) return out;
        from = std::max(from, firstStorableDay());
        if (to < from) return out;
        for (const auto& r : exec("day_loads", room, formatIsoDate(from), formatIsoDate(to), span.start,
                                  span.end)) {
            auto day = parseIsoDate(text(r[0]));
            if (!day) throw StorageError("AGESALA returned a malformed day: " + text(r[0]));
            out[*day] = {r[1].as<long>(), r[2].as<bool>()};
        }
        return out;
    }

    std::set<Date> fullDays(const std::string& room, Date from, Date to, long count) override {
        std::set<Date> out;
        if (hasNul(room)) return out;
        from = std::max(from, firstStorableDay());
        if (to < from) return out;
        for (const auto& r : exec("full_days", room, formatIsoDate(from), formatIsoDate(to), count))
            if (auto day = parseIsoDate(text(r[0]))) out.insert(*day);
        return out;
    }

    void forEachStoredRow(const std::function<void(const StoredRow&)>& visit) override {
        for (const auto& r : exec("stored_rows"))
            visit({text(r[0]), text(r[1]), text(r[2]), text(r[3]), text(r[4]), text(r[5]), r[6].as<bool>()});
    }

    std::optional<Credential> credential(const std::string& code) override {
        if (hasNul(code)) return std::nullopt;
        auto r = exec("credential", code);
        if (r.empty()) return std::nullopt;
        return Credential{text(r[0][0]), text(r[0][1]), text(r[0][2]), text(r[0][3]) == "S"};
    }

    bool setPasswordHash(const std::string& code, const std::string& hash) override {
        refuseNul({&code, &hash});
        return exec("set_password", code, hash).affected_rows() == 1;
    }

    bool setOperatorEnabled(const std::string& code, bool enabled) override {
        refuseNul({&code});
        return exec("set_enabled", code, enabled ? "S" : "N").affected_rows() == 1;
    }

    void addSession(const SessionRecord& s) override {
        refuseNul({&s.tokenHash, &s.tokenPrefix, &s.operatorCode, &s.address});
        exec("add_session", s.tokenHash, s.tokenPrefix, s.operatorCode, s.address, formatIsoDateTime(s.created),
             formatIsoDateTime(s.expires));
    }

    std::optional<SessionRecord> session(const std::string& tokenHash) override {
        if (hasNul(tokenHash)) return std::nullopt;
        auto r = exec("session", tokenHash);
        if (r.empty()) return std::nullopt;
        return readSession(r[0]);
    }

    std::vector<SessionRecord> sessions() override {
        std::vector<SessionRecord> out;
        for (const auto& r : exec("sessions")) out.push_back(readSession(r));
        return out;
    }

    bool deleteSession(const std::string& tokenHash) override {
        if (hasNul(tokenHash)) return false;
        return exec("delete_session", tokenHash).affected_rows() == 1;
    }

    int deleteExpiredSessions(DateTime now) override {
        return static_cast<int>(exec("delete_expired_sessions", formatIsoDateTime(now)).affected_rows());
    }

    using Transaction::addHistory;
    void addHistory(const std::vector<HistoryEntry>& entries) override {
        if (entries.empty()) return;
        auto orNull = [](const std::string& v) { return v.empty() ? nlohmann::json() : nlohmann::json(v); };
        nlohmann::json rows = nlohmann::json::array();
        for (const auto& h : entries) {
            refuseNul({&h.operatorCode, &h.address, &h.method, &h.operation, &h.room, &h.seq, &h.oldValues,
                       &h.newValues});
            rows.push_back({{"w", formatIsoDateTime(h.when)},
                            {"o", orNull(h.operatorCode)},
                            {"a", orNull(h.address)},
                            {"m", h.method},
                            {"op", h.operation},
                            {"r", orNull(h.room)},
                            {"s", orNull(h.seq)},
                            {"d", h.day ? nlohmann::json(formatIsoDate(*h.day)) : nlohmann::json()},
                            {"v0", orNull(h.oldValues)},
                            {"v1", orNull(h.newValues)}});
        }
        exec("add_history", rows.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    }

    std::vector<HistoryEntry> history(const HistoryFilter& f) override {
        std::vector<HistoryEntry> out;
        if (hasNul(f.room) || hasNul(f.seq) || hasNul(f.operatorCode)) return out;
        std::string day = f.day && storableDay(*f.day) ? formatIsoDate(*f.day) : std::string();
        if (f.day && day.empty()) return out;
        std::string since = f.since ? formatIsoDateTime(atMidnight(std::max(*f.since, firstStorableDay()))) : "";
        for (const auto& r : exec("history", orAny(f.room), orAny(f.seq), orAny(f.operatorCode), orAny(day),
                                  orAny(since)))
            out.push_back({r[0].as<std::int64_t>(), readTime(r[1]), text(r[2]), text(r[3]), text(r[4]),
                           text(r[5]), text(r[6]), text(r[7]), parseIsoDate(text(r[8])), text(r[9]),
                           text(r[10])});
        return out;
    }

    long pruneHistory(DateTime before) override {
        return static_cast<long>(exec("prune_history", formatIsoDateTime(before)).affected_rows());
    }

  private:
    template <typename... Args>
    pqxx::result exec(const char* statement, Args&&... args) {
        beforeStatement();
        if (kind_ == Kind::ReadOne && !plainRead(statement))
            throw StorageError(std::string("statement ") + statement +
                               " changes or locks rows: it needs write(), not readOne()");
        try {
            if (const char* sql = planEachCall(statement))
                return tx_->exec_params(sql, std::forward<Args>(args)...);
            return tx_->exec_prepared(statement, std::forward<Args>(args)...);
        } catch (const pqxx::failure&) {
            pg::rethrowAsStorageError();
        }
    }

    pg::Pool& pool_;
    pg::Lease connection_;
    Kind kind_;
    std::optional<long long> xid_;                // known once a room is locked
    std::unique_ptr<pqxx::transaction_base> tx_;  // rolls back on destruction unless committed
};

class PostgresStorage final : public Storage {
  public:
    PostgresStorage(const std::string& url, int poolSize) : pool_(url, poolSize, kStatements) {
        pg::Lease{pool_};  // an unreachable database fails here, at start
    }

    void initSchema() override {
        pg::Lease connection(pool_);
        try {
            pqxx::work tx(*connection);
            tx.exec_params("SELECT pg_advisory_xact_lock($1)", kSchemaLockKey);
            tx.exec("CREATE TABLE IF NOT EXISTS VERSAOESQUEMA (NRVERSAO integer NOT NULL)");
            auto r = tx.exec("SELECT NRVERSAO FROM VERSAOESQUEMA");
            int version = r.empty() ? 0 : r[0][0].as<int>();
            if (version > kSchemaVersion)
                throw StorageError("the database's schema version " + std::to_string(version) +
                                   " is newer than this server's (" + std::to_string(kSchemaVersion) + ")");
            for (int v = version; v < kSchemaVersion; ++v) tx.exec(kMigrations[v]);
            tx.exec("DELETE FROM VERSAOESQUEMA");
            tx.exec_params("INSERT INTO VERSAOESQUEMA (NRVERSAO) VALUES ($1)", kSchemaVersion);
            tx.commit();
        } catch (const pqxx::failure& e) {
            throw StorageError(std::string("cannot create the schema: ") + e.what());
        }
    }

    std::unique_ptr<Transaction> read() override {
        return std::make_unique<PostgresTransaction>(pool_, Kind::Read);
    }
    std::unique_ptr<Transaction> write() override {
        return std::make_unique<PostgresTransaction>(pool_, Kind::Write);
    }
    std::unique_ptr<Transaction> readOne() override {
        return std::make_unique<PostgresTransaction>(pool_, Kind::ReadOne);
    }

    // One statement in autocommit: one round trip instead of six (BEGIN, room, lock, counter, pending,
    // COMMIT).
    HandedOutSeq handOutSeq(const std::string& room) override {
        if (hasNul(room)) return {HandedOutSeq::Outcome::UnknownRoom};
        pqxx::result r;
        try {
            pg::Lease connection(pool_);
            pqxx::nontransaction tx(*connection);
            r = tx.exec_prepared("hand_out_seq", room);
        } catch (const pqxx::failure&) {
            pg::rethrowAsStorageError();
        }
        if (!r.at(0).at(0).as<bool>()) return {HandedOutSeq::Outcome::UnknownRoom};
        if (r[0][1].is_null()) return {HandedOutSeq::Outcome::Exhausted};
        return {HandedOutSeq::Outcome::Number, r[0][1].as<long>()};
    }

  private:
    pg::Pool pool_;
};

}  // namespace

std::unique_ptr<Storage> openPostgresStorage(const std::string& url, int poolSize) {
    return std::make_unique<PostgresStorage>(url, poolSize);
}

}  // namespace age::server
