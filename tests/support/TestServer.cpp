#include "tests/support/TestServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "platform/rpc/CheckResult.h"
#include "platform/rpc/NetConnection.h"
#include "tests/support/TestDatabase.h"

extern char** environ;

namespace age::test {
namespace {

using namespace std::chrono_literals;

std::filesystem::path makeTempDir() {
    std::string pattern = std::filesystem::temp_directory_path() / "age-test-XXXXXX";
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed: " + std::string(std::strerror(errno)));
    return pattern;
}

struct Spawned {
    pid_t pid;
    int out;  // read end of the child's stdout
};

// Runs the server binary with `args`; stdout into a pipe, stderr appended to `errPath` (or the pipe). With
// `input`, standard input reads it (small enough for the pipe's buffer). `openFileLimit` > 0 runs it under
// that descriptor limit (through prlimit).
Spawned spawn(const std::vector<std::string>& args, const std::string& errPath,
              const std::optional<std::string>& input = std::nullopt, int openFileLimit = 0) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    int in[2] = {-1, -1};
    if (input && pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    if (input) posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    if (errPath.empty())
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
    else
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.c_str(),
                                         O_WRONLY | O_CREAT | O_APPEND, 0644);
    std::string bin = TestServer::binary();
    std::vector<std::string> words;
    if (openFileLimit > 0) {
        std::string n = std::to_string(openFileLimit);
        words = {"prlimit", "--nofile=" + n + ":" + n, "--"};
    }
    words.push_back(bin);
    words.insert(words.end(), args.begin(), args.end());
    // A machine with the package installed has /etc/age/age-server.conf, which the server reads unless
    // told otherwise: a test's server takes only the options the test gives it.
    if (std::find(args.begin(), args.end(), "--config") == args.end())
        words.insert(words.end(), {"--config", "/dev/null"});
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (input) {
        close(in[0]);
        if (rc == 0 && write(in[1], input->data(), input->size()) != static_cast<ssize_t>(input->size()))
            rc = EIO;
        close(in[1]);
    }
    if (rc != 0) {
        close(fds[0]);
        throw std::runtime_error("cannot run " + bin + ": " + std::strerror(rc));
    }
    return {pid, fds[0]};
}

// Waits until `fd` has something to read (or is closed); false when the deadline passes first.
bool readable(int fd, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        int ready = poll(&p, 1, static_cast<int>(left.count()));
        if (ready >= 0 || errno != EINTR) return ready > 0;
    }
}

// Reads one line from `fd` within the timeout.
std::optional<std::string> readLineFrom(int fd, std::string& buffer, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (std::size_t nl; (nl = buffer.find('\n')) == std::string::npos;) {
        char chunk[65536];
        ssize_t n = readable(fd, deadline) ? read(fd, chunk, sizeof chunk) : 0;
        if (n <= 0) return std::nullopt;
        buffer.append(chunk, static_cast<std::size_t>(n));
    }
    std::size_t nl = buffer.find('\n');
    std::string line = buffer.substr(0, nl);
    buffer.erase(0, nl + 1);
    return line;
}

}  // namespace

std::string TestServer::binary() {
    return AGE_SERVER_BINARY;
}

TestServer::TestServer(ServerSetup setup) : setup_(std::move(setup)), dir_(makeTempDir()) {
    auto must = [this](const std::vector<std::string>& args) {
        std::string output;
        if (admin(args, &output) != 0) throw std::runtime_error("age-server setup failed: " + output);
    };
    try {
        if (setup_.db == "postgresql") scratch_ = std::make_unique<ScratchDatabase>();
        dbUrl_ = scratch_            ? scratch_->url()
                 : setup_.db.empty() ? "sqlite:" + (dir_ / "agenda.db").string()
                                     : setup_.db;
        must({"init"});
        for (const auto& [code, name] : setup_.rooms) must({"room", "add", code, name});
        for (const auto& [code, name] : setup_.operators) must({"operator", "add", code, name});
        for (const auto& [code, password] : setup_.passwords) {
            std::string output;
            if (adminWithInput({"operator", "password", code, "--password-stdin"}, password + "\n", &output) != 0)
                throw std::runtime_error("age-server setup failed: " + output);
        }
        if (setup_.demo)
            must(setup_.now.empty() ? std::vector<std::string>{"demo"}
                                    : std::vector<std::string>{"demo", "--now", setup_.now});
        if (setup_.start) start();
    } catch (...) {  // no destructor runs for a constructor that throws
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
        throw;
    }
}

TestServer::~TestServer() {
    try {
        stop();
    } catch (...) {
    }
    scratch_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

std::string TestServer::address() const {
    return host_ + ":" + std::to_string(port_);
}

std::string TestServer::dbUrl() const {
    return dbUrl_;
}

std::string TestServer::log() const {
    std::ifstream in(dir_ / "server.log");
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

int TestServer::admin(const std::vector<std::string>& args, std::string* output) const {
    return adminWithInput(args, {}, output);
}

int TestServer::adminWithInput(const std::vector<std::string>& args, const std::string& input,
                               std::string* output) const {
    std::vector<std::string> all = args;
    all.insert(all.end(), {"--db", dbUrl()});
    Spawned child = spawn(all, "", input.empty() ? std::nullopt : std::optional<std::string>(input));
    std::string text;
    char chunk[4096];
    ssize_t n;
    while ((n = read(child.out, chunk, sizeof chunk)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0) text.append(chunk, static_cast<std::size_t>(n));
    close(child.out);
    int status = 0;
    while (waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (output) *output = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void TestServer::start(int port) {
    if (running()) throw std::logic_error("the test server is running already");
    const std::string& listenHost = setup_.listenHost.empty() ? host_ : setup_.listenHost;
    std::vector<std::string> args{"serve",
                                  "--db",
                                  dbUrl(),
                                  "--listen",
                                  listenHost + ":" + std::to_string(port),
                                  "--idle-timeout",
                                  std::to_string(setup_.idleTimeoutSeconds),
                                  "--auth",
                                  setup_.auth};
    if (setup_.threads > 0) args.insert(args.end(), {"--threads", std::to_string(setup_.threads)});
    args.insert(args.end(), setup_.serveArgs.begin(), setup_.serveArgs.end());
    if (!setup_.now.empty()) args.insert(args.end(), {"--now", setup_.now});
    if (setup_.dbPool > 0) args.insert(args.end(), {"--db-pool", std::to_string(setup_.dbPool)});
    Spawned child = spawn(args, (dir_ / "server.log").string(), std::nullopt, setup_.openFileLimit);
    pid_ = child.pid;
    stdoutFd_ = child.out;
    stdoutBuffer_.clear();
    auto line = readLineFrom(stdoutFd_, stdoutBuffer_, 10s);
    if (!line || !line->starts_with("listening on ")) {
        kill();
        throw std::runtime_error("age-server did not start: " + line.value_or("(no output)") + "\n" + log());
    }
    port_ = std::stoi(line->substr(line->rfind(':') + 1));
    if (std::find(args.begin(), args.end(), "--listen-tls") != args.end()) {
        line = readLineFrom(stdoutFd_, stdoutBuffer_, 10s);
        if (!line || !line->starts_with("listening on tls://")) {
            kill();
            throw std::runtime_error("age-server did not report its TLS listener\n" + log());
        }
        tlsPort_ = std::stoi(line->substr(line->rfind(':') + 1));
    }
}

std::optional<std::string> TestServer::outputLine(std::chrono::milliseconds timeout) {
    if (!running()) return std::nullopt;
    return readLineFrom(stdoutFd_, stdoutBuffer_, timeout);
}

void TestServer::stop() {
    if (!running()) return;
    ::kill(pid_, SIGTERM);
    waitExit(10s);
}

void TestServer::kill() {
    if (!running()) return;
    ::kill(pid_, SIGKILL);
    waitExit(10s);
}

void TestServer::waitExit(std::chrono::seconds grace) {
    auto deadline = std::chrono::steady_clock::now() + grace;
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) ::kill(pid_, SIGKILL);
        std::this_thread::sleep_for(5ms);
    }
    lastExit_ = status;
    close(stdoutFd_);
    stdoutFd_ = -1;
    pid_ = -1;
    port_ = 0;
    tlsPort_ = 0;
}

void TestServer::configure(TNetConnection& connection) const {
    connection.Host = host_;
    connection.Port = port_;
    connection.Timeout = 10s;
}

LineClient::LineClient(const std::string& host, int port) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, host.c_str(), &addr.sin_addr);
    if (fd_ < 0 || connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        throw std::runtime_error("cannot connect to " + host + ":" + std::to_string(port));
    int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

LineClient::~LineClient() {
    if (fd_ >= 0) close(fd_);
}

bool LineClient::send(std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

std::optional<std::string> LineClient::readLine(std::chrono::milliseconds timeout) {
    return readLineFrom(fd_, buffer_, timeout);
}

std::string LineClient::request(const nlohmann::json& id, const std::string& method,
                                const nlohmann::json& params) {
    return nlohmann::json{
        {"jsonrpc", "2.0"}, {"id", id}, {"method", "AGE12100.rdmAgendaSala." + method}, {"params", params}}
        .dump();
}

nlohmann::json LineClient::call(const std::string& method, const nlohmann::json& params, int id) {
    return callFull("AGE12100.rdmAgendaSala." + method, params, id);
}

nlohmann::json LineClient::callFull(const std::string& method, const nlohmann::json& params, int id) {
    std::string sent =
        nlohmann::json{{"jsonrpc", "2.0"}, {"id", id}, {"method", method}, {"params", params}}.dump();
    if (!sendLine(sent)) throw std::runtime_error("send failed");
    auto line = readLine();
    if (!line) throw std::runtime_error("no response to " + method);
    return nlohmann::json::parse(*line);
}

bool LineClient::closedByPeer(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    char chunk[65536];
    while (readable(fd_, deadline))
        if (recv(fd_, chunk, sizeof chunk, 0) <= 0) return true;  // end of stream or reset
    return false;
}

std::vector<std::string> handedOutSeqs(const TestServer& server, const std::string& room,
                                       age::Date day, int n) {
    std::vector<std::string> seqs;
    while (static_cast<int>(seqs.size()) < n) {
        TNetConnection net;
        server.configure(net);
        for (int k = 0; k < 200 && static_cast<int>(seqs.size()) < n; ++k) {
            auto packet = Consiste::CheckResultServ(net.AppServer().Call("GetNrSeq", {room, day}), false, 0);
            seqs.push_back(data::valueText(packet.rows.at(0).at(0)));
        }
    }
    return seqs;
}

}  // namespace age::test
