// `age-server check`: what an operator runs after a crash or a restore. Reads the whole database in one
// snapshot and reports what breaks the rules the server keeps: overlapping scheduled bookings, counters
// that would hand out a number in use again, bookings of unknown rooms, malformed hours, days, sequence
// numbers or statuses.
#pragma once

#include <cstddef>
#include <iosfwd>

#include "server/storage/Storage.h"

namespace age::server {

// Writes one line per problem and returns their number; one "ok: ..." line when there is none.
std::size_t checkDatabase(Storage& storage, std::ostream& out);

}  // namespace age::server
