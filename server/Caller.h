// What the server knows of the client behind a call. One per connection, alive as long as it is, and
// touched only by the one call of that connection that is running, so it needs no lock.
#pragma once

#include <string>

namespace age::server {

struct Caller {
    std::string address;  // "127.0.0.1:54321" ("" for calls that come from no connection)
};

}  // namespace age::server
