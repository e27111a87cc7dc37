// The history (audit trail): rows for booking changes, sign-ins and administration commands, written in
// the transaction of what they record, and `age-server history` to read them.
#pragma once

#include <iosfwd>
#include <string>

#include <nlohmann/json.hpp>

#include "server/Caller.h"
#include "server/storage/Storage.h"

namespace age::server::history {

// Every stored field of the booking as a JSON object (NMOPERADOR is derived, so it is left out).
std::string bookingValues(const Booking& booking);

// A booking inserted (no `before`), deleted (no `after`) or updated by a call of `caller`.
HistoryEntry bookingChange(const Caller& caller, std::string method, DateTime when, const Booking* before,
                           const Booking* after);

// Anything else: a sign-in, a command. `details` becomes the new values (null: none).
HistoryEntry event(std::string operatorCode, std::string address, std::string method, std::string operation,
                   DateTime when, const nlohmann::json& details = nullptr);

// "local:USER": where an administration command comes from.
std::string localActor();

// Newest first, as given: a table for people, or one JSON object per line.
void print(const std::vector<HistoryEntry>& entries, std::ostream& out, bool asJson);

}  // namespace age::server::history
