// What the application server counts for Prometheus: calls by method with their latency and outcome,
// connections, database pool use, refusals and sign-ins. One instance per process (metrics()); recording
// is cheap and always on, exposing it over HTTP is asked for with `serve --metrics HOST:PORT`.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace age::server {

enum class CallOutcome {
    Ok,       // answered with a result
    Refused,  // answered with a refusal envelope (the user's request cannot be done, or the server is busy)
    Error,    // answered with a JSON-RPC error
};

class Metrics {
  public:
    Metrics();
    ~Metrics();
    Metrics(const Metrics&) = delete;
    Metrics& operator=(const Metrics&) = delete;

    // `method` is the full name of a method the server has; anything else counts as "unknown", so that a
    // client cannot make up label values.
    void call(std::string_view method, bool known, std::chrono::steady_clock::duration took,
              CallOutcome outcome);
    void connectionOpened();
    void connectionClosed();
    // Reasons are a small fixed set of words: "line_too_long", "malformed", "busy", ...
    void refusal(std::string_view reason);
    void signIn(bool succeeded);
    // Database connections lent out, and callers waiting for one; +1 / -1.
    void poolInUse(int delta);
    void poolWaiting(int delta);

    // Everything in Prometheus' text format (version 0.0.4).
    std::string text() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

Metrics& metrics();

// Counts one caller waiting for a database connection while in scope.
class PoolWait {
  public:
    PoolWait() { metrics().poolWaiting(1); }
    ~PoolWait() { metrics().poolWaiting(-1); }
    PoolWait(const PoolWait&) = delete;
    PoolWait& operator=(const PoolWait&) = delete;
};

// The HTTP side: GET /metrics (Prometheus text) and GET /healthz (200 "ok" when `healthy` returns true,
// else 503), on its own address, served by its own threads until destroyed.
class MetricsEndpoint {
  public:
    // Throws std::runtime_error when the address cannot be bound.
    MetricsEndpoint(const std::string& host, unsigned short port, std::function<bool()> healthy);
    ~MetricsEndpoint();
    MetricsEndpoint(const MetricsEndpoint&) = delete;
    MetricsEndpoint& operator=(const MetricsEndpoint&) = delete;
    std::string boundAddress() const;  // "host:port", the real port when 0 was asked for

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace age::server
