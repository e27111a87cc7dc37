// The TCP side of the application server: a listener, one session per connection (one line in, one line
// out, in order), a pool of threads running the quick calls, another running the calls marked apart (a
// whole day or more of work), and a clean stop on SIGINT/SIGTERM.
//
// A connection is read again only once its reply is written whole (backpressure): a client that does not
// read holds one reply, and is closed when it has not taken it within the idle timeout.
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
    std::chrono::seconds idleTimeout{600};  // also the time a client has to take a reply
    std::size_t maxConnections = 1000;      // beyond it a new connection gets an error line and is closed
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
