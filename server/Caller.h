// What the server knows of the client behind a call. One per connection, alive as long as it is, and
// touched only by the one call of that connection that is running, so it needs no lock.
#pragma once

#include <chrono>
#include <string>

#include "server/RateLimit.h"

namespace age::server {

struct Caller {
    using Clock = std::chrono::steady_clock;

    std::string address;  // "127.0.0.1:54321" ("" for calls that come from no connection)
    // GetNrSeq's numbers: a screen takes one per new booking, a loaded client a few dozen a second; a client
    // draining a room's five-digit range is held to this pace (serve --seq-rate).
    static constexpr double kSeqNumbersPerSecond = 100;
    RateLimit seqNumbers{2 * kSeqNumbersPerSecond, kSeqNumbersPerSecond};

    // The session this connection signed in with (Session.Login or Session.Resume); empty code: none. Calls
    // read these fields only: the database is asked again at `recheckAt` (a revoked session, a disabled
    // operator), never on every call.
    std::string operatorCode;
    std::string operatorName;
    std::string tokenHash;
    Clock::time_point sessionEnds{};
    Clock::time_point recheckAt{};

    // Set by a call whose answer must wait (a failed sign-in): the connection holds the answer back this
    // long on a timer, without holding a thread.
    std::chrono::milliseconds answerDelay{0};

    bool signedIn() const { return !operatorCode.empty(); }
    // The next call looks the session up in the database again (so it is no quick call).
    bool recheckDue() const { return signedIn() && Clock::now() >= recheckAt; }
    void signOut() {
        operatorCode.clear();
        operatorName.clear();
        tokenHash.clear();
    }
};

}  // namespace age::server
