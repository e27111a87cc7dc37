// What the application server keeps: rooms, operators, bookings and the per-room sequence counters,
// behind one interface so that SQLite and PostgreSQL backends serve the same methods.
//
// Every read and write happens inside a Transaction. A write transaction serialises the writers of a
// room before the caller checks for overlaps (SQLite: BEGIN IMMEDIATE; PostgreSQL: a row lock taken by
// lockRoom, with the exclusion constraint as the last word), so a check made inside it still holds when
// the transaction commits. A transaction that is destroyed without commit() rolls back.
#pragma once

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

struct HourSpan {
    std::string start;
    std::string end;
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

    // Write transactions only.
    virtual void lockRoom(const std::string& room) = 0;
    // The first of the room's next `count` sequence numbers (1 on), never handed out again.
    virtual long nextSeqs(const std::string& room, long count) = 0;
    long nextSeq(const std::string& room) { return nextSeqs(room, 1); }
    // Raises the room's counter to at least `seq`, so a number stored by a client is never handed out.
    virtual void reserveSeq(const std::string& room, long seq) = 0;
    // False when a booking with the same room and sequence number exists.
    virtual bool insertBooking(const Booking& booking) = 0;
    // Replaces the booking with the key of `booking`; false when it is gone.
    virtual bool updateBooking(const Booking& booking) = 0;
    virtual bool deleteBooking(const std::string& room, const std::string& seq) = 0;
    // False when the code exists already.
    virtual bool addRoom(const Room& room) = 0;
    virtual bool addOperator(const Operator& op) = 0;
};

class Storage {
  public:
    virtual ~Storage() = default;
    // Creates or upgrades the schema; running it again changes nothing.
    virtual void initSchema() = 0;
    virtual std::unique_ptr<Transaction> read() = 0;
    virtual std::unique_ptr<Transaction> write() = 0;
};

struct StorageOptions {
    int pool = 4;  // PostgreSQL: connections kept open at most (one per concurrent transaction)
};

// "sqlite:PATH" (or a bare path) opens SQLite; "postgresql://..." (or "postgres://...") is the PostgreSQL
// backend. Throws StorageError for an unknown scheme or a database that cannot be opened.
std::unique_ptr<Storage> openStorage(const std::string& url, const StorageOptions& options = {});

// The file of a SQLite URL ("sqlite:PATH" or a bare path); nothing for PostgreSQL.
std::optional<std::string> sqlitePathOf(const std::string& url);

// The URL without its password, for logs.
std::string redactedUrl(const std::string& url);

}  // namespace age::server
