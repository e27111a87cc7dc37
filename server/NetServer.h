// The TCP side of the application server: a listener, one session per connection (one line in, one line
// out, in order), network threads that read, answer the quick calls and write, a work pool that runs the
// calls needing the database, and a clean stop on SIGINT/SIGTERM.
//
// A connection is read again only once its reply is written whole (backpressure): a client that does not
// read holds one reply, and is closed when it has not taken it within the idle timeout.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "server/Caller.h"
#include "server/Dispatch.h"

namespace age::server {

struct NetOptions {
    std::string host = "127.0.0.1";
    unsigned short port = 12100;  // 0 binds a free port
    int threads = 2;
    std::chrono::seconds idleTimeout{600};  // also the time a client has to take a reply
    std::size_t maxConnections = 1000;      // beyond it a new connection gets an error line and is closed
    // Connections from one address that have not signed in, where modules need a session (0: no bound).
    std::size_t maxUnsignedPerAddress = 32;
    int workers = 4;               // threads for the calls that need the database
    int writers = 0;               // of the workers, those kept for the calls that write (0: none kept)
    std::size_t maxQueued = 1024;  // calls waiting for a worker before new ones are refused as busy
    std::chrono::microseconds busyPoll{0};  // a network thread polls this long before it sleeps (pool idle)
    double seqRate = Caller::kSeqNumbersPerSecond;  // GetNrSeq numbers a second per connection (burst: 2 s)
    // The TLS listener (TLS 1.2 or later), beside the plain one or alone (an empty `host`): none when
    // tlsHost is empty. Certificate chain and key are PEM files.
    std::string tlsHost;
    unsigned short tlsPort = 0;
    std::string tlsCertFile, tlsKeyFile;
};

class NetServer {
  public:
    NetServer(const NetOptions& options, const Dispatcher& dispatcher);
    ~NetServer();

    // Binds the listeners; throws std::system_error when an address cannot be bound and
    // std::runtime_error when the TLS certificate or key cannot be used.
    void bind();
    std::string boundAddress() const;     // "host:port", the real port when 0 was asked for; empty: none
    std::string boundTlsAddress() const;  // the same for the TLS listener
    // Serves until SIGINT or SIGTERM. Calls already running finish (their transactions complete); then
    // every connection is closed and run() returns.
    void run();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace age::server
