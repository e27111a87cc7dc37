#include "server/NetServer.h"

#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include <spdlog/spdlog.h>
#include <asio.hpp>

#include "server/Metrics.h"

namespace age::server {
namespace {

using asio::ip::tcp;

// After refusing an oversized line, the rest of what the client sends is read and dropped for a moment
// so that closing does not reset the connection before the client has read the error.
constexpr auto kDrainTime = std::chrono::seconds(1);
constexpr std::size_t kKeptBuffer = 64 * 1024;

class Session;

class ConnectionManager {
  public:
    void add(const std::shared_ptr<Session>& s) {
        std::lock_guard lock(mutex_);
        sessions_.insert(s);
    }
    void remove(const std::shared_ptr<Session>& s) {
        std::lock_guard lock(mutex_);
        sessions_.erase(s);
    }
    void stopAll();

  private:
    std::mutex mutex_;
    std::set<std::shared_ptr<Session>> sessions_;
};

// One connection. Every handler runs on the thread of the session's io_context, so the socket and the
// idle timer are never touched by two threads at once.
class Session : public std::enable_shared_from_this<Session> {
  public:
    Session(tcp::socket socket, ConnectionManager& manager, const Dispatcher& dispatcher,
            std::chrono::seconds idleTimeout)
        : socket_(std::move(socket)),
          timer_(socket_.get_executor()),
          manager_(manager),
          dispatcher_(dispatcher),
          idleTimeout_(idleTimeout) {}

    void start() {
        std::error_code ignored;
        socket_.set_option(tcp::no_delay(true), ignored);
        asio::dispatch(socket_.get_executor(), [self = shared_from_this()] { self->readLine(); });
    }

    // From any thread.
    void requestStop() {
        asio::post(socket_.get_executor(), [self = shared_from_this()] { self->stop(); });
    }

  private:
    void readLine() {
        armTimer(idleTimeout_);
        asio::async_read_until(
            socket_, asio::dynamic_buffer(inbox_, rpc::kMaxLineBytes + 1), '\n',
            [self = shared_from_this()](std::error_code ec, std::size_t n) { self->onLine(ec, n); });
    }

    void onLine(std::error_code ec, std::size_t n) {
        ++timerGeneration_;
        timer_.cancel();
        if (ec == asio::error::not_found) return refuseOversized();
        if (ec) return stop();
        std::string_view line(inbox_.data(), n - 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        outbox_ = dispatcher_.handleLine(line);
        outbox_ += '\n';
        inbox_.erase(0, n);
        // An idle connection keeps no large buffer from an earlier big request.
        if (inbox_.empty() && inbox_.capacity() > kKeptBuffer) inbox_.shrink_to_fit();
        asio::async_write(socket_, asio::buffer(outbox_),
                          [self = shared_from_this()](std::error_code ec, std::size_t) {
                              if (ec) return self->stop();
                              if (self->outbox_.capacity() > kKeptBuffer) std::string().swap(self->outbox_);
                              self->readLine();
                          });
    }

    void refuseOversized() {
        spdlog::warn("connection closed: request line over {} bytes", rpc::kMaxLineBytes);
        metrics().refusal("line_too_long");
        inbox_.clear();
        outbox_ = rpc::encodeResponse(
            rpc::errorResponse(nullptr, rpc::code::InvalidRequest, "Linha de requisição maior que 1 MiB."));
        outbox_ += '\n';
        asio::async_write(socket_, asio::buffer(outbox_),
                          [self = shared_from_this()](std::error_code ec, std::size_t) {
                              if (ec) return self->stop();
                              std::error_code ignored;
                              self->socket_.shutdown(tcp::socket::shutdown_send, ignored);
                              self->armTimer(kDrainTime);
                              self->drain();
                          });
    }

    void drain() {
        if (scratch_.empty()) scratch_.resize(64 * 1024);
        socket_.async_read_some(asio::buffer(scratch_),
                                [self = shared_from_this()](std::error_code ec, std::size_t) {
                                    if (ec) return self->stop();
                                    self->drain();
                                });
    }

    // Expiry closes the connection: idle too long, or done draining.
    // The generation tells a stale expiry (queued just before a line arrived) from the current one.
    void armTimer(std::chrono::steady_clock::duration after) {
        timer_.expires_after(after);
        timer_.async_wait([self = shared_from_this(), generation = ++timerGeneration_](std::error_code ec) {
            if (ec != asio::error::operation_aborted && generation == self->timerGeneration_) self->stop();
        });
    }

    void stop() {
        if (stopped_) return;
        stopped_ = true;
        metrics().connectionClosed();
        std::error_code ignored;
        timer_.cancel();
        socket_.shutdown(tcp::socket::shutdown_both, ignored);
        socket_.close(ignored);
        manager_.remove(shared_from_this());
    }

    tcp::socket socket_;
    asio::steady_timer timer_;
    ConnectionManager& manager_;
    const Dispatcher& dispatcher_;
    std::chrono::seconds idleTimeout_;
    std::string inbox_;
    std::string outbox_;
    std::vector<char> scratch_;  // only while draining
    std::uint64_t timerGeneration_ = 0;
    bool stopped_ = false;
};

void ConnectionManager::stopAll() {
    std::set<std::shared_ptr<Session>> all;
    {
        std::lock_guard lock(mutex_);
        all = sessions_;
    }
    for (const auto& s : all) s->requestStop();
}

}  // namespace

struct NetServer::Impl {
    NetOptions options;
    const Dispatcher& dispatcher;
    // One io_context per thread, each run by that thread alone: a connection lives on one thread, so a
    // call costs no hand-off between threads and no locking. A call waiting on the database holds up only
    // the connections of its own thread.
    std::vector<std::unique_ptr<asio::io_context>> contexts;
    std::vector<asio::executor_work_guard<asio::io_context::executor_type>> guards;
    std::size_t nextContext = 0;
    tcp::acceptor acceptor;  // on the first context, like everything below
    asio::signal_set signals;
    ConnectionManager manager;

    static std::vector<std::unique_ptr<asio::io_context>> makeContexts(int n) {
        std::vector<std::unique_ptr<asio::io_context>> out;
        for (int i = 0; i < std::max(1, n); ++i) out.push_back(std::make_unique<asio::io_context>(1));
        return out;
    }

    Impl(const NetOptions& o, const Dispatcher& d)
        : options(o),
          dispatcher(d),
          contexts(makeContexts(o.threads)),
          acceptor(*contexts[0]),
          signals(*contexts[0], SIGINT, SIGTERM) {}

    void accept() {
        auto& context = *contexts[nextContext++ % contexts.size()];
        acceptor.async_accept(context, [this](std::error_code ec, tcp::socket socket) {
            if (!acceptor.is_open()) return;
            if (!ec) {
                auto session =
                    std::make_shared<Session>(std::move(socket), manager, dispatcher, options.idleTimeout);
                manager.add(session);
                metrics().connectionOpened();
                session->start();
            } else {
                spdlog::warn("accept failed: {}", ec.message());
            }
            accept();
        });
    }

    void awaitStop() {
        signals.async_wait([this](std::error_code ec, int signal) {
            if (ec) return;
            spdlog::info("signal {} received: finishing running calls and closing connections", signal);
            std::error_code ignored;
            acceptor.close(ignored);
            manager.stopAll();
            guards.clear();  // each thread returns once its connections are closed
        });
    }
};

NetServer::NetServer(const NetOptions& options, const Dispatcher& dispatcher)
    : impl_(std::make_unique<Impl>(options, dispatcher)) {}

NetServer::~NetServer() = default;

void NetServer::bind() {
    tcp::endpoint endpoint(asio::ip::make_address(impl_->options.host), impl_->options.port);
    auto& acceptor = impl_->acceptor;
    acceptor.open(endpoint.protocol());
    acceptor.set_option(tcp::acceptor::reuse_address(true));
    acceptor.bind(endpoint);
    acceptor.listen(asio::socket_base::max_listen_connections);
}

std::string NetServer::boundAddress() const {
    auto endpoint = impl_->acceptor.local_endpoint();
    std::string host = endpoint.address().to_string();
    if (endpoint.address().is_v6()) host = "[" + host + "]";
    return host + ":" + std::to_string(endpoint.port());
}

void NetServer::run() {
    for (auto& context : impl_->contexts) impl_->guards.push_back(asio::make_work_guard(*context));
    impl_->awaitStop();
    impl_->accept();
    std::vector<std::thread> pool;
    for (std::size_t i = 1; i < impl_->contexts.size(); ++i)
        pool.emplace_back([this, i] { impl_->contexts[i]->run(); });
    impl_->contexts[0]->run();
    for (auto& t : pool) t.join();
}

}  // namespace age::server
