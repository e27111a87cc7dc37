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
//
// On a virtual machine, waking a thread on an idle vCPU costs tens of microseconds, so a round trip costs
// several times more when client and server run on different CPUs. The rounds therefore run under three
// placements: "free" (the scheduler chooses, and each round prints where client and servers ran), "same
// CPU" (the client thread and every server thread on one CPU) and "split" (client on one CPU, servers on
// another). A server given with --server cannot be pinned: then only "free" runs.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
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

// `afterEach`, when given, runs after every timed call, outside the time taken.
Stats measure(int calls, const std::function<void()>& roundTrip,
              const std::function<void()>& afterEach = {}) {
    for (int i = 0; i < calls / 10 + 10; ++i) roundTrip();  // warm up
    std::vector<double> us;
    us.reserve(static_cast<std::size_t>(calls));
    for (int i = 0; i < calls; ++i) {
        auto t0 = Clock::now();
        roundTrip();
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
        if (afterEach) afterEach();
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
    pid_t pid() const { return pid_; }

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
    pid_t pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
    int port_ = 0;
    std::string dir_;
};

// ---- Where the threads run ----

std::vector<pid_t> threadsOf(pid_t pid) {
    std::vector<pid_t> tids;
    std::error_code gone;  // a process that has exited has no threads to list
    for (const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", gone))
        tids.push_back(std::stoi(entry.path().filename().string()));
    return tids;
}

// Every thread the process has now; threads it starts later inherit the mask of the one that starts them.
void pinProcess(pid_t pid, const cpu_set_t& cpus) {
    for (pid_t tid : threadsOf(pid))
        if (sched_setaffinity(tid, sizeof cpus, &cpus) != 0 && errno != ESRCH)
            throw std::runtime_error("cannot pin thread " + std::to_string(tid) + ": " +
                                     std::strerror(errno));
}

cpu_set_t onlyCpu(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return set;
}

struct ThreadState {
    int cpu;       // the CPU it last ran on
    double runNs;  // CPU time so far
};

std::optional<ThreadState> threadState(pid_t pid, pid_t tid) {
    std::string base = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid);
    std::ifstream statFile(base + "/stat");
    std::string stat((std::istreambuf_iterator<char>(statFile)), std::istreambuf_iterator<char>());
    auto nameEnd = stat.rfind(')');  // the thread name may hold spaces and parentheses
    if (nameEnd == std::string::npos) return std::nullopt;
    std::istringstream rest(stat.substr(nameEnd + 1));
    std::vector<std::string> f{std::istream_iterator<std::string>(rest),
                               std::istream_iterator<std::string>()};
    if (f.size() < 37) return std::nullopt;  // f[0] is field 3; utime 14, stime 15, processor 39
    ThreadState state{std::stoi(f[36]), 0};
    std::ifstream schedstat(base + "/schedstat");
    if (!(schedstat >> state.runNs))  // without schedstat, the clock ticks of user and system time
        state.runNs = (std::stod(f[11]) + std::stod(f[12])) * 1e9 / static_cast<double>(sysconf(_SC_CLK_TCK));
    return state;
}

std::map<pid_t, ThreadState> threadStates(pid_t pid) {
    std::map<pid_t, ThreadState> states;
    for (pid_t tid : threadsOf(pid))
        if (auto state = threadState(pid, tid)) states.emplace(tid, *state);
    return states;
}

// The CPUs last run on by the threads that worked between the two samples: a server's idle threads
// (timers, spare workers) say nothing about where it answered.
std::set<int> workingCpus(const std::map<pid_t, ThreadState>& before,
                          const std::map<pid_t, ThreadState>& after) {
    std::map<pid_t, double> worked;
    double most = 0;
    for (const auto& [tid, state] : after) {
        auto was = before.find(tid);
        worked[tid] = state.runNs - (was == before.end() ? 0 : was->second.runNs);
        most = std::max(most, worked[tid]);
    }
    std::set<int> cpus;
    for (const auto& [tid, ns] : worked)
        if (most > 0 && ns >= most / 10) cpus.insert(after.at(tid).cpu);
    return cpus;
}

// ---- Clients, placements and rounds ----

struct Client {
    std::string label;  // in the table
    std::string tag;    // to find it by
    pid_t server;       // -1 when not ours: it cannot be pinned nor looked at
    std::function<void()> roundTrip;
    std::vector<double> p50{}, p99{};  // one of each per round
    std::vector<std::string> where{};  // per round, in the free placement: where it ran
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

Stats overRounds(const Client& c) {
    return {median(c.p50), median(c.p99)};
}

enum class Placement { Free, SameCpu, Split };

struct Cpus {
    cpu_set_t all;  // what the bench may use, restored for "free"
    int client = -1, server = -1;
};

void place(Placement placement, const Cpus& cpus, const std::vector<Client>& clients) {
    bool free = placement == Placement::Free;
    cpu_set_t mine = free ? cpus.all : onlyCpu(cpus.client);
    cpu_set_t theirs = free ? cpus.all : onlyCpu(placement == Placement::SameCpu ? cpus.client : cpus.server);
    pinProcess(getpid(), mine);
    for (const auto& c : clients)
        if (c.server > 0) pinProcess(c.server, theirs);
}

std::string cpuList(const std::set<int>& cpus) {
    std::string list;
    for (int cpu : cpus) list += (list.empty() ? "" : "+") + std::to_string(cpu);
    return cpus.empty() ? "?" : list;
}

// "0/1 apart": the CPUs the client thread ran its timed calls on, then the CPUs the server's working threads
// last ran on; "mixed" when either side moved during the round.
std::string whereItRan(const Client& c, const std::set<int>& clientCpus,
                       const std::map<pid_t, ThreadState>& before) {
    if (c.server <= 0) return cpuList(clientCpus) + "/? not ours";
    std::set<int> serverCpus = workingCpus(before, threadStates(c.server));
    bool apart =
        std::none_of(serverCpus.begin(), serverCpus.end(), [&](int cpu) { return clientCpus.count(cpu); });
    bool shared = clientCpus.size() == 1 && serverCpus == clientCpus;
    const char* verdict = serverCpus.empty() ? "unseen" : shared ? "shared" : apart ? "apart" : "mixed";
    return cpuList(clientCpus) + "/" + cpuList(serverCpus) + " " + verdict;
}

constexpr int kRounds = 5;

// Interleaved rounds so that a slow moment of the machine touches every client alike.
void runRounds(Placement placement, const Cpus& cpus, std::vector<Client>& clients, int calls) {
    bool free = placement == Placement::Free;
    for (auto& c : clients) c.p50.clear(), c.p99.clear(), c.where.clear();
    for (int round = 1; round <= kRounds; ++round) {
        place(placement, cpus, clients);  // each round: a server may have started threads since
        for (auto& c : clients) {
            auto before = free && c.server > 0 ? threadStates(c.server) : std::map<pid_t, ThreadState>{};
            std::set<int> clientCpus;
            std::function<void()> noteCpu = [&] { clientCpus.insert(sched_getcpu()); };
            Stats s = measure(calls / kRounds, c.roundTrip, free ? noteCpu : nullptr);
            c.p50.push_back(s.p50), c.p99.push_back(s.p99);
            if (free) c.where.push_back(whereItRan(c, clientCpus, before));
        }
    }
}

// Per client, each free round's placement next to its p50, so that a fast or slow figure shows its cause.
void printWhere(const std::vector<Client>& clients) {
    std::printf(
        "per round: client CPU(s)/server CPU(s) and p50 in us (server: the CPU its working threads last "
        "ran on)\n");
    for (const auto& c : clients) {
        std::printf("  %-32s", c.label.c_str());
        for (std::size_t round = 0; round < c.where.size(); ++round)
            std::printf("  %-12s%6.1f", c.where[round].c_str(), c.p50[round]);
        std::printf("\n");
    }
}

void print(const char* name, Stats s, Stats echo) {
    std::printf("%-34s p50 %8.1f us   p99 %8.1f us   p50 ratio %5.2fx   p99 ratio %5.2fx\n", name, s.p50,
                s.p99, s.p50 / echo.p50, s.p99 / echo.p99);
}

const Client* byTag(const std::vector<Client>& clients, const std::string& tag) {
    for (const auto& c : clients)
        if (c.tag == tag) return &c;
    return nullptr;
}

void report(const std::vector<Client>& clients) {
    Stats echo = overRounds(*byTag(clients, "echo"));
    for (const auto& c : clients) print(c.label.c_str(), overRounds(c), echo);
    Stats plain = overRounds(*byTag(clients, "socket"));
    if (const Client* signedIn = byTag(clients, "signed-in")) {
        double growth = overRounds(*signedIn).p50 / plain.p50;
        std::printf("target: signed-in GetSysdate p50 within 5%% of the unsigned one: %s (%.3fx)\n",
                    growth <= 1.05 ? "met" : "NOT met", growth);
    }
    double ratio = overRounds(*byTag(clients, "TNetConnection")).p50 / echo.p50;
    std::printf("GetSysdate through TNetConnection, p50 within 2x of the echo: %s (%.2fx)\n",
                ratio <= 2.0 ? "met" : "NOT met", ratio);
    if (const Client* redis = byTag(clients, "Redis")) {
        Stats ping = overRounds(*redis);
        double r50 = plain.p50 / ping.p50, r99 = plain.p99 / ping.p99;
        std::printf(
            "GetSysdate vs Redis PING (same client): p50 %.2fx (goal <= 1.2x: %s), "
            "p99 %.2fx (goal <= 2x: %s)\n",
            r50, r50 <= 1.2 ? "met" : "NOT met", r99, r99 <= 2.0 ? "met" : "NOT met");
    } else {
        std::printf("redis-server not installed: no comparison with Redis\n");
    }
}

// The placements this machine and this run allow; "free" first, while nothing has been pinned yet, so that
// its figures are the scheduler's own choice.
std::vector<Placement> placementsFor(Cpus& cpus, const std::string& externalServer) {
    if (sched_getaffinity(0, sizeof cpus.all, &cpus.all) != 0)
        throw std::runtime_error("sched_getaffinity failed");
    for (int cpu = 0; cpu < CPU_SETSIZE && cpus.server < 0; ++cpu)
        if (CPU_ISSET(cpu, &cpus.all)) (cpus.client < 0 ? cpus.client : cpus.server) = cpu;
    if (!externalServer.empty()) {
        std::printf("the server at %s is not ours to pin: free placement only\n", externalServer.c_str());
        return {Placement::Free};
    }
    if (cpus.server < 0) {
        std::printf("one CPU available: free placement only\n");
        return {Placement::Free};
    }
    return {Placement::Free, Placement::SameCpu, Placement::Split};
}

void heading(Placement placement, const Cpus& cpus) {
    switch (placement) {
        case Placement::Free:
            std::printf("\n== free: no pinning, the scheduler places client and servers\n");
            break;
        case Placement::SameCpu:
            std::printf("\n== same CPU: client thread and every server thread on CPU %d\n", cpus.client);
            break;
        case Placement::Split:
            std::printf("\n== split: client thread on CPU %d, every server thread on CPU %d\n", cpus.client,
                        cpus.server);
            break;
    }
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
            guarded = std::make_unique<age::test::TestServer>(
                age::test::ServerSetup{.auth = "password", .passwords = {{"ana", "senha-de-medida"}}});
            signedIn = connectTo(guarded->host(), guarded->port());
            writeAll(signedIn,
                     R"({"jsonrpc":"2.0","id":1,"method":"Session.Login","params":["ana","senha-de-medida"]})"
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

        pid_t ownPid = own ? own->pid() : -1;
        std::vector<Client> clients;
        clients.push_back({"bare TCP echo", "echo", echo.pid(), [&] {
                               writeAll(echoFd, request + "\n");
                               readLine(echoFd, echoBuffer);
                           }});
        clients.push_back({"GetSysdate, plain socket client", "socket", ownPid, [&] {
                               writeAll(raw, request + "\n");
                               readLine(raw, rawBuffer);
                           }});
        clients.push_back({"GetSysdate, TNetConnection", "TNetConnection", ownPid,
                           [&] { net.AppServer().Call("GetSysdate"); }});
        if (redis)
            clients.push_back({"Redis PING, plain socket client", "Redis", redis->pid(), [&] {
                                   writeAll(redisFd, "PING\r\n");
                                   readLine(redisFd, redisBuffer);
                               }});
        if (signedIn >= 0)
            clients.push_back({"GetSysdate, signed-in socket", "signed-in", guarded->pid(), [&] {
                                   writeAll(signedIn, request + "\n");
                                   readLine(signedIn, signedInBuffer);
                               }});

        std::printf(
            "rpc_roundtrip: %d calls each per placement, request %zu bytes, reply %zu bytes, "
            "server %s:%d\n",
            calls, request.size() + 1, reply.size() + 1, host.c_str(), port);
        Cpus cpus;
        for (Placement placement : placementsFor(cpus, address)) {
            heading(placement, cpus);
            runRounds(placement, cpus, clients, calls);
            if (placement == Placement::Free) printWhere(clients);
            report(clients);
        }
        if (signedIn >= 0) close(signedIn);
        if (redisFd >= 0) close(redisFd);
        close(raw);
        close(echoFd);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "rpc_roundtrip: %s\n", e.what());
        return 1;
    }
}
