#include "server/NetServer.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include <spdlog/spdlog.h>
#include <asio.hpp>

#include "platform/rpc/Tls.h"
#include "server/Auth.h"
#include "server/Metrics.h"
#include "server/TlsSocket.h"
#include "server/WorkPool.h"

namespace age::server {
namespace {

using asio::ip::tcp;
using SteadyClock = std::chrono::steady_clock;

// After refusing an oversized line, the rest of what the client sends is read and dropped for a moment
// so that closing does not reset the connection before the client has read the error.
constexpr auto kDrainTime = std::chrono::seconds(1);
// A TLS client refused for the connection limit has this long to finish its handshake and hear why; kept
// short, as a refused connection holds a descriptor meanwhile.
constexpr auto kRefusalHandshakeTime = std::chrono::seconds(2);
constexpr std::size_t kKeptBuffer = 64 * 1024;
// After a failed accept (descriptors used up), the next try waits this long, doubling up to the maximum.
constexpr auto kFirstAcceptRetry = std::chrono::milliseconds(100);
constexpr auto kLastAcceptRetry = std::chrono::milliseconds(1000);
// Descriptors come free one by one, so failures come and go: a burst ends after this long without any.
constexpr auto kAcceptQuiet = std::chrono::seconds(10);

// Whether the last request this thread read came from a client on another CPU (its packets were handled
// there): only then does polling after it save a wake-up. With the client on this CPU, the thread sleeps
// and leaves the CPU to it.
thread_local bool t_clientElsewhere = false;

class Session;

// Failed TLS handshakes are logged within a budget: anyone who can connect can fail thousands a second.
AnonymousWarnings& handshakeFailures() {
    static AnonymousWarnings warnings;
    return warnings;
}

class ConnectionManager {
  public:
    enum class Admission { Served, OverLimit, OverAddressLimit };

    // Adds the session, which has not signed in yet. `unsignedLimit` bounds such connections per address
    // (0: no bound), so that one address cannot take every slot without ever signing in.
    Admission add(const std::shared_ptr<Session>& s, const std::string& address, std::size_t limit,
                  std::size_t unsignedLimit) {
        std::lock_guard lock(mutex_);
        sessions_.insert(s);
        if (served_.size() >= limit) return Admission::OverLimit;
        if (unsignedLimit > 0) {
            std::size_t& count = unsignedPerAddress_[address];
            if (count >= unsignedLimit) return Admission::OverAddressLimit;
            ++count;
            unsignedOf_.emplace(s.get(), address);
        }
        served_.insert(s.get());
        return Admission::Served;
    }
    // The session has signed in: it no longer counts against its address.
    void signedIn(const Session* s) {
        std::lock_guard lock(mutex_);
        forget(s);
    }
    void remove(const std::shared_ptr<Session>& s) {
        std::lock_guard lock(mutex_);
        sessions_.erase(s);
        served_.erase(s.get());
        forget(s.get());
    }
    void stopAll();

  private:
    void forget(const Session* s) {
        auto it = unsignedOf_.find(s);
        if (it == unsignedOf_.end()) return;
        auto count = unsignedPerAddress_.find(it->second);
        if (--count->second == 0) unsignedPerAddress_.erase(count);
        unsignedOf_.erase(it);
    }

    std::mutex mutex_;
    std::set<std::shared_ptr<Session>> sessions_;  // served and being refused
    std::set<const Session*> served_;
    std::map<const Session*, std::string> unsignedOf_;  // served, not signed in, and counted
    std::map<std::string, std::size_t> unsignedPerAddress_;
};

// One connection. Every handler runs on the thread of the session's io_context, so the socket and the
// idle timer are never touched by two threads at once.
class Session : public std::enable_shared_from_this<Session> {
  public:
    Session(tcp::socket socket, ConnectionManager& manager, const Dispatcher& dispatcher, WorkPool& pool,
            std::chrono::seconds idleTimeout, double seqRate, asio::ssl::context* tls = nullptr)
        : socket_(std::move(socket), tls),
          timer_(socket_.get_executor()),
          pause_(socket_.get_executor()),
          manager_(manager),
          dispatcher_(dispatcher),
          pool_(pool),
          idleTimeout_(idleTimeout) {
        caller_.seqNumbers = RateLimit(2 * seqRate, seqRate);
        caller_.address = peerAddress();
    }

    // The client's address without its port.
    std::string host() const { return auth::hostOf(caller_.address); }
    void countedUnsigned() { countedUnsigned_ = true; }

    void start() {
        std::error_code ignored;
        socket_.set_option(tcp::no_delay(true), ignored);
        socket_.non_blocking(true, ignored);  // lets send() try the write at once
        asio::dispatch(socket_.get_executor(), [self = shared_from_this()] { self->handshake(); });
    }

    // From any thread: answers with a JSON-RPC error line and closes.
    void refuse(std::string message) {
        asio::dispatch(socket_.get_executor(), [self = shared_from_this(), message = std::move(message)] {
            self->refuseWith(message);
        });
    }

    // From any thread.
    void requestStop() {
        asio::post(socket_.get_executor(), [self = shared_from_this()] { self->stop(); });
    }

  private:
    std::string peerAddress() const {
        std::error_code ec;
        auto endpoint = socket_.remote_endpoint(ec);
        if (ec) return "?";
        std::string host = endpoint.address().to_string();
        if (endpoint.address().is_v6()) host = "[" + host + "]";
        return host + ":" + std::to_string(endpoint.port());
    }

    // A TLS client must finish its handshake within the idle time; a plain one goes straight to reading.
    void handshake() {
        if (!socket_.tls()) return readLine();
        deadline_ = SteadyClock::now() + idleTimeout_;
        watchIdle();
        socket_.async_handshake([self = shared_from_this()](std::error_code ec) {
            self->handshaken_ = !ec;
            if (!ec) return self->readLine();
            if (auto extra = handshakeFailures().admit())
                spdlog::info("TLS handshake with {} failed: {}{}", self->caller_.address, ec.message(),
                             *extra);
            self->stop();
        });
    }

    void readLine() {
        if (!watching_) watchIdle();
        deadline_ = SteadyClock::now() + idleTimeout_;
        asio::async_read_until(
            socket_, asio::dynamic_buffer(inbox_, dispatcher_.maxLineOf(caller_) + 1), '\n',
            [self = shared_from_this()](std::error_code ec, std::size_t n) { self->onLine(ec, n); });
    }

    void onLine(std::error_code ec, std::size_t n) {
        deadline_ = SteadyClock::time_point::max();  // a running call is no idleness
        noteClientCpu();
        // Before sign-in a line is held to a few KiB, so that connections without a session cannot make
        // the server buffer a megabyte each.
        if (ec == asio::error::not_found && !dispatcher_.readsLongLinesOf(caller_))
            return refuseWith(dispatcher_.longLineWithoutSession(caller_));
        if (ec == asio::error::not_found) {
            spdlog::warn("connection closed: request line over {} bytes", rpc::kMaxLineBytes);
            metrics().refusal("line_too_long");
            return refuseWith("Linha de requisição maior que 1 MiB.");
        }
        if (ec) return stop();
        std::string_view line(inbox_.data(), n - 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (Dispatcher::isLong(line)) {
            if (dispatcher_.readsLongLinesOf(caller_)) return readOnPool(std::string(line), n);
            consume(n);
            return send(rpc::encodeResponse(rpc::errorResponse(nullptr, rpc::code::InvalidRequest,
                                                               dispatcher_.longLineWithoutSession(caller_))));
        }
        ParsedLine parsed = dispatcher_.parseLine(line, caller_);
        consume(n);
        if (!parsed.request) return send(std::move(parsed.answer));
        Lane lane = dispatcher_.laneOf(*parsed.request, caller_);
        if (lane == Lane::Quick) return send(dispatcher_.answer(*parsed.request, caller_));
        runOnPool(std::move(*parsed.request), lane);
    }

    void noteClientCpu() {
        int cpu = -1;
        socklen_t length = sizeof cpu;
        if (getsockopt(socket_.native_handle(), SOL_SOCKET, SO_INCOMING_CPU, &cpu, &length) != 0) cpu = -1;
        t_clientElsewhere = cpu >= 0 && cpu != sched_getcpu();
    }

    void consume(std::size_t n) {
        inbox_.erase(0, n);
        // An idle connection keeps no large buffer from an earlier big request.
        if (inbox_.empty() && inbox_.capacity() > kKeptBuffer) inbox_.shrink_to_fit();
    }

    // A long line is read on a worker too: parsing a change log of a megabyte holds no network thread.
    void readOnPool(std::string line, std::size_t n) {
        consume(n);
        // Such a line is nearly always a change log to save: it goes with the writes.
        bool queued = pool_.trySubmit(
            [self = shared_from_this(), line = std::move(line)] {
                std::string answer = self->dispatcher_.handleLine(line, self->caller_);
                asio::post(self->socket_.get_executor(),
                           [self, answer = std::move(answer)]() mutable { self->send(std::move(answer)); });
            },
            Lane::Write);
        if (!queued) send(dispatcher_.busyAnswer(rpc::Request{}));
    }

    // The call runs on a worker; its answer comes back to this connection's thread to be written. No
    // other line is read meanwhile, so the Caller is touched by one call at a time.
    void runOnPool(rpc::Request request, Lane lane) {
        auto shared = std::make_shared<rpc::Request>(std::move(request));
        bool queued = pool_.trySubmit(
            [self = shared_from_this(), shared] {
                std::string answer = self->dispatcher_.answer(*shared, self->caller_);
                asio::post(self->socket_.get_executor(),
                           [self, answer = std::move(answer)]() mutable { self->send(std::move(answer)); });
            },
            lane);
        if (!queued) send(dispatcher_.busyAnswer(*shared));
    }

    // Most answers fit in the socket's buffer: written at once, with no completion to wait for; the rest
    // of a large one is written as the client reads.
    void send(std::string answer) {
        if (stopped_) return;
        if (countedUnsigned_ && caller_.signedIn()) {
            countedUnsigned_ = false;
            manager_.signedIn(this);
        }
        if (answer.empty()) return readLine();  // a notification: nothing to answer
        outbox_ = std::move(answer);
        outbox_ += '\n';
        if (auto wait = std::exchange(caller_.answerDelay, {}); wait.count() > 0) {
            // A failed sign-in answers late; the timer holds no thread meanwhile.
            pause_.expires_after(wait);
            return pause_.async_wait([self = shared_from_this()](std::error_code ec) {
                if (!ec && !self->stopped_) self->writeAnswer();
            });
        }
        writeAnswer();
    }

    void writeAnswer() {
        std::error_code ec;
        std::size_t sent = 0;
        if (!socket_.tls()) {  // a TLS record is written only through the stream
            sent = socket_.write_some(asio::buffer(outbox_), ec);
            if (ec && ec != asio::error::would_block && ec != asio::error::try_again) return stop();
        }
        if (sent == outbox_.size()) return afterSend();
        deadline_ = SteadyClock::now() + idleTimeout_;  // a client that does not take its answer is closed
        asio::async_write(socket_, asio::buffer(outbox_.data() + sent, outbox_.size() - sent),
                          [self = shared_from_this()](std::error_code ec, std::size_t) {
                              if (ec) return self->stop();
                              self->afterSend();
                          });
    }

    void afterSend() {
        if (outbox_.capacity() > kKeptBuffer) std::string().swap(outbox_);
        readLine();
    }

    // Answers `message` as a JSON-RPC error and closes. A TLS client hears it after its handshake: before
    // it, the line could not be written and the client would see only a failed handshake.
    void refuseWith(const std::string& message) {
        if (socket_.tls() && !handshaken_) {
            deadline_ = SteadyClock::now() + kRefusalHandshakeTime;
            watchIdle();
            return socket_.async_handshake([self = shared_from_this(), message](std::error_code ec) {
                if (ec || self->stopped_) return self->stop();
                self->handshaken_ = true;
                self->refuseWith(message);
            });
        }
        std::error_code ignored;
        socket_.set_option(tcp::no_delay(true), ignored);
        inbox_.clear();
        outbox_ = rpc::encodeResponse(rpc::errorResponse(nullptr, rpc::code::InvalidRequest, message));
        outbox_ += '\n';
        asio::async_write(socket_, asio::buffer(outbox_),
                          [self = shared_from_this()](std::error_code ec, std::size_t) {
                              if (ec) return self->stop();
                              std::error_code ignored;
                              self->socket_.shutdown(tcp::socket::shutdown_send, ignored);
                              self->deadline_ = SteadyClock::now() + kDrainTime;
                              self->watchIdle();
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

    // One wait per idle period, not one timer change per call: expiry closes the connection once the
    // deadline (idle too long, or done draining) has passed, else waits on until the deadline.
    void watchIdle() {
        watching_ = true;
        auto now = SteadyClock::now();
        timer_.expires_at(deadline_ > now + idleTimeout_ ? now + idleTimeout_ : deadline_);
        timer_.async_wait([self = shared_from_this()](std::error_code ec) {
            if (ec == asio::error::operation_aborted || self->stopped_) return;
            if (SteadyClock::now() >= self->deadline_) return self->stop();
            self->watchIdle();
        });
    }

    void stop() {
        if (stopped_) return;
        stopped_ = true;
        metrics().connectionClosed();
        std::error_code ignored;
        timer_.cancel();
        pause_.cancel();
        socket_.shutdown(tcp::socket::shutdown_both, ignored);
        socket_.close(ignored);
        manager_.remove(shared_from_this());
    }

    TlsSocket socket_;
    asio::steady_timer timer_;
    asio::steady_timer pause_;  // holds back a late answer
    ConnectionManager& manager_;
    bool countedUnsigned_ = false;  // counts against its address's connections without a session
    const Dispatcher& dispatcher_;
    WorkPool& pool_;
    std::chrono::seconds idleTimeout_;
    Caller caller_;
    std::string inbox_;
    std::string outbox_;
    std::vector<char> scratch_;  // only while draining
    SteadyClock::time_point deadline_ = SteadyClock::time_point::max();
    bool watching_ = false;
    bool handshaken_ = false;  // TLS only
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

// Runs the context until it stops. After a request from a client on another CPU, while no database call is
// queued or running (the CPU is not needed for one), the thread keeps polling for a short while before it
// sleeps: the client's next request usually comes within microseconds, and waking a sleeping thread on a
// virtual machine costs tens of microseconds when its CPU has halted. It yields between polls.
void runPolling(asio::io_context& context, std::chrono::microseconds busyPoll, const WorkPool& pool) {
    if (busyPoll.count() <= 0) {
        context.run();
        return;
    }
    while (!context.stopped()) {
        if (context.run_one() == 0) return;  // blocks until work; 0 once the context has none left
        auto until = SteadyClock::now() + busyPoll;
        while (t_clientElsewhere && SteadyClock::now() < until && pool.idle()) {
            if (context.poll() > 0)
                until = SteadyClock::now() + busyPoll;
            else
                std::this_thread::yield();
        }
    }
}

}  // namespace

struct NetServer::Impl {
    NetOptions options;
    const Dispatcher& dispatcher;
    // One io_context per network thread, each run by that thread alone: a connection lives on one thread,
    // so its reads and writes need no locking. Calls that need the database go to the work pool, so no
    // network thread ever waits on it.
    std::vector<std::unique_ptr<asio::io_context>> contexts;
    std::vector<asio::executor_work_guard<asio::io_context::executor_type>> guards;
    std::size_t nextContext = 0;
    tcp::acceptor acceptor;  // on the first context, like everything below
    tcp::acceptor tlsAcceptor;
    std::shared_ptr<asio::ssl::context> tls;
    asio::signal_set signals;
    asio::steady_timer acceptRetry, tlsAcceptRetry;
    std::chrono::milliseconds acceptBackoff = kFirstAcceptRetry;
    std::size_t failedAccepts = 0;  // in the current burst of failures
    std::chrono::steady_clock::time_point lastFailedAccept{};
    std::size_t refusedSinceLog = 0;
    std::chrono::steady_clock::time_point lastRefusalLog{};
    AnonymousWarnings unsignedRefusals;
    ConnectionManager manager;
    std::unique_ptr<WorkPool> pool;  // after the contexts: its last jobs post to them

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
          tlsAcceptor(*contexts[0]),
          signals(*contexts[0], SIGINT, SIGTERM),
          acceptRetry(*contexts[0]),
          tlsAcceptRetry(*contexts[0]),
          pool(std::make_unique<WorkPool>(o.workers, o.maxQueued, o.writers)) {}

    void accept(tcp::acceptor& acceptor, asio::ssl::context* tls) {
        if (!acceptor.is_open()) return;
        auto& context = *contexts[nextContext++ % contexts.size()];
        acceptor.async_accept(context, [this, &acceptor, tls](std::error_code ec, tcp::socket socket) {
            if (!acceptor.is_open()) return;
            if (ec) return retryAccept(acceptor, tls, ec);
            acceptBackoff = kFirstAcceptRetry;
            if (failedAccepts > 0 && std::chrono::steady_clock::now() - lastFailedAccept >= kAcceptQuiet) {
                spdlog::info("accepting connections again after {} failed attempt(s)", failedAccepts);
                failedAccepts = 0;
            }
            auto session = std::make_shared<Session>(std::move(socket), manager, dispatcher, *pool,
                                                     options.idleTimeout, options.seqRate, tls);
            metrics().connectionOpened();
            std::size_t unsignedLimit = dispatcher.needsSessions() ? options.maxUnsignedPerAddress : 0;
            switch (manager.add(session, session->host(), options.maxConnections, unsignedLimit)) {
                case ConnectionManager::Admission::Served:
                    if (unsignedLimit > 0) session->countedUnsigned();
                    session->start();
                    break;
                case ConnectionManager::Admission::OverLimit:
                    refuse(*session);
                    break;
                case ConnectionManager::Admission::OverAddressLimit:
                    refuseUnsigned(*session);
                    break;
            }
            accept(acceptor, tls);
        });
    }

    // Accepting again at once would spin while descriptors are used up: wait, longer each time.
    void retryAccept(tcp::acceptor& listener, asio::ssl::context* tls, std::error_code ec) {
        lastFailedAccept = std::chrono::steady_clock::now();
        if (failedAccepts++ == 0)
            spdlog::warn("accept failed: {}; retrying every {} ms up to {} ms", ec.message(),
                         acceptBackoff.count(), kLastAcceptRetry.count());
        auto& retry = &listener == &tlsAcceptor ? tlsAcceptRetry : acceptRetry;
        retry.expires_after(acceptBackoff);
        acceptBackoff = std::min(acceptBackoff * 2, kLastAcceptRetry);
        retry.async_wait([this, &listener, tls](std::error_code waitEc) {
            if (!waitEc && listener.is_open()) accept(listener, tls);
        });
    }

    void refuse(Session& session) {
        metrics().refusal("too_many_connections");
        ++refusedSinceLog;
        auto now = std::chrono::steady_clock::now();
        if (now - lastRefusalLog >= std::chrono::seconds(1)) {
            spdlog::warn("refused {} connection(s): {} already open (--max-connections)", refusedSinceLog,
                         options.maxConnections);
            refusedSinceLog = 0;
            lastRefusalLog = now;
        }
        session.refuse("O servidor de aplicação atingiu o limite de " +
                       std::to_string(options.maxConnections) + " conexões; tente novamente em instantes.");
    }

    void refuseUnsigned(Session& session) {
        metrics().refusal("unsigned_per_address");
        if (auto extra = unsignedRefusals.admit())
            spdlog::warn(
                "refused a connection from {}: {} connections from there have not signed in "
                "(--max-unsigned-per-address){}",
                session.host(), options.maxUnsignedPerAddress, *extra);
        session.refuse(
            "Há conexões demais sem operador e senha a partir deste endereço; entre nas que estão "
            "abertas ou tente novamente em instantes.");
    }

    void awaitStop() {
        signals.async_wait([this](std::error_code ec, int signal) {
            if (ec) return;
            spdlog::info("signal {} received: finishing running calls and closing connections", signal);
            std::error_code ignored;
            acceptor.close(ignored);
            tlsAcceptor.close(ignored);
            acceptRetry.cancel();
            tlsAcceptRetry.cancel();
            manager.stopAll();
            guards.clear();  // each thread returns once its connections are closed
        });
    }
};

NetServer::NetServer(const NetOptions& options, const Dispatcher& dispatcher)
    : impl_(std::make_unique<Impl>(options, dispatcher)) {}

NetServer::~NetServer() = default;

namespace {

void listen(tcp::acceptor& acceptor, const std::string& host, unsigned short port) {
    tcp::endpoint endpoint(asio::ip::make_address(host), port);
    acceptor.open(endpoint.protocol());
    acceptor.set_option(tcp::acceptor::reuse_address(true));
    acceptor.bind(endpoint);
    acceptor.listen(asio::socket_base::max_listen_connections);
}

std::string addressOf(const tcp::acceptor& acceptor) {
    if (!acceptor.is_open()) return {};
    auto endpoint = acceptor.local_endpoint();
    std::string host = endpoint.address().to_string();
    if (endpoint.address().is_v6()) host = "[" + host + "]";
    return host + ":" + std::to_string(endpoint.port());
}

}  // namespace

void NetServer::bind() {
    const NetOptions& o = impl_->options;
    if (!o.tlsHost.empty()) impl_->tls = rpc::makeServerTlsContext(o.tlsCertFile, o.tlsKeyFile);
    if (!o.host.empty()) listen(impl_->acceptor, o.host, o.port);
    if (!o.tlsHost.empty()) listen(impl_->tlsAcceptor, o.tlsHost, o.tlsPort);
}

std::string NetServer::boundAddress() const {
    return addressOf(impl_->acceptor);
}

std::string NetServer::boundTlsAddress() const {
    return addressOf(impl_->tlsAcceptor);
}

void NetServer::run() {
    for (auto& context : impl_->contexts) impl_->guards.push_back(asio::make_work_guard(*context));
    impl_->awaitStop();
    impl_->accept(impl_->acceptor, nullptr);
    impl_->accept(impl_->tlsAcceptor, impl_->tls.get());
    std::vector<std::thread> pool;
    for (std::size_t i = 1; i < impl_->contexts.size(); ++i)
        pool.emplace_back([this, i] {
            pthread_setname_np(pthread_self(), "age-net");
            runPolling(*impl_->contexts[i], impl_->options.busyPoll, *impl_->pool);
        });
    runPolling(*impl_->contexts[0], impl_->options.busyPoll, *impl_->pool);
    for (auto& t : pool) t.join();
    impl_->pool.reset();  // calls already queued finish their transactions
}

}  // namespace age::server
