// The TCP side of the application server: a listener, one session per connection (one line in, one line
// out, in order), network threads that read, answer the quick calls and write, a work pool that runs the
// calls needing the database, and a clean stop on SIGINT/SIGTERM.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "server/Dispatch.h"

namespace age::server {

struct NetOptions {
    std::string host = "127.0.0.1";
    unsigned short port = 12100;  // 0 binds a free port
    int threads = 2;
    std::chrono::seconds idleTimeout{600};
    int workers = 4;               // threads for the calls that need the database
    std::size_t maxQueued = 1024;  // calls waiting for a worker before new ones are refused as busy
    std::chrono::microseconds busyPoll{0};  // a network thread polls this long before it sleeps
};

class NetServer {
  public:
    NetServer(const NetOptions& options, const Dispatcher& dispatcher);
    ~NetServer();

    // Binds the listener; throws std::system_error when the address cannot be bound.
    void bind();
    std::string boundAddress() const;  // "host:port", the real port when 0 was asked for
    // Serves until SIGINT or SIGTERM. Calls already running finish (their transactions complete); then
    // every connection is closed and run() returns.
    void run();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace age::server
