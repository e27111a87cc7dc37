#include "platform/rpc/NetConnection.h"

#include <sys/socket.h>

#include <cerrno>

#include <asio.hpp>

#include "platform/rpc/Wire.h"

using nlohmann::json;

std::function<void()> TNetConnection::WhileWaiting;

namespace {

constexpr auto kSlice = std::chrono::milliseconds(10);

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

std::string seconds(std::chrono::milliseconds t) {
    auto ms = t.count();
    if (ms % 1000 == 0) return std::to_string(ms / 1000) + " s";
    return std::to_string(ms) + " ms";
}

}  // namespace

struct TNetConnection::Impl {
    asio::io_context io;
    asio::ip::tcp::socket socket{io};
    std::string inbox;  // bytes read past the last reply
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

    void close() {
        std::error_code ignored;
        socket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
        socket.close(ignored);
        inbox.clear();
    }

    // A socket the server closed while we were idle (restart, idle timeout) reads as end of file. Checked
    // before sending, when nothing of the call has left yet and reconnecting is safe.
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
            throw EConnectionError(std::string("Resposta inválida do servidor de aplicação: ") + e.what());
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
}

TResult TNetConnection::call(std::string_view method, std::initializer_list<TAppServer::Arg> args) {
    Impl& d = *impl_;
    if (d.busy)
        throw EConnectionError("Uma chamada ao servidor de aplicação em " + Address() +
                               " ainda aguarda resposta; a nova chamada (" + std::string(method) +
                               ") não foi feita.");
    d.busy = true;
    struct Release {
        bool& flag;
        ~Release() { flag = false; }
    } release{d.busy};

    if (Connected() && d.peerClosed()) d.close();
    if (!Connected()) connect();

    age::rpc::Request request{++d.nextId, ServerName + "." + std::string(method), json::array()};
    for (const auto& a : args) request.params.push_back(a.Value());
    std::string out = age::rpc::encodeRequest(request) + "\n";

    auto lost = [&](const std::string& why) -> EConnectionError {
        d.close();
        return EConnectionError("Falha na comunicação com o servidor de aplicação em " + Address() + " (" +
                                std::string(method) + "): " + why + ".");
    };

    auto deadline = std::chrono::steady_clock::now() + Timeout;
    bool done = false;
    std::error_code result;
    std::size_t lineEnd = 0;
    asio::async_write(d.socket, asio::buffer(out), [&](std::error_code ec, std::size_t) {
        if (ec) {
            result = ec;
            done = true;
            return;
        }
        asio::async_read_until(d.socket, asio::dynamic_buffer(d.inbox, age::rpc::kMaxResponseBytes + 1), '\n',
                               [&](std::error_code ec2, std::size_t n) {
                                   result = ec2;
                                   lineEnd = n;
                                   done = true;
                               });
    });
    if (!d.wait(done, deadline))
        throw EConnectionError("O servidor de aplicação em " + Address() + " não respondeu em " +
                               seconds(Timeout) + " (" + std::string(method) + ").");
    if (result == asio::error::not_found) throw lost("resposta grande demais");
    if (result) throw lost(describe(result));

    std::string line = d.inbox.substr(0, lineEnd - 1);
    d.inbox.erase(0, lineEnd);
    if (!line.empty() && line.back() == '\r') line.pop_back();

    age::rpc::Response response;
    try {
        response = age::rpc::parseResponseKeepingResult(line, age::rpc::kMaxResponseBytes);
    } catch (const age::rpc::WireError& e) {
        throw lost(std::string("resposta inválida: ") + e.what());
    }
    // An error without id answers no call in particular: the server refused the connection or the line.
    if (response.id.is_null() && response.error) {
        std::string why = response.error->message;
        if (!why.empty() && why.back() == '.') why.pop_back();
        throw lost(why);
    }
    if (response.id != request.id)
        throw lost("resposta a outra chamada (id " + response.id.dump() + ", esperado " + request.id.dump() +
                   ")");
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
