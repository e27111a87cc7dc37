// Administration commands for sign-in and the history: passwords, enabling operators, sessions, and reading
// or pruning the history. Each records itself in the history and throws std::runtime_error with a message
// for the terminal when the input is not acceptable.
#pragma once

#include <iosfwd>
#include <string>

#include "server/storage/Storage.h"

namespace age::server::admin {

// Reads a password: one line of `in` when `fromStdin`, else twice from the terminal without echo.
std::string readPassword(const std::string& code, bool fromStdin, std::istream& in);
// Stores the Argon2id hash; the operator's sessions end (a new password shuts out whoever had the old one).
void setPassword(Storage& storage, const std::string& code, const std::string& password);
// A disabled operator cannot sign in and loses its sessions.
void setEnabled(Storage& storage, const std::string& code, bool enabled);

void listSessions(Storage& storage, std::ostream& out);
// Ends every session of the operator CODE, or the session whose token starts with the prefix; says how many.
void revokeSessions(Storage& storage, const std::string& codeOrPrefix, std::ostream& out);

void showHistory(Storage& storage, const HistoryFilter& filter, bool asJson, std::ostream& out);
void pruneHistory(Storage& storage, Date before, std::ostream& out);

}  // namespace age::server::admin
