// The agenda screen with a day of many bookings: leaving the selection panel (load, filter, paint) and
// toggling a status filter button on and off, each timed as the user waits for it, with the time spent
// waiting for the server apart from the client's own.
//
//   agenda_grid [--bookings N] [--rounds R]
//
// Starts its own age-server on a temporary SQLite file (clock pinned) and puts a line relay between the
// screen and the server: the relay times each request from its line to the answer's line, which is the
// server's share (the extra loopback hop, some tens of microseconds per call, counts as client time).
// Runs on the offscreen platform unless QT_QPA_PLATFORM says otherwise.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QMainWindow>
#include <QMdiArea>
#include <QTest>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "agenda/Cli_Age12100.h"
#include "platform/rpc/CheckResult.h"
#include "platform/rpc/Wire.h"
#include "platform/ui/Ormelin.h"
#include "platform/ui/Services.h"
#include "tests/support/TestServer.h"

namespace {

using Clock = std::chrono::steady_clock;
const age::Date kDay = age::makeDate(2026, 12, 7);  // the pinned server's today

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// Forwards one line-based connection at a time to the server, timing each request until its answer.
class TimingRelay {
public:
    TimingRelay(std::string upstreamHost, int upstreamPort)
        : upstreamHost_(std::move(upstreamHost)), upstreamPort_(upstreamPort) {
        listen_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr = address("127.0.0.1", 0);
        if (bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listen_, 4) != 0)
            throw std::runtime_error("relay: cannot listen");
        socklen_t len = sizeof addr;
        getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~TimingRelay() {
        stopping_ = true;
        shutdown(listen_, SHUT_RDWR);
        for (int fd : {client_.load(), upstream_.load()})
            if (fd >= 0) shutdown(fd, SHUT_RDWR);
        thread_.join();
        close(listen_);
    }
    int port() const { return port_; }
    // Server time and calls since the last reset.
    void reset() {
        serverNs_ = 0;
        calls_ = 0;
    }
    double serverMs() const { return serverNs_.load() / 1e6; }
    int calls() const { return calls_.load(); }

private:
    static sockaddr_in address(const std::string& host, int port) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, host.c_str(), &addr.sin_addr);
        return addr;
    }
    // The next line including its '\n', from the buffer or the socket; nothing at end of stream.
    static std::optional<std::string> readLine(int fd, std::string& buffer) {
        for (;;) {
            if (auto end = buffer.find('\n'); end != std::string::npos) {
                std::string line = buffer.substr(0, end + 1);
                buffer.erase(0, end + 1);
                return line;
            }
            char chunk[65536];
            ssize_t n = recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0) return std::nullopt;
            buffer.append(chunk, static_cast<std::size_t>(n));
        }
    }
    static bool writeAll(int fd, const std::string& data) {
        for (std::size_t sent = 0; sent < data.size();) {
            ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return false;
            sent += static_cast<std::size_t>(n);
        }
        return true;
    }
    void run() {
        while (!stopping_) {
            int client = accept(listen_, nullptr, nullptr);
            if (client < 0) return;
            int upstream = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in addr = address(upstreamHost_, upstreamPort_);
            int one = 1;
            setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            setsockopt(upstream, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            if (connect(upstream, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
                client_ = client;
                upstream_ = upstream;
                relay(client, upstream);
                client_ = upstream_ = -1;
            }
            close(upstream);
            close(client);
        }
    }
    void relay(int client, int upstream) {
        std::string fromClient, fromServer;
        while (auto request = readLine(client, fromClient)) {
            auto t0 = Clock::now();
            if (!writeAll(upstream, *request)) return;
            auto answer = readLine(upstream, fromServer);
            if (!answer) return;
            serverNs_ += std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0).count();
            ++calls_;
            if (!writeAll(client, *answer)) return;
        }
    }

    std::string upstreamHost_;
    int upstreamPort_;
    int listen_ = -1;
    int port_ = 0;
    std::atomic<int> client_{-1}, upstream_{-1};
    std::atomic<bool> stopping_{false};
    std::atomic<long long> serverNs_{0};
    std::atomic<int> calls_{0};
    std::thread thread_;
};

std::string hour(int minute) {
    char text[16];
    std::snprintf(text, sizeof text, "%02d%02d", minute / 60, minute % 60);
    return text;
}

// n bookings of one minute each, two minutes apart, a third each scheduled, cancelled and closed.
void seed(const age::test::TestServer& server, int n) {
    TNetConnection net;
    server.configure(net);
    auto call = [&](const char* method, std::initializer_list<TAppServer::Arg> args) {
        return Consiste::CheckResultServ(net.AppServer().Call(method, args), false, 0);
    };
    TClientDataSet ds;
    ds.LoadFromPacket(call("GetAgendaSala", {"101", kDay}));
    std::vector<std::string> seqs = age::test::handedOutSeqs(server, "101", kDay, n);
    for (int i = 0; i < n; ++i) {
        const std::string& seq = seqs[static_cast<std::size_t>(i)];
        ds.Append();
        for (auto [field, value] : {std::pair{"CDFILIAL", std::string("0001")}, {"NRSEQAGESALA", seq},
                                    {"IDSITAGESALA", std::string("A")}, {"CDSALA", std::string("101")},
                                    {"CDOPERADOR", std::string(i % 2 ? "ana" : "bruno")},
                                    {"HRINIAGESALA", hour(2 * i)}, {"HRFINAGESALA", hour(2 * i + 1)},
                                    {"DSAGENDASALA", "Reunião " + std::to_string(i + 1)}})
            ds.FieldByName(field).SetAsString(value);
        ds.FieldByName("DTATIAGESALA").SetValue(kDay);
        ds.FieldByName("DTINCAGESALA").SetValue(age::makeDateTime(2026, 12, 1, 9));
        ds.Post();
    }
    call("SetAgendaSala", {age::rpc::changeLogToJson(ds.Delta())});
    ds.LoadFromPacket(call("GetAgendaSala", {"101", kDay}));  // as stored: the server stamps what it saves
    for (ds.First(); !ds.Eof(); ds.Next()) {
        int i = ds.RecNo();
        if (i % 3 == 0) continue;
        ds.Edit();
        ds.FieldByName("IDSITAGESALA").SetAsString(i % 3 == 1 ? "C" : "E");
        ds.Post();
    }
    call("SetAgendaSala", {age::rpc::changeLogToJson(ds.Delta())});
}

struct Sample {
    double total, server;
    int calls;
};

struct Step {
    const char* name;
    std::vector<Sample> samples;
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

void report(const std::vector<Step>& steps, int bookings, int rounds) {
    std::printf("agenda screen, %d bookings in the day, %d rounds (median / worst, ms)\n", bookings, rounds);
    std::printf("%16s %16s %16s %6s  %s\n", "total", "server", "client", "calls", "step");
    for (const Step& s : steps) {
        std::vector<double> total, server, client;
        for (const Sample& x : s.samples) {
            total.push_back(x.total);
            server.push_back(x.server);
            client.push_back(x.total - x.server);
        }
        auto cell = [](const std::vector<double>& v) {
            char text[32];
            std::snprintf(text, sizeof text, "%7.2f / %6.2f", median(v), *std::max_element(v.begin(), v.end()));
            return std::string(text);
        };
        std::printf("%16s %16s %16s %6d  %s\n", cell(total).c_str(), cell(server).c_str(), cell(client).c_str(),
                    s.samples.back().calls, s.name);
    }
}

}  // namespace

int main(int argc, char** argv) {
    int bookings = 500, rounds = 7;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--bookings" && i + 1 < argc) {
            bookings = std::clamp(std::atoi(argv[++i]), 1, 700);
        } else if (a == "--rounds" && i + 1 < argc) {
            rounds = std::max(1, std::atoi(argv[++i]));
        } else {
            std::fprintf(stderr, "usage: agenda_grid [--bookings N (1..700)] [--rounds R]\n");
            return 2;
        }
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    Application::Initialize();
    age::ui::MessageService::Instance().StartRecording();

    age::test::TestServer server;
    seed(server, bookings);
    TimingRelay relay(server.host(), server.port());
    Ormelin::SetHostValues({"0001", "ana", "127.0.0.1", relay.port()});

    QMainWindow window;
    auto* mdi = new QMdiArea(&window);
    window.setCentralWidget(mdi);
    window.resize(1100, 720);
    Application::SetMainWindow(&window, mdi);
    window.show();
    QApplication::setActiveWindow(&window);
    if (!QTest::qWaitForWindowActive(&window)) {
        std::fprintf(stderr, "agenda_grid: the window did not become active\n");
        return 1;
    }
    Cli_Age12100::CriaAgendaSala();
    TfrmAgendaDeSala& f = *Cli_Age12100::frmAgendaDeSala;
    f.depAgenda->setFocus();
    f.depAgenda->SetDate(kDay);
    f.cbbSalas->setCurrentIndex(f.cbbSalas->findText("101"));
    QApplication::processEvents();

    // Each step ends when its events are handled and the grid has painted.
    auto time = [&](Step& step, const std::function<void()>& action) {
        relay.reset();
        auto t0 = Clock::now();
        action();
        QApplication::processEvents();
        f.dbgPadrao->viewport()->repaint();
        step.samples.push_back({ms(Clock::now() - t0), relay.serverMs(), relay.calls()});
    };
    std::vector<Step> steps{{"leave the panel (load and filter)", {}},
                            {"toggle \"Reuniões Canceladas\" on", {}},
                            {"toggle \"Reuniões Canceladas\" off", {}}};
    int listed = 0;
    for (int r = 0; r < rounds; ++r) {
        f.depAgenda->setFocus();
        QApplication::processEvents();
        time(steps[0], [&] { f.dbgPadrao->setFocus(); });
        time(steps[1], [&] { f.tbtCancelada->click(); });
        listed = f.cdsAgendaSala->RecordCount();
        time(steps[2], [&] { f.tbtCancelada->click(); });
    }
    report(steps, bookings, rounds);
    std::printf("listed with scheduled and cancelled shown: %d of %d\n", listed, bookings);
    for (const auto& box : age::ui::MessageService::Instance().TakeShown())
        std::printf("message shown: %s\n", box.text.c_str());
    return 0;
}
