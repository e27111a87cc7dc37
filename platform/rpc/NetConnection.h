// The client's connection to the application server: a socket to a named remote data module whose
// methods are called late-bound, by name, with positional and by-reference arguments. Calls are
// synchronous for the caller; while one waits, the process-wide WhileWaiting hook runs between short
// slices of network work (the user interface keeps painting there). One connection serves one thread.
//
// Sign-in: the process holds one session (the operator signed in and the server's token). Every connection
// resumes it right after connecting; when the server has ended it, the AskSignIn hook is asked for the
// operator and password again and the refused call is sent once more, so a screen never notices.
#pragma once

#include <chrono>
#include <concepts>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "common/Dates.h"

// A JSON-RPC error answered by the server (unknown method, wrong arguments, internal fault, ...).
// what() is the server's message.
class ERpcError : public std::runtime_error {
  public:
    ERpcError(int code, const std::string& message) : std::runtime_error(message), code_(code) {}
    int Code() const { return code_; }

  private:
    int code_;
};

// The server could not be reached, stopped answering, dropped the connection or answered something that
// is not a reply to the call. what() is a Portuguese message naming host:port.
class EConnectionError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The server refused the operator and password; what() is its text ("Operador ou senha inválidos.").
class ESignInRefused : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The password was not sent: the connection is not encrypted and the server is not on this machine.
class EInsecureTransport : public EConnectionError {
  public:
    using EConnectionError::EConnectionError;
};

struct TCredentials {
    std::string Operator;
    std::string Password;
};

// The reply to Session.Login and Session.Resume.
struct TSessionInfo {
    std::string Operator;  // the code the server signed in
    std::string Name;      // "Ana Souza"
    std::string Token;
    std::string Expires;  // "YYYY-MM-DDTHH:MM:SS"
};

class TNetConnection;

// The result of a call. It stays as the server's JSON text until asked for: a packet of hundreds of rows
// is then read once, straight into rows (Consiste::CheckResultServ), never built as a JSON tree first.
// Json() and the implicit conversion build the tree on first use.
class TResult {
  public:
    TResult() = default;
    explicit TResult(nlohmann::json value) : json_(std::move(value)), parsed_(true) {}
    static TResult FromText(std::string text);

    const nlohmann::json& Json() const;
    operator const nlohmann::json&() const { return Json(); }
    // The JSON text as received; empty when the result came as a tree.
    const std::string& Text() const { return text_; }

  private:
    std::string text_;
    mutable nlohmann::json json_;
    mutable bool parsed_ = false;
};

// The application-server object of a connection: takes the late-bound calls.
class TAppServer {
  public:
    // One positional argument. Dates go as "YYYY-MM-DD", date-times as "YYYY-MM-DDTHH:MM:SS".
    class Arg {
      public:
        Arg(const char* text) : value_(text) {}
        Arg(std::string text) : value_(std::move(text)) {}
        Arg(std::string_view text) : value_(std::string(text)) {}
        Arg(age::Date day);
        Arg(age::DateTime moment);
        template <std::integral T>
        requires(!std::same_as<T, bool> && !std::same_as<T, char>) Arg(T number)
            : value_(static_cast<std::int64_t>(number)) {}
        Arg(nlohmann::json value) : value_(std::move(value)) {}

        // A text argument passed by reference: after a successful call it holds the value the server left.
        static Arg Ref(std::string& text);

        const nlohmann::json& Value() const { return value_; }
        std::string* Target() const { return target_; }

      private:
        nlohmann::json value_;
        std::string* target_ = nullptr;
    };

    // Calls ServerName + "." + method and returns the raw result (a result envelope for every method of
    // the agenda module but GetPesqSala). Connects first when not connected.
    // Throws ERpcError for an error answer and EConnectionError for a transport failure, a timeout, a
    // reply that does not belong to the call, or a call made while another one waits on this connection.
    TResult Call(std::string_view method, std::initializer_list<Arg> args = {});

  private:
    friend class TNetConnection;
    explicit TAppServer(TNetConnection& owner) : owner_(owner) {}
    TNetConnection& owner_;
};

class TNetConnection {
  public:
    TNetConnection();
    ~TNetConnection();
    TNetConnection(const TNetConnection&) = delete;
    TNetConnection& operator=(const TNetConnection&) = delete;

    std::string ServerName = "AGE12100.rdmAgendaSala";
    std::string Host = "127.0.0.1";
    int Port = 12100;
    // false: a failed SetConnected(true) stays disconnected without a word; the next call tries again and
    // throws, which is the one report of the failure.
    bool ThrowException = false;
    // Limit for connecting and for each call's round trip.
    std::chrono::milliseconds Timeout{30000};
    // Runs before every connect, so the owner can set Host and Port from the host application.
    std::function<void(TNetConnection&)> BeforeConnect;

    struct TTransport {
        bool Tls = false;
        std::string CaFile;               // certificates the server's must chain to; empty: the system's
        bool AllowPlainPassword = false;  // send a password unencrypted to a server not on loopback
    };
    // Every connection takes the process's default when it is made; the host sets it from its options
    // before any module opens.
    static TTransport DefaultTransport;
    TTransport Transport = DefaultTransport;

    // The process's session: set by a successful sign-in, resumed by every connection after it connects,
    // forgotten when the server refuses it. Like the hooks below, it is not guarded for use from several
    // threads: the host signs in and answers for the user interface's thread.
    static std::optional<TSessionInfo> Session;
    // Asked for the operator and password when a connection has no session to resume (the server ended
    // it): `reason` says why, for the user, and `connection` is the one asking (the dialog names the server
    // the password goes to). Nothing means the user gave up and the call fails. Unset, connections without
    // a session do not sign in (as against a server that asks none).
    static std::function<std::optional<TCredentials>(const std::string& reason,
                                                     const TNetConnection& connection)>
        AskSignIn;
    // Told after every successful sign-in (the host shows the operator's name).
    static std::function<void(const TSessionInfo&)> SignedIn;

    // Runs between slices of network work while any call or connect of this process waits, on the
    // waiting thread. The user interface installs one that paints windows and holds input back.
    static std::function<void()> WhileWaiting;

    // true opens the connection (nothing when already open); false closes it.
    void SetConnected(bool connected);
    // True while the socket is open. A connection the server dropped is noticed by the next call, which
    // then connects again before sending anything.
    bool Connected() const;
    TAppServer& AppServer() { return appServer_; }

    // "host:port", as the error messages name it.
    std::string Address() const;

    // Connects when needed and signs in (Session.Login); the session becomes the process's. Throws
    // ESignInRefused with the server's text, EInsecureTransport, EConnectionError, or ERpcError for an error
    // answer. With a server that knows no sign-in (it answers "unknown method") the session has no token
    // and nothing is resumed.
    TSessionInfo SignIn(const TCredentials& credentials);
    // Ends the process's session on the server (Session.Logout) and forgets it. A failure only means the
    // session will expire by itself, so nothing is thrown.
    void SignOut() noexcept;

  private:
    friend class TAppServer;
    struct Impl;

    TResult call(std::string_view method, std::initializer_list<TAppServer::Arg> args);
    void connect();        // the transport, then the session; throws EConnectionError
    void openTransport();  // TCP, then the TLS handshake when asked for
    void establishSession();
    bool resume();  // false: the server refused the session (then forgotten)
    bool renewSession();
    void login(const TCredentials& credentials);
    void signInAsking(std::string reason);
    void checkPasswordMayTravel();
    // One request and its response, error answers included; throws EConnectionError for the transport.
    struct Exchange;
    Exchange exchange(std::string_view method, std::initializer_list<TAppServer::Arg> args,
                      std::string_view label);
    std::optional<TSessionInfo> sessionOf(const Exchange& reply, std::string_view label, std::string& refusal);

    std::unique_ptr<Impl> impl_;
    TAppServer appServer_;
};

namespace age::rpc {

struct Response;

// A call as bytes, apart from any socket. TNetConnection writes and reads through these, so a caller that
// keeps its own sockets (the load bench drives many connections from one thread) sends the same lines and
// judges the replies the same way.

// The request line of `method` named in full ("AGE12100.rdmAgendaSala.GetSala"), its '\n' included.
std::string callLine(std::int64_t id, std::string_view method, std::span<const TAppServer::Arg> args);
// The response in the reply line to request `id` (its '\n' stripped). Nothing when the line is no response
// or answers no call of ours; `why` then tells it ("resposta a outra chamada (id 7, esperado 6)").
std::optional<Response> replyTo(std::string_view line, std::int64_t id, std::string& why);
// The result of an answered call: throws ERpcError for an error answer; by-reference arguments take the
// values the server left.
TResult callResult(Response&& response, std::span<const TAppServer::Arg> args);

}  // namespace age::rpc
