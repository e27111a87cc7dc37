// Round trip of GetSysdate on loopback next to a bare TCP echo of the same sizes and, when redis-server is
// installed, next to a Redis PING sent by the same client code; rounds interleaved, in one run.
//
//   rpc_roundtrip [--calls N] [--server HOST:PORT]
//
// Without --server it starts its own age-server on a temporary SQLite file. Prints p50 and p99 of each,
// their ratio to the echo, and GetSysdate's ratio to Redis next to its goal (p50 within 1.2x, p99 within
// 2x). Redis is a yardstick only: nothing else needs it. It also starts a second server with --auth
// password and times GetSysdate on a signed-in connection next to the first (the session check reads the
// connection only: p50 within 5% of the unsigned one).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/rpc/NetConnection.h"
#include "tests/support/TestServer.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Stats {
    double p50, p99;  // microseconds
};

Stats measure(int calls, const std::function<void()>& roundTrip) {
    for (int i = 0; i < calls / 10 + 10; ++i) roundTrip();  // warm up
    std::vector<double> us;
    us.reserve(static_cast<std::size_t>(calls));
    for (int i = 0; i < calls; ++i) {
        auto t0 = Clock::now();
        roundTrip();
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    std::sort(us.begin(), us.end());
    auto at = [&](double q) { return us[std::min(us.size() - 1, static_cast<std::size_t>(q * us.size()))]; };
    return {at(0.50), at(0.99)};
}

int connectTo(const std::string& host, int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, host.c_str(), &addr.sin_addr);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        throw std::runtime_error("cannot connect to " + host + ":" + std::to_string(port));
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

void writeAll(int fd, const std::string& bytes) {
    for (std::size_t at = 0; at < bytes.size();) {
        ssize_t n = ::send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
        if (n <= 0) throw std::runtime_error("send failed");
        at += static_cast<std::size_t>(n);
    }
}

// Reads up to and including the next '\n'; the line without it.
std::string readLine(int fd, std::string& buffer) {
    for (;;) {
        if (auto nl = buffer.find('\n'); nl != std::string::npos) {
            std::string line = buffer.substr(0, nl);
            buffer.erase(0, nl + 1);
            return line;
        }
        char chunk[4096];
        ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) throw std::runtime_error("connection closed");
        buffer.append(chunk, static_cast<std::size_t>(n));
    }
}

// Answers every line with a fixed reply, in a child process of its own like the application server: the
// least a line protocol over loopback can cost on this machine.
class EchoServer {
  public:
    explicit EchoServer(const std::string& reply) {
        int listenFd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        listen(listenFd, 4);
        socklen_t len = sizeof addr;
        getsockname(listenFd, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        pid_ = fork();
        if (pid_ == 0) {
            serve(listenFd, reply + "\n");
            _exit(0);
        }
        close(listenFd);
    }
    ~EchoServer() {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    int port() const { return port_; }

  private:
    static void serve(int listenFd, const std::string& reply) {
        int fd = accept(listenFd, nullptr, nullptr);
        if (fd < 0) return;
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::string buffer;
        try {
            for (;;) {
                readLine(fd, buffer);
                writeAll(fd, reply);
            }
        } catch (const std::exception&) {
        }
    }

    pid_t pid_ = -1;
    int port_ = 0;
};

// A throwaway redis-server on a free loopback port, no persistence, in its own temporary folder.
class RedisServer {
  public:
    static std::unique_ptr<RedisServer> startIfInstalled() {
        if (access("/usr/bin/redis-server", X_OK) != 0) return nullptr;
        return std::make_unique<RedisServer>();
    }

    RedisServer() {
        int probe = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        socklen_t len = sizeof addr;
        getsockname(probe, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        close(probe);
        char dir[] = "/tmp/age-redis-XXXXXX";
        dir_ = mkdtemp(dir);
        pid_ = fork();
        if (pid_ == 0) {
            std::string port = std::to_string(port_);
            int devnull = open("/dev/null", O_WRONLY);
            dup2(devnull, 1);
            dup2(devnull, 2);
            execl("/usr/bin/redis-server", "redis-server", "--bind", "127.0.0.1", "--port", port.c_str(),
                  "--save", "", "--appendonly", "no", "--dir", dir_.c_str(), "--loglevel", "warning",
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 200; ++i) {  // up to 2 s for it to listen
            try {
                close(connectTo("127.0.0.1", port_));
                return;
            } catch (const std::exception&) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
        throw std::runtime_error("redis-server did not start");
    }
    ~RedisServer() {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        std::system(("rm -rf " + dir_).c_str());
    }
    int port() const { return port_; }

  private:
    pid_t pid_ = -1;
    int port_ = 0;
    std::string dir_;
};

void print(const char* name, Stats s, Stats echo) {
    std::printf("%-34s p50 %8.1f us   p99 %8.1f us   p50 ratio %5.2fx   p99 ratio %5.2fx\n", name, s.p50,
                s.p99, s.p50 / echo.p50, s.p99 / echo.p99);
}

}  // namespace

int main(int argc, char** argv) {
    int calls = 20000;
    std::string address;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--calls" && i + 1 < argc)
            calls = std::max(100, std::atoi(argv[++i]));
        else if (a == "--server" && i + 1 < argc)
            address = argv[++i];
        else {
            std::fprintf(stderr, "usage: rpc_roundtrip [--calls N] [--server HOST:PORT]\n");
            return 2;
        }
    }
    try {
        std::unique_ptr<age::test::TestServer> own, guarded;
        std::string host = "127.0.0.1";
        int port = 0;
        int signedIn = -1;
        std::string signedInBuffer;
        if (address.empty()) {
            guarded = std::make_unique<age::test::TestServer>(age::test::ServerSetup{
                .auth = "password", .passwords = {{"ana", "senha-de-medida"}}});
            signedIn = connectTo(guarded->host(), guarded->port());
            writeAll(signedIn, R"({"jsonrpc":"2.0","id":1,"method":"Session.Login","params":["ana","senha-de-medida"]})"
                               "\n");
            if (readLine(signedIn, signedInBuffer).find("\"ok\":true") == std::string::npos)
                throw std::runtime_error("cannot sign in on the --auth password server");
            own = std::make_unique<age::test::TestServer>();
            host = own->host();
            port = own->port();
        } else {
            host = address.substr(0, address.rfind(':'));
            port = std::stoi(address.substr(address.rfind(':') + 1));
        }

        // The exact bytes of a GetSysdate round trip, to size the echo alike.
        std::string request = age::test::LineClient::request(1, "GetSysdate", nlohmann::json::array());
        int raw = connectTo(host, port);
        std::string rawBuffer;
        writeAll(raw, request + "\n");
        std::string reply = readLine(raw, rawBuffer);

        EchoServer echo(reply);
        int echoFd = connectTo("127.0.0.1", echo.port());
        std::string echoBuffer;
        auto redis = RedisServer::startIfInstalled();
        int redisFd = redis ? connectTo("127.0.0.1", redis->port()) : -1;
        std::string redisBuffer;
        TNetConnection net;
        net.Host = host;
        net.Port = port;
        net.SetConnected(true);

        std::printf("rpc_roundtrip: %d calls each, request %zu bytes, reply %zu bytes, server %s:%d\n", calls,
                    request.size() + 1, reply.size() + 1, host.c_str(), port);
        // Interleaved rounds so that a slow moment of the machine touches all three alike.
        std::vector<double> e50, e99, r50, r99, n50, n99, p50, p99, s50, s99;
        constexpr int kRounds = 5;
        for (int round = 0; round < kRounds; ++round) {
            Stats e = measure(calls / kRounds, [&] {
                writeAll(echoFd, request + "\n");
                readLine(echoFd, echoBuffer);
            });
            Stats r = measure(calls / kRounds, [&] {
                writeAll(raw, request + "\n");
                readLine(raw, rawBuffer);
            });
            Stats n = measure(calls / kRounds, [&] { net.AppServer().Call("GetSysdate"); });
            if (redis) {
                Stats p = measure(calls / kRounds, [&] {
                    writeAll(redisFd, "PING\r\n");
                    readLine(redisFd, redisBuffer);
                });
                p50.push_back(p.p50), p99.push_back(p.p99);
            }
            if (signedIn >= 0) {
                Stats g = measure(calls / kRounds, [&] {
                    writeAll(signedIn, request + "\n");
                    readLine(signedIn, signedInBuffer);
                });
                s50.push_back(g.p50), s99.push_back(g.p99);
            }
            e50.push_back(e.p50), e99.push_back(e.p99), r50.push_back(r.p50), r99.push_back(r.p99);
            n50.push_back(n.p50), n99.push_back(n.p99);
        }
        auto median = [](std::vector<double> v) {
            std::sort(v.begin(), v.end());
            return v[v.size() / 2];
        };
        Stats echoStats{median(e50), median(e99)};
        print("bare TCP echo", echoStats, echoStats);
        print("GetSysdate, plain socket client", {median(r50), median(r99)}, echoStats);
        print("GetSysdate, TNetConnection", {median(n50), median(n99)}, echoStats);
        if (signedIn >= 0) {
            print("GetSysdate, signed-in socket", {median(s50), median(s99)}, echoStats);
            double growth = median(s50) / median(r50);
            std::printf("target: signed-in GetSysdate p50 within 5%% of the unsigned one: %s (%.3fx)\n",
                        growth <= 1.05 ? "met" : "NOT met", growth);
            close(signedIn);
        }
        double ratio = median(n50) / echoStats.p50;
        std::printf("GetSysdate through TNetConnection, p50 within 2x of the echo: %s (%.2fx)\n",
                    ratio <= 2.0 ? "met" : "NOT met", ratio);
        if (redis) {
            Stats ping{median(p50), median(p99)};
            print("Redis PING, plain socket client", ping, echoStats);
            double r50ratio = median(r50) / ping.p50, r99ratio = median(r99) / ping.p99;
            std::printf("GetSysdate vs Redis PING (same client): p50 %.2fx (goal <= 1.2x: %s), "
                        "p99 %.2fx (goal <= 2x: %s)\n",
                        r50ratio, r50ratio <= 1.2 ? "met" : "NOT met", r99ratio,
                        r99ratio <= 2.0 ? "met" : "NOT met");
            close(redisFd);
        } else {
            std::printf("redis-server not installed: no comparison with Redis\n");
        }
        close(raw);
        close(echoFd);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "rpc_roundtrip: %s\n", e.what());
        return 1;
    }
}
