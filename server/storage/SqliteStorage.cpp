// The SQLite backend: one file in WAL mode, a pool of connections (one per concurrent transaction),
// prepared statements only. Writers take BEGIN IMMEDIATE, which serialises them before any check they make;
// within the process they take their turn on a mutex first, so a waiting writer is woken the moment the
// other commits instead of sleeping in SQLite's busy handler (1 ms, 2 ms, 5 ms, ... between tries).
// Checkpoints, which write the WAL back and sync the file, run on a thread of their own, not in a call.
#include <pthread.h>
#include <sqlite3.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <spdlog/spdlog.h>

#include "server/storage/SqliteDb.h"
#include "server/storage/Storage.h"

namespace age::server {
namespace {

using sqlite::Db;
using sqlite::Query;

constexpr int kSchemaVersion = 4;
// As long as SQLite's busy timeout: another process (an admin command) may hold the file's write lock.
constexpr auto kWriterWait = std::chrono::seconds(10);
// WAL length, in pages, that calls for a checkpoint (SQLite's own default).
constexpr int kCheckpointPages = 1000;

using WriterTurn = std::unique_lock<std::timed_mutex>;

// Each step brings the schema from version i to i + 1; statements are idempotent so that a crash between
// a step and the version update is harmless.
constexpr const char* kMigrations[] = {
    R"(CREATE TABLE IF NOT EXISTS SALA (
           CDSALA TEXT NOT NULL PRIMARY KEY,
           NMSALA TEXT NOT NULL);
       CREATE TABLE IF NOT EXISTS OPERADOR (
           CDOPERADOR TEXT NOT NULL PRIMARY KEY,
           NMOPERADOR TEXT NOT NULL);
       CREATE TABLE IF NOT EXISTS AGESALA (
           CDFILIAL TEXT,
           NRSEQAGESALA TEXT NOT NULL,
           IDSITAGESALA TEXT NOT NULL CHECK (IDSITAGESALA IN ('A', 'C', 'E')),
           DSAGENDASALA TEXT NOT NULL,
           CDSALA TEXT NOT NULL REFERENCES SALA (CDSALA),
           DTATIAGESALA TEXT NOT NULL,
           CDOPERADOR TEXT,
           HRINIAGESALA TEXT NOT NULL,
           HRFINAGESALA TEXT NOT NULL,
           DTINCAGESALA TEXT,
           PRIMARY KEY (CDSALA, NRSEQAGESALA));
       CREATE INDEX IF NOT EXISTS AGESALA_SALA_DIA ON AGESALA (CDSALA, DTATIAGESALA);
       CREATE TABLE IF NOT EXISTS SEQSALA (
           CDSALA TEXT NOT NULL PRIMARY KEY REFERENCES SALA (CDSALA),
           NRULTSEQ INTEGER NOT NULL);)",
    // Sequence numbers handed out and not yet stored; a counter's range (SQLite runs a step and the version
    // update in one transaction, so ADD COLUMN needs no guard).
    R"(ALTER TABLE SEQSALA ADD COLUMN NRLIMITE INTEGER NOT NULL DEFAULT 99999;
       CREATE TABLE IF NOT EXISTS SEQENTREGUE (
           CDSALA TEXT NOT NULL REFERENCES SALA (CDSALA),
           NRSEQ INTEGER NOT NULL,
           PRIMARY KEY (CDSALA, NRSEQ)) WITHOUT ROWID;)",
    // Sign-in, sessions and the history of changes.
    R"(CREATE TABLE IF NOT EXISTS ACESSOOPERADOR (
           CDOPERADOR TEXT NOT NULL PRIMARY KEY REFERENCES OPERADOR (CDOPERADOR),
           DSHASHSENHA TEXT,
           IDATIVO TEXT NOT NULL DEFAULT 'S' CHECK (IDATIVO IN ('S', 'N')));
       CREATE TABLE IF NOT EXISTS SESSAO (
           CDHASHTOKEN TEXT NOT NULL PRIMARY KEY,
           CDPREFIXO TEXT NOT NULL,
           CDOPERADOR TEXT NOT NULL REFERENCES OPERADOR (CDOPERADOR),
           DSENDERECO TEXT NOT NULL,
           DTCRIACAO TEXT NOT NULL,
           DTEXPIRA TEXT NOT NULL);
       CREATE TABLE IF NOT EXISTS HISTORICO (
           NRHISTORICO INTEGER PRIMARY KEY,
           DTHISTORICO TEXT NOT NULL,
           CDOPERADOR TEXT,
           DSENDERECO TEXT,
           DSMETODO TEXT NOT NULL,
           IDOPERACAO TEXT NOT NULL,
           CDSALA TEXT,
           NRSEQAGESALA TEXT,
           DTATIAGESALA TEXT,
           DSANTERIOR TEXT,
           DSNOVO TEXT);)",
    // The room-and-day index also holds what the overlap checks and GetHora read (status, hours, number),
    // so they never visit the table: a 98-day check reads 98 days of index entries, not their rows.
    R"(CREATE INDEX IF NOT EXISTS AGESALA_SALA_DIA_HORA
           ON AGESALA (CDSALA, DTATIAGESALA, IDSITAGESALA, HRINIAGESALA, NRSEQAGESALA, HRFINAGESALA);
       DROP INDEX IF EXISTS AGESALA_SALA_DIA;)",
};
static_assert(std::size(kMigrations) == kSchemaVersion);

constexpr const char* kBookingColumns =
    "a.CDFILIAL, a.NRSEQAGESALA, a.IDSITAGESALA, a.DSAGENDASALA, a.CDSALA, a.DTATIAGESALA, a.CDOPERADOR, "
    "o.NMOPERADOR, a.HRINIAGESALA, a.HRFINAGESALA, a.DTINCAGESALA";

Booking readBooking(const Query& q) {
    Booking b;
    b.branch = q.text(0);
    b.seq = q.text(1);
    b.status = q.text(2);
    b.reference = q.text(3);
    b.room = q.text(4);
    auto day = parseIsoDate(q.text(5));
    if (!day) throw StorageError("AGESALA holds a malformed day: " + q.text(5));
    b.day = *day;
    b.operatorCode = q.text(6);
    b.operatorName = q.text(7);
    b.start = q.text(8);
    b.end = q.text(9);
    if (auto stamp = q.optionalText(10)) b.stamp = parseIsoDateTime(*stamp);
    return b;
}

std::string stampText(const Booking& b) {
    return b.stamp ? formatIsoDateTime(*b.stamp) : std::string();
}

DateTime readTime(const Query& q, int column) {
    auto t = parseIsoDateTime(q.text(column));
    if (!t) throw StorageError("malformed date and time stored: " + q.text(column));
    return *t;
}

SessionRecord readSession(const Query& q) {
    return {q.text(0), q.text(1), q.text(2), q.text(3), q.text(4), readTime(q, 5), readTime(q, 6)};
}

constexpr const char* kSessionColumns =
    "SELECT s.CDHASHTOKEN, s.CDPREFIXO, s.CDOPERADOR, o.NMOPERADOR, s.DSENDERECO, s.DTCRIACAO, s.DTEXPIRA"
    " FROM SESSAO s JOIN OPERADOR o ON o.CDOPERADOR = s.CDOPERADOR";

class SqliteStorage;

class SqliteTransaction final : public Transaction {
  public:
    SqliteTransaction(SqliteStorage& owner, std::unique_ptr<Db> db, WriterTurn turn);
    ~SqliteTransaction() override;

    void commit() override {
        db_->exec("COMMIT");
        open_ = false;
        if (turn_) turn_.unlock();
    }

    std::vector<Room> rooms() override {
        std::vector<Room> out;
        auto q = query("SELECT CDSALA, NMSALA FROM SALA ORDER BY CDSALA");
        while (q.step()) out.push_back({q.text(0), q.text(1)});
        return out;
    }

    std::optional<std::string> roomName(const std::string& room) override {
        auto q = query("SELECT NMSALA FROM SALA WHERE CDSALA = ?1");
        q.bindText(1, room);
        if (!q.step()) return std::nullopt;
        return q.text(0);
    }

    std::vector<Operator> operators() override {
        std::vector<Operator> out;
        auto q = query("SELECT CDOPERADOR, NMOPERADOR FROM OPERADOR ORDER BY CDOPERADOR");
        while (q.step()) out.push_back({q.text(0), q.text(1)});
        return out;
    }

    std::optional<std::string> operatorName(const std::string& code) override {
        auto q = query("SELECT NMOPERADOR FROM OPERADOR WHERE CDOPERADOR = ?1");
        q.bindText(1, code);
        if (!q.step()) return std::nullopt;
        return q.text(0);
    }

    std::vector<Booking> bookings(const std::string& room, Date day) override {
        static const std::string sql = std::string("SELECT ") + kBookingColumns +
                                       " FROM AGESALA a LEFT JOIN OPERADOR o ON o.CDOPERADOR = a.CDOPERADOR"
                                       " WHERE a.CDSALA = ?1 AND a.DTATIAGESALA = ?2"
                                       " ORDER BY a.HRINIAGESALA, a.NRSEQAGESALA";
        auto q = query(sql.c_str());
        q.bindText(1, room).bindText(2, formatIsoDate(day));
        std::vector<Booking> out;
        while (q.step()) out.push_back(readBooking(q));
        return out;
    }

    std::optional<Booking> booking(const std::string& room, const std::string& seq) override {
        static const std::string sql = std::string("SELECT ") + kBookingColumns +
                                       " FROM AGESALA a LEFT JOIN OPERADOR o ON o.CDOPERADOR = a.CDOPERADOR"
                                       " WHERE a.CDSALA = ?1 AND a.NRSEQAGESALA = ?2";
        auto q = query(sql.c_str());
        q.bindText(1, room).bindText(2, seq);
        if (!q.step()) return std::nullopt;
        return readBooking(q);
    }

    std::vector<HourSpan> scheduledHours(const std::string& room, Date day) override {
        return scheduledHoursExcept(room, day, std::string());
    }

    std::vector<HourSpan> scheduledHoursExcept(const std::string& room, Date day,
                                               const std::string& seq) override {
        auto q = query(
            "SELECT HRINIAGESALA, HRFINAGESALA FROM AGESALA"
            " WHERE CDSALA = ?1 AND DTATIAGESALA = ?2 AND IDSITAGESALA = 'A' AND NRSEQAGESALA <> ?3"
            " ORDER BY HRINIAGESALA, NRSEQAGESALA");
        q.bindText(1, room).bindText(2, formatIsoDate(day)).bindText(3, seq);
        std::vector<HourSpan> out;
        while (q.step()) out.push_back({q.text(0), q.text(1)});
        return out;
    }

    std::set<Date> clashingDays(const std::string& room, Date from, Date to, const HourSpan& span) override {
        auto q = query(
            "SELECT DISTINCT DTATIAGESALA FROM AGESALA WHERE CDSALA = ?1 AND DTATIAGESALA BETWEEN ?2 AND ?3"
            " AND IDSITAGESALA = 'A' AND HRINIAGESALA <= ?5 AND HRFINAGESALA >= ?4");
        q.bindText(1, room).bindText(2, formatIsoDate(from)).bindText(3, formatIsoDate(to));
        q.bindText(4, span.start).bindText(5, span.end);
        std::set<Date> out;
        while (q.step()) {
            auto day = parseIsoDate(q.text(0));
            if (!day) throw StorageError("AGESALA holds a malformed day: " + q.text(0));
            out.insert(*day);
        }
        return out;
    }

    // BEGIN IMMEDIATE already holds the database's write lock.
    void lockRoom(const std::string&) override {}

    long nextSeqs(const std::string& room, long count) override {
        if (count < 1 || count > kLastSeq) return 0;
        auto q = query(
            "INSERT INTO SEQSALA (CDSALA, NRULTSEQ) VALUES (?1, ?2) ON CONFLICT (CDSALA) DO UPDATE"
            " SET NRULTSEQ = NRULTSEQ + ?2 WHERE NRULTSEQ + ?2 <= NRLIMITE RETURNING NRULTSEQ");
        q.bindText(1, room).bind(2, static_cast<std::int64_t>(count));
        if (!q.step()) return 0;
        long last = static_cast<long>(q.integer(0));
        q.run();
        return last - count + 1;
    }

    bool insertBooking(const Booking& b) override {
        auto q = query(
            "INSERT INTO AGESALA (CDFILIAL, NRSEQAGESALA, IDSITAGESALA, DSAGENDASALA, CDSALA, DTATIAGESALA,"
            " CDOPERADOR, HRINIAGESALA, HRFINAGESALA, DTINCAGESALA)"
            " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10) ON CONFLICT (CDSALA, NRSEQAGESALA) DO "
            "NOTHING");
        q.bind(1, b.branch).bindText(2, b.seq).bindText(3, b.status).bindText(4, b.reference);
        q.bindText(5, b.room).bindText(6, formatIsoDate(b.day)).bind(7, b.operatorCode);
        q.bindText(8, b.start).bindText(9, b.end).bind(10, stampText(b));
        q.run();
        return q.changes() == 1;
    }

    bool updateBooking(const Booking& b) override {
        auto q = query(
            "UPDATE AGESALA SET CDFILIAL = ?1, IDSITAGESALA = ?2, DSAGENDASALA = ?3, DTATIAGESALA = ?4,"
            " CDOPERADOR = ?5, HRINIAGESALA = ?6, HRFINAGESALA = ?7, DTINCAGESALA = ?8"
            " WHERE CDSALA = ?9 AND NRSEQAGESALA = ?10");
        q.bind(1, b.branch).bindText(2, b.status).bindText(3, b.reference).bindText(4, formatIsoDate(b.day));
        q.bind(5, b.operatorCode).bindText(6, b.start).bindText(7, b.end).bind(8, stampText(b));
        q.bindText(9, b.room).bindText(10, b.seq);
        q.run();
        return q.changes() == 1;
    }

    bool deleteBooking(const std::string& room, const std::string& seq) override {
        auto q = query("DELETE FROM AGESALA WHERE CDSALA = ?1 AND NRSEQAGESALA = ?2");
        q.bindText(1, room).bindText(2, seq);
        q.run();
        return q.changes() == 1;
    }

    bool addRoom(const Room& room) override {
        auto q =
            query("INSERT INTO SALA (CDSALA, NMSALA) VALUES (?1, ?2) ON CONFLICT (CDSALA) DO NOTHING");
        q.bindText(1, room.code).bindText(2, room.name);
        q.run();
        return q.changes() == 1;
    }

    bool addOperator(const Operator& op) override {
        auto q = query(
            "INSERT INTO OPERADOR (CDOPERADOR, NMOPERADOR) VALUES (?1, ?2) ON CONFLICT (CDOPERADOR) DO "
            "NOTHING");
        q.bindText(1, op.code).bindText(2, op.name);
        q.run();
        return q.changes() == 1;
    }

    void addPendingSeq(const std::string& room, long seq) override {
        auto q = query("INSERT INTO SEQENTREGUE (CDSALA, NRSEQ) VALUES (?1, ?2)");
        q.bindText(1, room).bind(2, static_cast<std::int64_t>(seq));
        q.run();
    }

    bool claimPendingSeq(const std::string& room, long seq) override {
        auto q = query("DELETE FROM SEQENTREGUE WHERE CDSALA = ?1 AND NRSEQ = ?2");
        q.bindText(1, room).bind(2, static_cast<std::int64_t>(seq));
        q.run();
        return q.changes() == 1;
    }

    long withdrawPendingSeqs(const std::string& room) override {
        auto q = query("DELETE FROM SEQENTREGUE WHERE CDSALA = ?1");
        q.bindText(1, room);
        q.run();
        return q.changes();
    }

    std::vector<long> seqsInUse(const std::string& room) override {
        auto q = query(
            "SELECT CAST(NRSEQAGESALA AS INTEGER) FROM AGESALA"
            " WHERE CDSALA = ?1 AND NRSEQAGESALA GLOB '[0-9][0-9][0-9][0-9][0-9]'"
            " UNION SELECT NRSEQ FROM SEQENTREGUE WHERE CDSALA = ?1 ORDER BY 1");
        q.bindText(1, room);
        std::vector<long> out;
        while (q.step()) out.push_back(static_cast<long>(q.integer(0)));
        return out;
    }

    std::vector<SeqCounter> seqCounters() override {
        auto q = query("SELECT CDSALA, NRULTSEQ, NRLIMITE FROM SEQSALA ORDER BY CDSALA");
        std::vector<SeqCounter> out;
        while (q.step())
            out.push_back({q.text(0), static_cast<long>(q.integer(1)), static_cast<long>(q.integer(2))});
        return out;
    }

    void setSeqCounter(const SeqCounter& c) override {
        auto q = query(
            "INSERT INTO SEQSALA (CDSALA, NRULTSEQ, NRLIMITE) VALUES (?1, ?2, ?3) ON CONFLICT (CDSALA)"
            " DO UPDATE SET NRULTSEQ = excluded.NRULTSEQ, NRLIMITE = excluded.NRLIMITE");
        q.bindText(1, c.room).bind(2, static_cast<std::int64_t>(c.last));
        q.bind(3, static_cast<std::int64_t>(c.limit));
        q.run();
    }

    std::map<Date, DayLoad> dayLoads(const std::string& room, Date from, Date to,
                                     const HourSpan& span) override {
        auto q = query(
            "SELECT DTATIAGESALA, count(*),"
            " max(IDSITAGESALA = 'A' AND HRINIAGESALA <= ?5 AND HRFINAGESALA >= ?4) FROM AGESALA"
            " WHERE CDSALA = ?1 AND DTATIAGESALA BETWEEN ?2 AND ?3 GROUP BY DTATIAGESALA");
        q.bindText(1, room).bindText(2, formatIsoDate(from)).bindText(3, formatIsoDate(to));
        q.bindText(4, span.start).bindText(5, span.end);
        std::map<Date, DayLoad> out;
        while (q.step()) {
            auto day = parseIsoDate(q.text(0));
            if (!day) throw StorageError("AGESALA holds a malformed day: " + q.text(0));
            out[*day] = {static_cast<long>(q.integer(1)), q.integer(2) != 0};
        }
        return out;
    }

    std::set<Date> fullDays(const std::string& room, Date from, Date to, long count) override {
        auto q = query(
            "SELECT DTATIAGESALA FROM AGESALA WHERE CDSALA = ?1 AND DTATIAGESALA BETWEEN ?2 AND ?3"
            " GROUP BY DTATIAGESALA HAVING count(*) >= ?4");
        q.bindText(1, room).bindText(2, formatIsoDate(from)).bindText(3, formatIsoDate(to));
        q.bind(4, static_cast<std::int64_t>(count));
        std::set<Date> out;
        while (q.step())
            if (auto day = parseIsoDate(q.text(0))) out.insert(*day);
        return out;
    }

    void forEachStoredRow(const std::function<void(const StoredRow&)>& visit) override {
        auto q = query(
            "SELECT a.CDSALA, a.NRSEQAGESALA, a.IDSITAGESALA, a.DTATIAGESALA, a.HRINIAGESALA, a.HRFINAGESALA,"
            " s.CDSALA IS NOT NULL FROM AGESALA a LEFT JOIN SALA s ON s.CDSALA = a.CDSALA"
            " ORDER BY a.CDSALA, a.DTATIAGESALA, a.HRINIAGESALA, a.NRSEQAGESALA");
        while (q.step())
            visit({q.text(0), q.text(1), q.text(2), q.text(3), q.text(4), q.text(5), q.integer(6) != 0});
    }

    std::optional<Credential> credential(const std::string& code) override {
        auto q = query(
            "SELECT o.CDOPERADOR, o.NMOPERADOR, a.DSHASHSENHA, COALESCE(a.IDATIVO, 'S') FROM OPERADOR o"
            " LEFT JOIN ACESSOOPERADOR a ON a.CDOPERADOR = o.CDOPERADOR WHERE o.CDOPERADOR = ?1");
        q.bindText(1, code);
        if (!q.step()) return std::nullopt;
        return Credential{q.text(0), q.text(1), q.text(2), q.text(3) == "S"};
    }

    bool setPasswordHash(const std::string& code, const std::string& hash) override {
        auto q = query(
            "INSERT INTO ACESSOOPERADOR (CDOPERADOR, DSHASHSENHA) SELECT CDOPERADOR, ?2 FROM OPERADOR"
            " WHERE CDOPERADOR = ?1 ON CONFLICT (CDOPERADOR) DO UPDATE SET DSHASHSENHA = excluded.DSHASHSENHA");
        q.bindText(1, code).bindText(2, hash);
        q.run();
        return q.changes() == 1;
    }

    bool setOperatorEnabled(const std::string& code, bool enabled) override {
        auto q = query(
            "INSERT INTO ACESSOOPERADOR (CDOPERADOR, IDATIVO) SELECT CDOPERADOR, ?2 FROM OPERADOR"
            " WHERE CDOPERADOR = ?1 ON CONFLICT (CDOPERADOR) DO UPDATE SET IDATIVO = excluded.IDATIVO");
        q.bindText(1, code).bindText(2, enabled ? "S" : "N");
        q.run();
        return q.changes() == 1;
    }

    void addSession(const SessionRecord& s) override {
        auto q = query(
            "INSERT INTO SESSAO (CDHASHTOKEN, CDPREFIXO, CDOPERADOR, DSENDERECO, DTCRIACAO, DTEXPIRA)"
            " VALUES (?1, ?2, ?3, ?4, ?5, ?6)");
        q.bindText(1, s.tokenHash).bindText(2, s.tokenPrefix).bindText(3, s.operatorCode);
        q.bindText(4, s.address).bindText(5, formatIsoDateTime(s.created)).bindText(6, formatIsoDateTime(s.expires));
        q.run();
    }

    std::optional<SessionRecord> session(const std::string& tokenHash) override {
        static const std::string sql = std::string(kSessionColumns) + " WHERE s.CDHASHTOKEN = ?1";
        auto q = query(sql.c_str());
        q.bindText(1, tokenHash);
        if (!q.step()) return std::nullopt;
        return readSession(q);
    }

    std::vector<SessionRecord> sessions() override {
        static const std::string sql = std::string(kSessionColumns) + " ORDER BY s.DTCRIACAO, s.CDPREFIXO";
        auto q = query(sql.c_str());
        std::vector<SessionRecord> out;
        while (q.step()) out.push_back(readSession(q));
        return out;
    }

    bool deleteSession(const std::string& tokenHash) override {
        auto q = query("DELETE FROM SESSAO WHERE CDHASHTOKEN = ?1");
        q.bindText(1, tokenHash);
        q.run();
        return q.changes() == 1;
    }

    int deleteExpiredSessions(DateTime now) override {
        auto q = query("DELETE FROM SESSAO WHERE DTEXPIRA <= ?1");
        q.bindText(1, formatIsoDateTime(now));
        q.run();
        return q.changes();
    }

    using Transaction::addHistory;
    void addHistory(const std::vector<HistoryEntry>& entries) override {
        for (const auto& h : entries) addHistoryRow(h);
    }

    void addHistoryRow(const HistoryEntry& h) {
        auto q = query(
            "INSERT INTO HISTORICO (DTHISTORICO, CDOPERADOR, DSENDERECO, DSMETODO, IDOPERACAO, CDSALA,"
            " NRSEQAGESALA, DTATIAGESALA, DSANTERIOR, DSNOVO) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)");
        q.bindText(1, formatIsoDateTime(h.when)).bind(2, h.operatorCode).bind(3, h.address);
        q.bindText(4, h.method).bindText(5, h.operation).bind(6, h.room).bind(7, h.seq);
        q.bind(8, h.day ? formatIsoDate(*h.day) : std::string()).bind(9, h.oldValues).bind(10, h.newValues);
        q.run();
    }

    std::vector<HistoryEntry> history(const HistoryFilter& f) override {
        auto q = query(
            "SELECT NRHISTORICO, DTHISTORICO, CDOPERADOR, DSENDERECO, DSMETODO, IDOPERACAO, CDSALA,"
            " NRSEQAGESALA, DTATIAGESALA, DSANTERIOR, DSNOVO FROM HISTORICO"
            " WHERE (?1 = '' OR CDSALA = ?1) AND (?2 = '' OR NRSEQAGESALA = ?2) AND (?3 = '' OR CDOPERADOR = ?3)"
            " AND (?4 = '' OR DTATIAGESALA = ?4) AND (?5 = '' OR DTHISTORICO >= ?5)"
            " ORDER BY DTHISTORICO DESC, NRHISTORICO DESC");
        q.bindText(1, f.room).bindText(2, f.seq).bindText(3, f.operatorCode);
        q.bindText(4, f.day ? formatIsoDate(*f.day) : std::string());
        q.bindText(5, f.since ? formatIsoDateTime(atMidnight(*f.since)) : std::string());
        std::vector<HistoryEntry> out;
        while (q.step()) {
            HistoryEntry h{q.integer(0), readTime(q, 1), q.text(2), q.text(3), q.text(4), q.text(5),
                           q.text(6), q.text(7), parseIsoDate(q.text(8)), q.text(9), q.text(10)};
            out.push_back(std::move(h));
        }
        return out;
    }

    long pruneHistory(DateTime before) override {
        auto q = query("DELETE FROM HISTORICO WHERE DTHISTORICO < ?1");
        q.bindText(1, formatIsoDateTime(before));
        q.run();
        return q.changes();
    }

    using Transaction::allowOneStatement;

  private:
    Query query(const char* sql) {
        beforeStatement();
        return db_->query(sql);
    }

    SqliteStorage& owner_;
    std::unique_ptr<Db> db_;
    bool open_ = true;
    WriterTurn turn_;  // held by a writer until it commits or rolls back
};

class SqliteStorage final : public Storage {
  public:
    explicit SqliteStorage(std::string path) : path_(std::move(path)) {
        release(acquire());
        checkpointer_ = std::thread([this] { checkpointLoop(); });
    }

    ~SqliteStorage() override {
        {
            std::lock_guard lock(checkpointMutex_);
            stopping_ = true;
        }
        checkpointWake_.notify_one();
        checkpointer_.join();
    }

    void initSchema() override {
        auto db = acquire();
        db->exec("BEGIN IMMEDIATE");
        try {
            int version = userVersion(*db);
            if (version > kSchemaVersion)
                throw StorageError("the database's schema version " + std::to_string(version) +
                                   " is newer than this server's (" + std::to_string(kSchemaVersion) + ")");
            for (int v = version; v < kSchemaVersion; ++v) db->exec(kMigrations[v]);
            // The version is a constant of this program, never user data.
            db->exec(("PRAGMA user_version = " + std::to_string(kSchemaVersion)).c_str());
            db->exec("COMMIT");
        } catch (...) {
            db->exec("ROLLBACK");
            throw;
        }
        release(std::move(db));
    }

    std::unique_ptr<Transaction> read() override { return begin(false); }
    std::unique_ptr<Transaction> write() override { return begin(true); }
    bool oneWriterAtATime() const override { return true; }
    // A read transaction costs SQLite no round trip: the same one, held to its single statement.
    std::unique_ptr<Transaction> readOne() override {
        auto tx = begin(false);
        tx->allowOneStatement();
        return tx;
    }

    std::unique_ptr<Db> acquire() {
        {
            std::lock_guard lock(mutex_);
            if (!idle_.empty()) {
                auto db = std::move(idle_.back());
                idle_.pop_back();
                return db;
            }
        }
        auto db = std::make_unique<Db>(path_);
        // Replaces SQLite's automatic checkpoint, which would run inside the committing call.
        sqlite3_wal_hook(db->handle(), &SqliteStorage::afterCommit, this);
        return db;
    }

    void release(std::unique_ptr<Db> db) {
        std::lock_guard lock(mutex_);
        idle_.push_back(std::move(db));
    }

  private:
    static int userVersion(Db& db) {
        auto q = db.query("PRAGMA user_version");
        return q.step() ? static_cast<int>(q.integer(0)) : 0;
    }

    std::unique_ptr<SqliteTransaction> begin(bool writing) {
        WriterTurn turn;
        if (writing) {
            turn = WriterTurn(writer_, std::defer_lock);
            if (!turn.try_lock_for(kWriterWait)) throw StorageBusy("another write transaction runs too long");
        }
        auto db = acquire();
        try {
            db->exec(writing ? "BEGIN IMMEDIATE" : "BEGIN");
        } catch (...) {
            release(std::move(db));
            throw;
        }
        return std::make_unique<SqliteTransaction>(*this, std::move(db), std::move(turn));
    }

    // SQLite's WAL hook: runs after every commit with the WAL's length in pages.
    static int afterCommit(void* self, sqlite3*, const char*, int pages) {
        if (pages >= kCheckpointPages) static_cast<SqliteStorage*>(self)->askCheckpoint();
        return SQLITE_OK;
    }

    void askCheckpoint() {
        {
            std::lock_guard lock(checkpointMutex_);
            if (checkpointDue_) return;
            checkpointDue_ = true;
        }
        checkpointWake_.notify_one();
    }

    // A passive checkpoint waits for no one: readers and writers go on while it copies.
    void checkpointLoop() {
        pthread_setname_np(pthread_self(), "age-checkpoint");
        std::unique_ptr<Db> db;  // its own connection, opened on the first checkpoint
        std::unique_lock lock(checkpointMutex_);
        for (;;) {
            checkpointWake_.wait(lock, [this] { return checkpointDue_ || stopping_; });
            if (stopping_) return;
            lock.unlock();
            try {
                if (!db) db = std::make_unique<Db>(path_);
                int rc = sqlite3_wal_checkpoint_v2(db->handle(), nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr,
                                                   nullptr);
                if (rc != SQLITE_OK && rc != SQLITE_BUSY)
                    spdlog::warn("SQLite checkpoint failed: {}", sqlite3_errmsg(db->handle()));
            } catch (const std::exception& e) {
                spdlog::warn("SQLite checkpoint failed: {}", e.what());
            }
            lock.lock();
            checkpointDue_ = false;  // the next commit past the mark asks again
        }
    }

    std::string path_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<Db>> idle_;
    std::timed_mutex writer_;  // one write transaction of this process at a time
    std::mutex checkpointMutex_;
    std::condition_variable checkpointWake_;
    bool checkpointDue_ = false;
    bool stopping_ = false;
    std::thread checkpointer_;
};

SqliteTransaction::SqliteTransaction(SqliteStorage& owner, std::unique_ptr<Db> db, WriterTurn turn)
    : owner_(owner), db_(std::move(db)), turn_(std::move(turn)) {}

SqliteTransaction::~SqliteTransaction() {
    if (open_) {
        try {
            db_->exec("ROLLBACK");
        } catch (...) {
            return;  // a connection in an unknown state is dropped, not pooled
        }
    }
    owner_.release(std::move(db_));
}

}  // namespace

std::unique_ptr<Storage> openSqliteStorage(const std::string& path) {
    return std::make_unique<SqliteStorage>(path);
}

}  // namespace age::server
