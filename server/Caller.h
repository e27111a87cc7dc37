// What the server knows of the client behind a call. One per connection, alive as long as it is, and
// touched only by the one call of that connection that is running, so it needs no lock.
#pragma once

#include <string>

#include "server/RateLimit.h"

namespace age::server {

struct Caller {
    std::string address;  // "127.0.0.1:54321" ("" for calls that come from no connection)
    // GetNrSeq's numbers: a screen takes one per new booking, a loaded client a few dozen a second; a client
    // draining a room's five-digit range is held to this pace.
    RateLimit seqNumbers{200, 100};
};

}  // namespace age::server
