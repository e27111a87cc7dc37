// A real age-server for tests: a temporary folder with a fresh SQLite file (or a fresh PostgreSQL database)
// seeded through the admin commands, `serve` on a free loopback port with the clock pinned, stopped and
// cleaned up on destruction.
//
//   age::test::TestServer server;                 // rooms 101, 102, 201; operators ana, bruno
//   TNetConnection net;
//   server.configure(net);                       // Host and Port of the running server
//   auto packet = Consiste::CheckResultServ(net.AppServer().Call("GetSala"), false, 0);
//
// Also LineClient: a bare socket speaking lines, for protocol tests.
#pragma once

#include <sys/types.h>
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/Dates.h"

class TNetConnection;

namespace age::test {

class ScratchDatabase;

struct ServerSetup {
    std::string now = "2026-12-07T10:00:00";  // --now (a Monday); empty runs on the real clock
    std::vector<std::pair<std::string, std::string>> rooms{
        {"101", "Sala 101"}, {"102", "Sala 102"}, {"201", "Auditório"}};
    std::vector<std::pair<std::string, std::string>> operators{{"ana", "Ana Souza"}, {"bruno", "Bruno Lima"}};
    bool demo = false;  // also run `age-server demo` (with the same --now)
    int threads = 0;  // --threads; 0 leaves the server's default
    int idleTimeoutSeconds = 600;
    bool start = true;  // start serving in the constructor
    // The database: empty for a fresh SQLite file in the folder; "postgresql" for a fresh database on the
    // test PostgreSQL (AGE_TEST_PG_URL), dropped on destruction; anything else is the --db URL as it is
    // (for a second server on another's database: leave rooms and operators empty).
    std::string db{};
    int dbPool = 0;  // --db-pool; 0 leaves the server's default
    // --auth: "none" lets every connection in unsigned, as the screens' tests need; "password" makes
    // operators sign in with the passwords below.
    std::string auth = "none";
    std::vector<std::pair<std::string, std::string>> passwords{};  // operator, password (set at creation)
    // More options for `serve` ("--login-delay-ms", "1", "--listen-tls", "--max-connections", "--metrics", ...).
    std::vector<std::string> serveArgs{};
    int openFileLimit = 0;     // > 0: `serve` runs with this descriptor limit, soft and hard (as `ulimit -n`)
    std::string listenHost{};  // the address `serve` listens on when not the loopback one clients use
};

class TestServer {
  public:
    explicit TestServer(ServerSetup setup = {});
    ~TestServer();  // stops the server and removes the folder
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    const std::string& host() const { return host_; }  // "127.0.0.1"
    int port() const { return port_; }                 // 0 when not running
    std::string address() const;                       // "127.0.0.1:PORT"
    int tlsPort() const { return tlsPort_; }           // of the --listen-tls listener; 0 when none
    std::string dbUrl() const;                         // "sqlite:/tmp/.../agenda.db", "postgresql://..."
    const std::filesystem::path& dir() const { return dir_; }

    // Starts `serve` on the same database; port 0 takes a free one. Throws std::runtime_error when the
    // server does not report its address within 10 s.
    void start(int port = 0);
    void stop();  // SIGTERM, then waits for the exit (SIGKILL after 10 s)
    void kill();  // SIGKILL, then waits
    bool running() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }            // of the running server, -1 when stopped
    int exitStatus() const { return lastExit_; }  // of the last stopped server (waitpid status)

    // The next line `serve` writes to stdout after "listening on" (e.g. "metrics on HOST:PORT").
    std::optional<std::string> outputLine(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Everything the server wrote to stderr (its log) so far, across restarts.
    std::string log() const;
    // Runs `age-server ARGS... --db URL`; returns the exit code, stdout and stderr go to `output`.
    int admin(const std::vector<std::string>& args, std::string* output = nullptr) const;
    // The same with `input` on its standard input (a password for --password-stdin).
    int adminWithInput(const std::vector<std::string>& args, const std::string& input,
                       std::string* output = nullptr) const;
    // Sets Host and Port of the connection to this server (and a 10 s timeout).
    void configure(TNetConnection& connection) const;

    static std::string binary();

  private:
    void waitExit(std::chrono::seconds grace);

    ServerSetup setup_;
    std::filesystem::path dir_;
    std::unique_ptr<ScratchDatabase> scratch_;
    std::string dbUrl_;
    std::string host_ = "127.0.0.1";
    int port_ = 0;
    int tlsPort_ = 0;
    pid_t pid_ = -1;
    int stdoutFd_ = -1;
    std::string stdoutBuffer_;
    int lastExit_ = 0;
};

// A bare TCP client of lines, for what TNetConnection never sends (garbage, oversized lines, pipelining).
class LineClient {
  public:
    LineClient(const std::string& host, int port);
    ~LineClient();
    LineClient(const LineClient&) = delete;
    LineClient& operator=(const LineClient&) = delete;

    // Writes the bytes as they are; false when the connection refused them.
    bool send(std::string_view bytes);
    bool sendLine(std::string_view line) { return send(std::string(line) + "\n"); }
    // The next line without '\n'; nothing on end of stream, error or timeout.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // A request line for the module's method.
    static std::string request(const nlohmann::json& id, const std::string& method,
                               const nlohmann::json& params);
    // Sends one request and reads its response (throws std::runtime_error when none comes).
    nlohmann::json call(const std::string& method, const nlohmann::json& params, int id = 1);
    // The same for a method named in full ("Session.Login").
    nlohmann::json callFull(const std::string& method, const nlohmann::json& params, int id = 1);
    // True when the server closed the connection (end of stream or reset) within the timeout.
    bool closedByPeer(std::chrono::milliseconds timeout = std::chrono::seconds(10));

  private:
    int fd_ = -1;
    std::string buffer_;
};

// `n` numbers of the room handed out by the server, as the screen takes them; a fresh connection for every
// 200 keeps to GetNrSeq's pace per connection.
std::vector<std::string> handedOutSeqs(const TestServer& server, const std::string& room,
                                       age::Date day, int n);

}  // namespace age::test
