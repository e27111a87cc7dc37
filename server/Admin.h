// The administration commands of age-server: schema, rooms, operators and demo data.
#pragma once

#include <iosfwd>
#include <stdexcept>
#include <string>

#include "server/Clock.h"
#include "server/storage/Storage.h"

namespace age::server::admin {

// Each throws std::runtime_error with a message for the terminal when the input is not acceptable.
void addRoom(Storage& storage, const std::string& code, const std::string& name);
void listRooms(Storage& storage, std::ostream& out);
void addOperator(Storage& storage, const std::string& code, const std::string& name);
void listOperators(Storage& storage, std::ostream& out);
// Gives the room's counter the longest run of numbers that no booking stores and no client holds pending
// (lowest first on a tie), so a room whose numbers ran out can book again. Numbers of deleted bookings
// come back this way; numbers handed out and never saved do not, unless `withdrawPending` forgets them
// first (safe only while no server and no client program runs: a client could still save one).
void renumberRoom(Storage& storage, const std::string& code, bool withdrawPending, std::ostream& out);
// A handful of rooms and operators and a week of bookings around today (3 days back to 3 ahead). Rooms and
// operators that exist are kept and a meeting whose slot is taken is skipped, so running it twice is
// harmless.
void seedDemo(Storage& storage, const Clock& clock, std::ostream& out);

// The database cannot do this by itself; what() says what to run instead.
class UseAnotherTool : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// SQLite: a consistent copy of the database at `dbUrl` into `file`, also while a server writes to it.
// PostgreSQL: throws UseAnotherTool naming pg_dump.
void backup(const std::string& dbUrl, const std::string& file, std::ostream& out);
// SQLite: puts the copy in `file` back as the database at `dbUrl`, upgraded to this server's schema;
// refused (StorageBusy) while a server serves that database. PostgreSQL: throws UseAnotherTool naming
// pg_restore.
void restore(const std::string& dbUrl, const std::string& file, std::ostream& out);

}  // namespace age::server::admin
