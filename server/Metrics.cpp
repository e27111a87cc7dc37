#include "server/Metrics.h"

#include <civetweb.h>

#include <array>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <sstream>
#include <stdexcept>

#include <prometheus/counter.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>
#include <spdlog/spdlog.h>

namespace age::server {
namespace {

using prometheus::BuildCounter;
using prometheus::BuildGauge;
using prometheus::BuildHistogram;

// From a cached read (0.5 ms) to the busy limit (10 s).
const prometheus::Histogram::BucketBoundaries kLatencyBuckets{0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05,
                                                              0.1,    0.25,  0.5,    1,     2.5,  5,     10};

std::string_view outcomeWord(CallOutcome outcome) {
    switch (outcome) {
        case CallOutcome::Ok:
            return "ok";
        case CallOutcome::Refused:
            return "refused";
        case CallOutcome::Error:
            return "error";
    }
    return "error";
}

}  // namespace

struct Metrics::Impl {
    // The series of one method, made on its first call and kept.
    struct MethodSeries {
        std::array<prometheus::Counter*, 3> byOutcome;  // indexed by CallOutcome
        prometheus::Histogram* latency;
    };

    std::shared_ptr<prometheus::Registry> registry = std::make_shared<prometheus::Registry>();
    prometheus::Family<prometheus::Counter>& calls = BuildCounter()
                                                         .Name("age_rpc_calls_total")
                                                         .Help("Calls answered, by method and outcome")
                                                         .Register(*registry);
    prometheus::Family<prometheus::Histogram>& latency = BuildHistogram()
                                                             .Name("age_rpc_call_duration_seconds")
                                                             .Help("Time from a request read to its answer")
                                                             .Register(*registry);
    prometheus::Gauge& open = BuildGauge()
                                  .Name("age_connections_open")
                                  .Help("Client connections open now")
                                  .Register(*registry)
                                  .Add({});
    prometheus::Counter& accepted = BuildCounter()
                                        .Name("age_connections_total")
                                        .Help("Client connections accepted")
                                        .Register(*registry)
                                        .Add({});
    prometheus::Gauge& inUse = BuildGauge()
                                   .Name("age_db_pool_in_use")
                                   .Help("Database connections lent to a call now")
                                   .Register(*registry)
                                   .Add({});
    prometheus::Gauge& waiting = BuildGauge()
                                     .Name("age_db_pool_waiting")
                                     .Help("Calls waiting for a database connection now")
                                     .Register(*registry)
                                     .Add({});
    prometheus::Family<prometheus::Counter>& refusals =
        BuildCounter()
            .Name("age_refusals_total")
            .Help("Requests or connections refused, by reason")
            .Register(*registry);
    prometheus::Family<prometheus::Counter>& signIns =
        BuildCounter().Name("age_sign_ins_total").Help("Sign-in attempts, by result").Register(*registry);
    prometheus::Counter& signInOk = signIns.Add({{"result", "ok"}});
    prometheus::Counter& signInFailed = signIns.Add({{"result", "failed"}});

    std::shared_mutex mutex;
    std::map<std::string, MethodSeries, std::less<>> methods;

    MethodSeries& series(std::string_view method) {
        {
            std::shared_lock lock(mutex);
            if (auto it = methods.find(method); it != methods.end()) return it->second;
        }
        std::unique_lock lock(mutex);
        if (auto it = methods.find(method); it != methods.end()) return it->second;
        std::string name(method);
        MethodSeries s{};
        for (auto outcome : {CallOutcome::Ok, CallOutcome::Refused, CallOutcome::Error})
            s.byOutcome[static_cast<std::size_t>(outcome)] =
                &calls.Add({{"method", name}, {"outcome", std::string(outcomeWord(outcome))}});
        s.latency = &latency.Add({{"method", name}}, kLatencyBuckets);
        return methods.emplace(std::move(name), s).first->second;
    }
};

Metrics::Metrics() : impl_(std::make_unique<Impl>()) {}
Metrics::~Metrics() = default;

void Metrics::call(std::string_view method, bool known, std::chrono::steady_clock::duration took,
                   CallOutcome outcome) {
    auto& s = impl_->series(known ? method : "unknown");
    s.byOutcome[static_cast<std::size_t>(outcome)]->Increment();
    s.latency->Observe(std::chrono::duration<double>(took).count());
}

void Metrics::connectionOpened() {
    impl_->open.Increment();
    impl_->accepted.Increment();
}

void Metrics::connectionClosed() {
    impl_->open.Decrement();
}

void Metrics::refusal(std::string_view reason) {
    impl_->refusals.Add({{"reason", std::string(reason)}}).Increment();
}

void Metrics::signIn(bool succeeded) {
    (succeeded ? impl_->signInOk : impl_->signInFailed).Increment();
}

void Metrics::poolInUse(int delta) {
    impl_->inUse.Increment(delta);
}

void Metrics::poolWaiting(int delta) {
    impl_->waiting.Increment(delta);
}

std::string Metrics::text() const {
    std::ostringstream out;
    prometheus::TextSerializer().Serialize(out, impl_->registry->Collect());
    return out.str();
}

Metrics& metrics() {
    static Metrics instance;
    return instance;
}

struct MetricsEndpoint::Impl {
    std::function<bool()> healthy;
    std::string host;
    mg_context* context = nullptr;
    std::string lastError;

    static void reply(mg_connection* c, int status, const char* reason, const char* type,
                      const std::string& body) {
        mg_printf(c,
                  "HTTP/1.1 %d %s\r\nContent-Type: %s\r\nContent-Length: %zu\r\nCache-Control: no-store\r\n"
                  "Connection: close\r\n\r\n",
                  status, reason, type, body.size());
        mg_write(c, body.data(), body.size());
    }

    static int onMetrics(mg_connection* c, void*) {
        reply(c, 200, "OK", "text/plain; version=0.0.4; charset=utf-8", metrics().text());
        return 200;
    }

    static int onHealth(mg_connection* c, void* data) {
        auto* self = static_cast<Impl*>(data);
        bool ok = false;
        try {
            ok = self->healthy();
        } catch (const std::exception& e) {
            spdlog::warn("health check: the database does not answer: {}", e.what());
        }
        if (ok)
            reply(c, 200, "OK", "text/plain; charset=utf-8", "ok\n");
        else
            reply(c, 503, "Service Unavailable", "text/plain; charset=utf-8", "database unavailable\n");
        return ok ? 200 : 503;
    }

    static int onLog(const mg_connection* c, const char* message) {
        if (auto* ctx = mg_get_context(c)) {
            if (auto* self = static_cast<Impl*>(mg_get_user_data(ctx))) self->lastError = message;
        }
        spdlog::warn("metrics endpoint: {}", message);
        return 1;
    }
};

MetricsEndpoint::MetricsEndpoint(const std::string& host, unsigned short port, std::function<bool()> healthy)
    : impl_(std::make_unique<Impl>()) {
    impl_->healthy = std::move(healthy);
    impl_->host = host;
    bool v6 = host.find(':') != std::string::npos;
    std::string ports = (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
    const char* options[] = {"listening_ports",    ports.c_str(), "num_threads", "2",
                             "request_timeout_ms", "10000",       nullptr};
    mg_callbacks callbacks{};
    callbacks.log_message = &Impl::onLog;
    mg_init_library(0);
    impl_->context = mg_start(&callbacks, impl_.get(), options);
    if (!impl_->context) {
        mg_exit_library();
        throw std::runtime_error("cannot serve metrics on " + ports +
                                 (impl_->lastError.empty() ? std::string() : ": " + impl_->lastError));
    }
    mg_set_request_handler(impl_->context, "/metrics$", &Impl::onMetrics, nullptr);
    mg_set_request_handler(impl_->context, "/healthz$", &Impl::onHealth, impl_.get());
}

MetricsEndpoint::~MetricsEndpoint() {
    mg_stop(impl_->context);
    mg_exit_library();
}

std::string MetricsEndpoint::boundAddress() const {
    mg_server_port ports[4]{};
    int n = mg_get_server_ports(impl_->context, 4, ports);
    int port = n > 0 ? ports[0].port : 0;
    bool v6 = impl_->host.find(':') != std::string::npos;
    return (v6 ? "[" + impl_->host + "]" : impl_->host) + ":" + std::to_string(port);
}

}  // namespace age::server
