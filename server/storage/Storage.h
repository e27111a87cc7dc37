// What the application server keeps: rooms, operators, bookings and the per-room sequence counters,
// behind one interface so that SQLite and PostgreSQL backends serve the same methods.
//
// Every read and write happens through a Transaction (on PostgreSQL, one from readOne() runs its single
// statement outside a transaction). A write transaction serialises the writers of a room before the caller
// checks for overlaps (SQLite: BEGIN IMMEDIATE; PostgreSQL: a row lock taken by lockRoom, with the exclusion
// constraint as the last word), so a check made inside it still holds when the transaction commits. A
// transaction that is destroyed without commit() rolls back.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/Dates.h"

namespace age::server {

struct Room {
    std::string code;
    std::string name;
};

struct Operator {
    std::string code;
    std::string name;
};

// One row of AGESALA. Empty text stands for an empty (null) value and is stored as NULL.
struct Booking {
    std::string branch;             // CDFILIAL
    std::string seq;                // NRSEQAGESALA, five digits
    std::string status;             // IDSITAGESALA: A, C, E
    std::string reference;          // DSAGENDASALA
    std::string room;               // CDSALA
    Date day{};                     // DTATIAGESALA
    std::string operatorCode;       // CDOPERADOR
    std::string operatorName;       // NMOPERADOR, read from OPERADOR, never stored with the booking
    std::string start;              // HRINIAGESALA, HHMM
    std::string end;                // HRFINAGESALA, HHMM
    std::optional<DateTime> stamp;  // DTINCAGESALA
};

// An operator's sign-in data. An operator without a password cannot sign in with --auth password.
struct Credential {
    std::string code;
    std::string name;
    std::string passwordHash;  // Argon2id string of crypto_pwhash_str; "" when none was set
    bool enabled = true;
};

// A sign-in session. The token itself is never stored: only its hash, and its first characters so that an
// administrator can tell sessions apart.
struct SessionRecord {
    std::string tokenHash;
    std::string tokenPrefix;
    std::string operatorCode;
    std::string operatorName;  // read from OPERADOR
    std::string address;       // of the connection that signed in
    DateTime created{};
    DateTime expires{};
};

// One row of the history: a booking changed by a call, a sign-in, or an administration command.
struct HistoryEntry {
    std::int64_t id = 0;  // given by the database
    DateTime when{};
    std::string operatorCode;  // signed in (or trying to); "" for none
    std::string address;       // of the client, or "local:USER" for a command
    std::string method;        // "SetAgendaSala", "Session.Login", "operator password", ...
    std::string operation;     // "insert", "update", "delete", "sign-in", ...
    std::string room;
    std::string seq;
    std::optional<Date> day;
    std::string oldValues;  // JSON object text, "" for none
    std::string newValues;
};

// Empty members match everything.
struct HistoryFilter {
    std::string room{};
    std::string seq{};
    std::string operatorCode{};
    std::optional<Date> day{};    // of the booking
    std::optional<Date> since{};  // rows written on or after this day
};

struct HourSpan {
    std::string start;
    std::string end;
};

// A day of a room as a recurring booking sees it: how many bookings it holds (any status) and whether a
// scheduled one overlaps the new span.
struct DayLoad {
    long bookings = 0;
    bool clashes = false;
};

// The highest sequence number: they are five digits.
inline constexpr long kLastSeq = 99999;

// A room's sequence counter: it hands out last + 1 to limit (limit is kLastSeq until `room renumber`
// gives the room another free range).
struct SeqCounter {
    std::string room;
    long last = 0;
    long limit = kLastSeq;
};

// A row of AGESALA as stored, unchecked and unparsed: what `age-server check` inspects.
struct StoredRow {
    std::string room, seq, status, day, start, end;
    bool roomKnown = true;  // SALA has the room
};

// The storage is busy beyond its waiting time (another writer holds it): the call may be retried.
class StorageBusy : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Any other storage failure (I/O, corruption, a broken invariant).
class StorageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The transaction lost a race with another one (serialization failure, deadlock, a connection lost before
// commit) and was rolled back: running the whole transaction again from the start may succeed.
class StorageConflict : public StorageBusy {
  public:
    using StorageBusy::StorageBusy;
};

// The database itself refused a scheduled booking that overlaps another of its room and day.
class StorageOverlap : public StorageError {
  public:
    using StorageError::StorageError;
};

class Transaction {
  public:
    virtual ~Transaction() = default;
    virtual void commit() = 0;

    virtual std::vector<Room> rooms() = 0;  // ordered by code
    virtual std::optional<std::string> roomName(const std::string& room) = 0;
    virtual std::vector<Operator> operators() = 0;  // ordered by code
    virtual std::optional<std::string> operatorName(const std::string& code) = 0;

    // Every booking of the room on the day, names filled, ordered by start hour then sequence number.
    virtual std::vector<Booking> bookings(const std::string& room, Date day) = 0;
    virtual std::optional<Booking> booking(const std::string& room, const std::string& seq) = 0;
    // Hours of the scheduled (status A) bookings of the room on the day, ordered by start.
    virtual std::vector<HourSpan> scheduledHours(const std::string& room, Date day) = 0;
    // The same, leaving out one booking (the one being changed).
    virtual std::vector<HourSpan> scheduledHoursExcept(const std::string& room, Date day,
                                                       const std::string& seq) = 0;
    // The days from `from` to `to` on which a scheduled booking of the room overlaps `span`, ends included
    // (0800-0900 and 0900-1000 clash). One query for a whole period of recurring bookings.
    virtual std::set<Date> clashingDays(const std::string& room, Date from, Date to, const HourSpan& span) = 0;
    // Both checks of a recurring booking in one pass over the period: each day from `from` to `to` that holds
    // a booking of the room, with its count and whether a scheduled one overlaps `span` (ends included).
    virtual std::map<Date, DayLoad> dayLoads(const std::string& room, Date from, Date to,
                                             const HourSpan& span) = 0;

    // Write transactions only.
    virtual void lockRoom(const std::string& room) = 0;
    // The first of the room's next `count` sequence numbers, never handed out again; 0 (nothing taken) when
    // the room's range has fewer than `count` left.
    virtual long nextSeqs(const std::string& room, long count) = 0;
    long nextSeq(const std::string& room) { return nextSeqs(room, 1); }
    // False when a booking with the same room and sequence number exists.
    virtual bool insertBooking(const Booking& booking) = 0;
    // One booking like `model` on each day, numbered firstSeq, firstSeq + 1, ... in the order of `days`; the
    // number inserted (less than days.size() when a number was taken already). A backend may do it in one
    // statement.
    virtual std::size_t insertSeries(const Booking& model, long firstSeq, const std::vector<Date>& days);
    // Replaces the booking with the key of `booking`; false when it is gone.
    virtual bool updateBooking(const Booking& booking) = 0;
    virtual bool deleteBooking(const std::string& room, const std::string& seq) = 0;
    // False when the code exists already.
    virtual bool addRoom(const Room& room) = 0;
    virtual bool addOperator(const Operator& op) = 0;

    // Sequence numbers handed out and limits. A number GetNrSeq hands out stays pending until a new booking
    // claims it, so a client stores only numbers the server gave it, each once. Writes need a write
    // transaction; the rest are reads.
    virtual void addPendingSeq(const std::string& room, long seq) = 0;
    // Takes the pending number for a booking; false when it is not pending (never handed out, or used).
    virtual bool claimPendingSeq(const std::string& room, long seq) = 0;
    // Forgets every pending number of the room; returns how many there were.
    virtual long withdrawPendingSeqs(const std::string& room) = 0;
    // The stored and pending numbers of the room, ascending (stored ones that are not five digits left out).
    virtual std::vector<long> seqsInUse(const std::string& room) = 0;
    virtual std::vector<SeqCounter> seqCounters() = 0;  // ordered by room
    virtual void setSeqCounter(const SeqCounter& counter) = 0;
    // The days from `from` to `to` on which the room holds `count` bookings or more, of any status.
    virtual std::set<Date> fullDays(const std::string& room, Date from, Date to, long count) = 0;
    // Every booking as stored, ordered by room, day, start hour and sequence number.
    virtual void forEachStoredRow(const std::function<void(const StoredRow&)>& visit) = 0;
    // Sign-in, sessions and the history. Writes need a write transaction. False: no such operator.
    virtual std::optional<Credential> credential(const std::string& code) = 0;
    virtual bool setPasswordHash(const std::string& code, const std::string& hash) = 0;
    virtual bool setOperatorEnabled(const std::string& code, bool enabled) = 0;
    virtual void addSession(const SessionRecord& session) = 0;
    virtual std::optional<SessionRecord> session(const std::string& tokenHash) = 0;
    virtual std::vector<SessionRecord> sessions() = 0;  // oldest first
    virtual bool deleteSession(const std::string& tokenHash) = 0;
    virtual int deleteExpiredSessions(DateTime now) = 0;
    virtual void addHistory(const std::vector<HistoryEntry>& entries) = 0;  // one statement where it can
    void addHistory(const HistoryEntry& entry) { addHistory(std::vector<HistoryEntry>{entry}); }
    virtual std::vector<HistoryEntry> history(const HistoryFilter& filter) = 0;  // newest first
    virtual long pruneHistory(DateTime before) = 0;  // rows written before; how many went

  protected:
    // A backend calls this before each statement it runs. A transaction from Storage::readOne() throws
    // StorageError at its second: two statements outside a transaction would not see one moment.
    void beforeStatement();
    void allowOneStatement() { statementsLeft_ = 1; }

  private:
    int statementsLeft_ = -1;  // -1: any number
};

// A sequence number handed out by GetNrSeq, or why there is none.
struct HandedOutSeq {
    enum class Outcome { Number, UnknownRoom, Exhausted };
    Outcome outcome = Outcome::Number;
    long number = 0;
};

class Storage {
  public:
    virtual ~Storage() = default;
    // Creates or upgrades the schema; running it again changes nothing.
    virtual void initSchema() = 0;
    virtual std::unique_ptr<Transaction> read() = 0;
    // For a call that reads with one statement, which sees one moment by itself: PostgreSQL runs it without
    // a transaction around it (one round trip instead of BEGIN, statement, end); SQLite as read() does.
    // A second statement on it throws StorageError.
    virtual std::unique_ptr<Transaction> readOne() = 0;
    virtual std::unique_ptr<Transaction> write() = 0;
    // True when the database runs one write transaction at a time (SQLite): the server then keeps workers
    // for the writes, so that writes waiting for their turn hold no thread the reads need.
    virtual bool oneWriterAtATime() const { return false; }
    // Takes the room's next sequence number and keeps it pending, in one write transaction queued with
    // the room's other writers. A backend may do it in a single statement.
    virtual HandedOutSeq handOutSeq(const std::string& room);
};

struct StorageOptions {
    int pool = 4;  // PostgreSQL: connections kept open at most (one per concurrent transaction)
};

// "sqlite:PATH" (or a bare path) opens SQLite; "postgresql://..." (or "postgres://...") is the PostgreSQL
// backend. Throws StorageError for an unknown scheme or a database that cannot be opened.
std::unique_ptr<Storage> openStorage(const std::string& url, const StorageOptions& options = {});

// A five-digit sequence number: "00001".
std::string formatSeq(long seq);

// The file of a SQLite URL ("sqlite:PATH" or a bare path); nothing for PostgreSQL.
std::optional<std::string> sqlitePathOf(const std::string& url);

// The URL without its password, for logs.
std::string redactedUrl(const std::string& url);

}  // namespace age::server
