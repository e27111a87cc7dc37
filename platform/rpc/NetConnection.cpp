#include "platform/rpc/NetConnection.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <iostream>
#include <vector>

#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <asio.hpp>
#include <asio/ssl.hpp>

#include "platform/rpc/Tls.h"
#include "platform/rpc/Wire.h"

using nlohmann::json;

std::function<void()> TNetConnection::WhileWaiting;
TNetConnection::TTransport TNetConnection::DefaultTransport;
std::optional<TSessionInfo> TNetConnection::Session;
std::function<std::optional<TCredentials>(const std::string&, const TNetConnection&)>
    TNetConnection::AskSignIn;
std::function<void(const TSessionInfo&)> TNetConnection::SignedIn;

namespace {

constexpr auto kSlice = std::chrono::milliseconds(10);
// A reply line longer than this, its '\n' included, is refused. One more byte than the line's own limit.
constexpr std::size_t kMaxInbox = age::rpc::kMaxResponseBytes + 1;
constexpr std::size_t kReadChunk = 64 * 1024;

std::string describe(const std::error_code& ec) {
    if (ec == asio::error::connection_refused) return "conexão recusada";
    if (ec == asio::error::timed_out) return "tempo esgotado";
    if (ec == asio::error::host_not_found || ec == asio::error::host_not_found_try_again)
        return "endereço não encontrado";
    if (ec == asio::error::network_unreachable || ec == asio::error::host_unreachable)
        return "rede inacessível";
    if (ec == asio::error::eof || ec == asio::error::connection_reset || ec == asio::error::broken_pipe)
        return "conexão encerrada pelo servidor";
    return ec.message();
}

// The JSON-RPC error of a module call on a connection without a session.
constexpr int kNoSession = -32001;
const std::string kSessionEnded =
    "Sua sessão terminou (expirou ou foi encerrada). Entre novamente para continuar; nada do que estava na "
    "tela foi perdido.";

std::string seconds(std::chrono::milliseconds t) {
    auto ms = t.count();
    if (ms % 1000 == 0) return std::to_string(ms / 1000) + " s";
    return std::to_string(ms) + " ms";
}

}  // namespace

struct TNetConnection::Exchange {
    age::rpc::Response response;
    bool unknownMethod() const { return response.error && response.error->code == age::rpc::code::MethodNotFound; }
};

struct TNetConnection::Impl {
    asio::io_context io;
    asio::ip::tcp::socket socket{io};
    std::shared_ptr<asio::ssl::context> tlsContext;
    std::string tlsContextCa;  // the CA file tlsContext was made with
    std::unique_ptr<asio::ssl::stream<asio::ip::tcp::socket&>> tls;  // over `socket` when TLS is on
    std::string boundToken;  // the session this connection resumed or signed in
    std::string inbox;  // bytes read past the last reply
    std::vector<char> readBuffer;  // recv's target on a plain socket, made on first use
    std::int64_t nextId = 0;
    bool busy = false;

    // Runs the io_context in short slices until `done` or the deadline; WhileWaiting runs between slices.
    // On timeout the socket is closed (and `cancel` run) and the pending operations drained, so no
    // handler outlives the wait.
    bool wait(const bool& done, std::chrono::steady_clock::time_point deadline,
              const std::function<void()>& cancel = {}) {
        while (!done) {
            if (std::chrono::steady_clock::now() >= deadline) {
                close();
                if (cancel) cancel();
                io.restart();
                io.run();
                return false;
            }
            io.restart();
            io.run_for(std::min<std::chrono::steady_clock::duration>(
                kSlice, deadline - std::chrono::steady_clock::now()));
            if (!done && TNetConnection::WhileWaiting) TNetConnection::WhileWaiting();
        }
        return true;
    }

    // A request and the line of its reply on a plain socket, by system calls on the descriptor the asio
    // socket owns (no asio operation is pending meanwhile): send, poll and recv when the reply fits the
    // socket's buffer. Same contract as exchangeTls.
    bool exchangePlain(const std::string& out, std::chrono::steady_clock::time_point deadline,
                       std::error_code& result, std::size_t& lineEnd) {
        auto sliceEnd = std::chrono::steady_clock::now() + kSlice;
        if (!sendPlain(out, deadline, sliceEnd, result)) return timedOut();
        if (!result && !readLinePlain(deadline, sliceEnd, result, lineEnd)) return timedOut();
        return true;
    }

    // Over TLS the stream is asio's: the io_context runs in slices until the reply line is in `inbox`.
    // false: the deadline passed and the connection was closed. Otherwise `result` tells how the call went
    // and lineEnd is the length of the reply line in `inbox`, its '\n' included.
    bool exchangeTls(const std::string& out, std::chrono::steady_clock::time_point deadline,
                     std::error_code& result, std::size_t& lineEnd) {
        bool done = false;
        asio::async_write(*tls, asio::buffer(out), [&](std::error_code ec, std::size_t) {
            if (ec) {
                result = ec;
                done = true;
                return;
            }
            asio::async_read_until(*tls, asio::dynamic_buffer(inbox, kMaxInbox), '\n',
                                   [&](std::error_code ec2, std::size_t n) {
                                       result = ec2;
                                       lineEnd = n;
                                       done = true;
                                   });
        });
        return wait(done, deadline);
    }

    bool timedOut() {
        close();
        return false;
    }

    bool sendPlain(const std::string& out, std::chrono::steady_clock::time_point deadline,
                   std::chrono::steady_clock::time_point& sliceEnd, std::error_code& result) {
        for (std::size_t sent = 0; sent < out.size();) {
            ssize_t n = ::send(socket.native_handle(), out.data() + sent, out.size() - sent,
                               MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n >= 0)
                sent += static_cast<std::size_t>(n);
            else if (errno == EAGAIN || errno == EWOULDBLOCK) {
                if (!awaitSocket(POLLOUT, deadline, sliceEnd, result)) return false;
                if (result) return true;
            } else if (errno != EINTR) {
                result = lastError();
                return true;
            }
        }
        return true;
    }

    // Reads until `inbox` holds a whole line, as asio's read_until would: bytes past it stay for the next
    // reply, and a line that would pass kMaxInbox is asio::error::not_found.
    bool readLinePlain(std::chrono::steady_clock::time_point deadline,
                       std::chrono::steady_clock::time_point& sliceEnd, std::error_code& result,
                       std::size_t& lineEnd) {
        if (readBuffer.empty()) readBuffer.resize(kReadChunk);
        for (std::size_t searched = 0;;) {
            if (auto nl = inbox.find('\n', searched); nl != std::string::npos) {
                lineEnd = nl + 1;
                return true;
            }
            searched = inbox.size();
            if (inbox.size() >= kMaxInbox) {
                result = asio::error::not_found;
                return true;
            }
            if (!awaitSocket(POLLIN, deadline, sliceEnd, result)) return false;
            if (result) return true;
            ssize_t n = ::recv(socket.native_handle(), readBuffer.data(),
                               std::min(readBuffer.size(), kMaxInbox - inbox.size()), MSG_DONTWAIT);
            if (n > 0)
                inbox.append(readBuffer.data(), static_cast<std::size_t>(n));
            else if (n == 0) {
                result = asio::error::eof;
                return true;
            } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                result = lastError();
                return true;
            }
        }
    }

    // Polls the socket for `events` until the current slice ends; a slice that ends with the call still
    // waiting runs WhileWaiting first. false: the deadline has passed. Readiness is not reported: the
    // caller simply tries again.
    bool awaitSocket(short events, std::chrono::steady_clock::time_point deadline,
                     std::chrono::steady_clock::time_point& sliceEnd, std::error_code& result) {
        auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return false;
        if (now >= sliceEnd) {
            if (TNetConnection::WhileWaiting) TNetConnection::WhileWaiting();
            if (!socket.is_open()) {  // closed from the hook
                result = asio::error::operation_aborted;
                return true;
            }
            now = std::chrono::steady_clock::now();
            if (now >= deadline) return false;
            sliceEnd = now + kSlice;
        }
        pollfd ready{socket.native_handle(), events, 0};
        auto timeout = std::chrono::ceil<std::chrono::milliseconds>(std::min(sliceEnd, deadline) - now);
        if (::poll(&ready, 1, static_cast<int>(timeout.count())) < 0 && errno != EINTR) result = lastError();
        return true;
    }

    static std::error_code lastError() { return std::error_code(errno, asio::error::get_system_category()); }

    void close() {
        std::error_code ignored;
        socket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
        socket.close(ignored);
        tls.reset();
        boundToken.clear();
        inbox.clear();
    }

    // A socket the server closed while we were idle (restart, idle timeout) reads as end of file. Checked
    // before sending, when nothing of the call has left yet and reconnecting is safe. Over TLS, bytes
    // waiting while idle are the server's closing alert (our server sends no session tickets).
    bool peerClosed() {
        if (!inbox.empty()) return true;  // stray bytes: the stream is out of step
        char byte;
        ssize_t n = ::recv(socket.native_handle(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n == 0) return true;
        if (n > 0) return true;
        return errno != EAGAIN && errno != EWOULDBLOCK;
    }
};

TAppServer::Arg::Arg(age::Date day) : value_(age::formatIsoDate(day)) {}
TAppServer::Arg::Arg(age::DateTime moment) : value_(age::formatIsoDateTime(moment)) {}

TAppServer::Arg TAppServer::Arg::Ref(std::string& text) {
    Arg a(text);
    a.target_ = &text;
    return a;
}

TResult TResult::FromText(std::string text) {
    TResult r;
    r.text_ = std::move(text);
    return r;
}

const json& TResult::Json() const {
    if (!parsed_) {
        try {
            json_ = json::parse(text_);
        } catch (const json::exception& e) {
            std::cerr << "resposta ilegível do servidor de aplicação: " << e.what() << std::endl;
            throw EConnectionError("Resposta inválida do servidor de aplicação.");
        }
        parsed_ = true;
    }
    return json_;
}

TResult TAppServer::Call(std::string_view method, std::initializer_list<Arg> args) {
    return owner_.call(method, args);
}

TNetConnection::TNetConnection() : impl_(std::make_unique<Impl>()), appServer_(*this) {}
TNetConnection::~TNetConnection() = default;

std::string TNetConnection::Address() const {
    return Host + ":" + std::to_string(Port);
}

bool TNetConnection::Connected() const {
    return impl_->socket.is_open();
}

void TNetConnection::SetConnected(bool connected) {
    if (!connected) {
        impl_->close();
        return;
    }
    if (Connected()) return;
    try {
        connect();
    } catch (const EConnectionError&) {
        // Without ThrowException the failure stays silent: the next call connects again and its exception
        // is the one report the user sees.
        if (ThrowException) throw;
    }
}

void TNetConnection::connect() {
    openTransport();
    try {
        establishSession();
    } catch (...) {
        impl_->close();  // a connection without its session is not kept: the next call signs in again
        throw;
    }
}

void TNetConnection::openTransport() {
    if (BeforeConnect) BeforeConnect(*this);
    Impl& d = *impl_;
    d.close();
    auto fail = [&](const std::string& why) -> EConnectionError {
        d.close();
        return EConnectionError("Não foi possível conectar ao servidor de aplicação em " + Address() + ": " +
                                why + ".");
    };
    if (Port <= 0 || Port > 65535) throw fail("porta inválida");

    auto deadline = std::chrono::steady_clock::now() + Timeout;
    bool done = false;
    std::error_code result;
    asio::ip::tcp::resolver resolver(d.io);
    resolver.async_resolve(Host, std::to_string(Port), [&](std::error_code ec, auto endpoints) {
        if (ec) {
            result = ec;
            done = true;
            return;
        }
        asio::async_connect(d.socket, endpoints, [&](std::error_code ec2, const auto&) {
            result = ec2;
            done = true;
        });
    });
    if (!d.wait(done, deadline, [&] { resolver.cancel(); }))
        throw fail("sem resposta em " + seconds(Timeout));
    if (result) throw fail(describe(result));
    std::error_code ignored;
    d.socket.set_option(asio::ip::tcp::no_delay(true), ignored);
    if (!Transport.Tls) return;

    if (!d.tlsContext || d.tlsContextCa != Transport.CaFile) {
        try {
            d.tlsContext = age::rpc::makeClientTlsContext(Transport.CaFile);
            d.tlsContextCa = Transport.CaFile;
        } catch (const std::runtime_error& e) {
            throw fail(e.what());
        }
    }
    d.tls = std::make_unique<asio::ssl::stream<asio::ip::tcp::socket&>>(d.socket, *d.tlsContext);
    SSL* ssl = d.tls->native_handle();
    // The certificate must name the host we were told to reach: an address literal or a DNS name.
    std::error_code notAnAddress;
    asio::ip::make_address(Host, notAnAddress);
    if (!notAnAddress)
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), Host.c_str());
    else {
        SSL_set1_host(ssl, Host.c_str());
        SSL_set_tlsext_host_name(ssl, Host.c_str());
    }
    done = false;
    d.tls->async_handshake(asio::ssl::stream_base::client, [&](std::error_code ec) {
        result = ec;
        done = true;
    });
    if (!d.wait(done, deadline)) throw fail("sem resposta em " + seconds(Timeout));
    if (result) {
        long verify = SSL_get_verify_result(ssl);
        if (verify != X509_V_OK)
            throw fail(std::string("o certificado do servidor não foi aceito (") +
                       X509_verify_cert_error_string(verify) + ")");
        throw fail("falha na negociação TLS (" + result.message() + ")");
    }
}

TNetConnection::Exchange TNetConnection::exchange(std::string_view method,
                                                  std::initializer_list<TAppServer::Arg> args,
                                                  std::string_view label) {
    Impl& d = *impl_;
    const std::int64_t id = ++d.nextId;
    std::string out = age::rpc::callLine(id, method, args);

    auto lost = [&](const std::string& why) -> EConnectionError {
        d.close();
        return EConnectionError("Falha na comunicação com o servidor de aplicação em " + Address() + " (" +
                                std::string(label) + "): " + why + ".");
    };

    auto deadline = std::chrono::steady_clock::now() + Timeout;
    std::error_code result;
    std::size_t lineEnd = 0;
    bool inTime = d.tls ? d.exchangeTls(out, deadline, result, lineEnd)
                        : d.exchangePlain(out, deadline, result, lineEnd);
    if (!inTime)
        throw EConnectionError("O servidor de aplicação em " + Address() + " não respondeu em " +
                               seconds(Timeout) + " (" + std::string(label) + ").");
    if (result == asio::error::not_found) throw lost("resposta grande demais");
    if (result) throw lost(describe(result));

    std::string why;
    std::optional<age::rpc::Response> response =
        age::rpc::replyTo(std::string_view(d.inbox).substr(0, lineEnd - 1), id, why);
    d.inbox.erase(0, lineEnd);
    if (!response) throw lost(why);
    return Exchange{std::move(*response)};
}

namespace {

// The session in a sign-in reply, or the refusal's text in `refusal`. Throws std::runtime_error when the
// reply is not a sign-in envelope.
std::optional<TSessionInfo> sessionFrom(const age::rpc::Response& response, std::string& refusal) {
    json reply = response.rawResult.empty() ? response.result : json::parse(response.rawResult, nullptr, false);
    if (!reply.is_object() || !reply.contains("ok") || !reply["ok"].is_boolean())
        throw std::runtime_error("resposta de entrada inválida");
    auto text = [](const json& object, const char* key) {
        auto it = object.find(key);
        return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
    };
    if (!reply["ok"].get<bool>()) {
        refusal = text(reply, "error");
        if (refusal.empty()) refusal = "Operador ou senha inválidos.";
        return std::nullopt;
    }
    const json& data = reply.contains("data") ? reply["data"] : json();
    if (!data.is_object() || text(data, "token").empty()) throw std::runtime_error("resposta de entrada sem sessão");
    return TSessionInfo{text(data, "operator"), text(data, "name"), text(data, "token"), text(data, "expires")};
}

}  // namespace

void TNetConnection::establishSession() {
    std::string reason;
    if (Session) {
        if (resume()) return;
        reason = kSessionEnded;
    }
    if (AskSignIn) signInAsking(reason);
}

// The session in a sign-in answer, or nothing and the refusal's text; an answer that is no sign-in reply
// drops the connection.
std::optional<TSessionInfo> TNetConnection::sessionOf(const Exchange& reply, std::string_view label,
                                                      std::string& refusal) {
    if (reply.response.error) throw ERpcError(reply.response.error->code, reply.response.error->message);
    try {
        return sessionFrom(reply.response, refusal);
    } catch (const std::runtime_error& e) {
        impl_->close();
        throw EConnectionError("Falha na comunicação com o servidor de aplicação em " + Address() + " (" +
                               std::string(label) + "): " + e.what() + ".");
    }
}

bool TNetConnection::resume() {
    Impl& d = *impl_;
    const std::string token = Session->Token;
    if (token.empty()) return true;  // signed in with a server that keeps no sessions
    Exchange reply = exchange("Session.Resume", {token}, "Session.Resume");
    if (reply.unknownMethod()) return true;  // a server that knows no sign-in
    std::string refusal;
    std::optional<TSessionInfo> session = sessionOf(reply, "Session.Resume", refusal);
    if (!session) {
        if (Session && Session->Token == token) Session.reset();
        return false;
    }
    Session = *session;
    d.boundToken = session->Token;
    return true;
}

void TNetConnection::checkPasswordMayTravel() {
    if (Transport.Tls || Transport.AllowPlainPassword) return;
    std::error_code ec;
    auto peer = impl_->socket.remote_endpoint(ec);
    if (!ec) {
        auto address = peer.address();
        if (address.is_v6() && address.to_v6().is_v4_mapped())
            address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
        if (address.is_loopback()) return;
    }
    impl_->close();
    throw EInsecureTransport("A senha não foi enviada: o servidor de aplicação em " + Address() +
                             " não está nesta máquina e a conexão não é cifrada. Use --server tls://" + Address() +
                             " (ou, só numa rede de confiança, --insecure-password).");
}

void TNetConnection::login(const TCredentials& credentials) {
    Impl& d = *impl_;
    // A sign-in dialog may have been open for longer than the server keeps an idle connection.
    if (!Connected() || d.peerClosed()) openTransport();
    checkPasswordMayTravel();
    Exchange reply = exchange("Session.Login", {credentials.Operator, credentials.Password}, "Session.Login");
    if (reply.unknownMethod()) {  // a server that knows no sign-in: a session without a token
        Session = TSessionInfo{credentials.Operator, {}, {}, {}};
        if (SignedIn) SignedIn(*Session);
        return;
    }
    std::string refusal;
    std::optional<TSessionInfo> session = sessionOf(reply, "Session.Login", refusal);
    if (!session) throw ESignInRefused(refusal);
    Session = *session;
    d.boundToken = session->Token;
    if (SignedIn) SignedIn(*session);
}

void TNetConnection::signInAsking(std::string reason) {
    for (;;) {
        std::optional<TCredentials> credentials = AskSignIn(reason, *this);
        if (!credentials)
            throw EConnectionError("A entrada foi cancelada: o servidor de aplicação em " + Address() +
                                   " só atende quem entra com operador e senha.");
        try {
            login(*credentials);
            return;
        } catch (const ESignInRefused& refused) {
            reason = refused.what();
        }
    }
}

bool TNetConnection::renewSession() {
    // Another connection of the process may have signed in again already: its session comes first.
    if (Session && Session->Token != impl_->boundToken && resume()) return true;
    if (!AskSignIn) return false;
    Session.reset();
    signInAsking(kSessionEnded);
    return true;
}

namespace {

struct BusyScope {
    bool& flag;
    explicit BusyScope(bool& f) : flag(f) { flag = true; }
    ~BusyScope() { flag = false; }
};

}  // namespace

TSessionInfo TNetConnection::SignIn(const TCredentials& credentials) {
    if (impl_->busy)
        throw EConnectionError("Uma chamada ao servidor de aplicação em " + Address() +
                               " ainda aguarda resposta; a entrada não foi feita.");
    BusyScope busy(impl_->busy);
    login(credentials);
    return *Session;
}

void TNetConnection::SignOut() noexcept {
    if (!Session || impl_->busy) return;
    if (Session->Token.empty()) return Session.reset();  // nothing to end on a server without sessions
    BusyScope busy(impl_->busy);
    // Leaving should not wait long on a server that is gone.
    const auto timeout = Timeout;
    Timeout = std::min(Timeout, std::chrono::milliseconds(3000));
    try {
        if (!Connected() || impl_->peerClosed()) openTransport();
        if (impl_->boundToken == Session->Token || resume()) exchange("Session.Logout", {}, "Session.Logout");
    } catch (const std::exception&) {
        // Unreachable or already ended: the session expires by itself.
    }
    Timeout = timeout;
    Session.reset();
    impl_->boundToken.clear();
}

TResult TNetConnection::call(std::string_view method, std::initializer_list<TAppServer::Arg> args) {
    Impl& d = *impl_;
    if (d.busy)
        throw EConnectionError("Uma chamada ao servidor de aplicação em " + Address() +
                               " ainda aguarda resposta; a nova chamada (" + std::string(method) +
                               ") não foi feita.");
    BusyScope busy(d.busy);

    if (Connected() && d.peerClosed()) d.close();
    if (!Connected()) connect();

    const std::string fullName = ServerName + "." + std::string(method);
    Exchange reply = exchange(fullName, args, method);
    // The server refused the call before running it: after signing in again it is safe to send it once more.
    if (reply.response.error && reply.response.error->code == kNoSession && renewSession())
        reply = exchange(fullName, args, method);
    return age::rpc::callResult(std::move(reply.response), args);
}

namespace age::rpc {

std::string callLine(std::int64_t id, std::string_view method, std::span<const TAppServer::Arg> args) {
    Request request{id, std::string(method), json::array()};
    for (const auto& a : args) request.params.push_back(a.Value());
    return encodeRequest(request) + "\n";
}

std::optional<Response> replyTo(std::string_view line, std::int64_t id, std::string& why) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    Response response;
    try {
        response = parseResponseKeepingResult(line, kMaxResponseBytes);
    } catch (const WireError& e) {
        why = std::string("resposta inválida: ") + e.what();
        return std::nullopt;
    }
    // An error without id answers no call in particular: the server refused the connection or the line.
    if (response.id.is_null() && response.error) {
        why = response.error->message;
        if (!why.empty() && why.back() == '.') why.pop_back();
        return std::nullopt;
    }
    if (response.id != json(id)) {
        why = "resposta a outra chamada (id " + response.id.dump() + ", esperado " + json(id).dump() + ")";
        return std::nullopt;
    }
    return response;
}

TResult callResult(Response&& response, std::span<const TAppServer::Arg> args) {
    if (response.error) throw ERpcError(response.error->code, response.error->message);
    int position = 0;
    for (const auto& a : args) {
        if (auto* target = a.Target())
            if (auto it = response.byref.find(position); it != response.byref.end()) *target = it->second;
        ++position;
    }
    if (!response.rawResult.empty()) return TResult::FromText(std::move(response.rawResult));
    return TResult(std::move(response.result));
}

}  // namespace age::rpc
