// TNetConnection against a real age-server and against scripted peers that misbehave, and the reading of
// result envelopes.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/rpc/CheckResult.h"
#include "platform/rpc/ErrorReporter.h"
#include "platform/rpc/NetConnection.h"
#include "platform/rpc/Wire.h"
#include "tests/support/TestServer.h"

namespace {

using namespace std::chrono_literals;
using age::test::TestServer;
using nlohmann::json;

// Captures what the framework reports to the user (on the calling thread).
struct ReportedErrors {
    ReportedErrors() {
        age::rpc::SetErrorReporter([this](const std::string& m) { messages.push_back(m); });
    }
    ~ReportedErrors() { age::rpc::SetErrorReporter({}); }
    std::vector<std::string> messages;
};

int listeningSocket(int& port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || listen(fd, 16) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        throw std::runtime_error("cannot listen on loopback");
    port = ntohs(addr.sin_port);
    return fd;
}

// A port with nobody listening on it.
int deadPort() {
    int port = 0;
    close(listeningSocket(port));
    return port;
}

constexpr const char* kHangUp = "<hang up>";
constexpr char kPause = '\x01';  // never sent: the peer stops there for a while

// A peer that takes one connection and answers each line it reads with what `respond` gives (nothing: it
// stays silent). Within an answer, kPause cuts it into pieces sent apart; an answer ending in kHangUp
// closes the connection after what comes before it, and ends no line.
class ScriptedPeer {
  public:
    using Respond = std::function<std::optional<std::string>(const std::string& line)>;
    explicit ScriptedPeer(Respond respond) : respond_(std::move(respond)), listenFd_(listeningSocket(port_)) {
        thread_ = std::thread([this] { serve(); });
    }
    ~ScriptedPeer() {
        shutdown(listenFd_, SHUT_RDWR);  // wakes accept() and read() up
        if (connFd_ >= 0) shutdown(connFd_, SHUT_RDWR);
        thread_.join();
        if (connFd_ >= 0) close(connFd_);
        close(listenFd_);
    }
    int port() const { return port_; }
    std::vector<std::string> lines() {
        std::lock_guard lock(mutex_);
        return lines_;
    }

  private:
    void serve() {
        int fd = connFd_ = accept(listenFd_, nullptr, nullptr);
        std::string buffer;
        char chunk[4096];
        for (ssize_t n; fd >= 0 && (n = read(fd, chunk, sizeof chunk)) > 0;) {
            buffer.append(chunk, static_cast<std::size_t>(n));
            for (auto nl = buffer.find('\n'); nl != std::string::npos; nl = buffer.find('\n')) {
                std::string line = buffer.substr(0, nl);
                buffer.erase(0, nl + 1);
                {
                    std::lock_guard lock(mutex_);
                    lines_.push_back(line);
                }
                if (auto answer = respond_(line)) play(fd, *answer);
            }
        }
    }

    static void play(int fd, std::string answer) {
        const bool hangUp = answer.ends_with(kHangUp);
        answer = hangUp ? answer.substr(0, answer.size() - std::strlen(kHangUp)) : answer + '\n';
        for (std::size_t from = 0, pause = 0; pause != std::string::npos; from = pause + 1) {
            pause = answer.find(kPause, from);
            const std::string piece = answer.substr(from, pause - from);
            if (send(fd, piece.data(), piece.size(), MSG_NOSIGNAL) < 0) return;  // the client gave up on it
            if (pause != std::string::npos) std::this_thread::sleep_for(25ms);
        }
        if (hangUp) shutdown(fd, SHUT_RDWR);
    }

    Respond respond_;
    int port_ = 0;
    int listenFd_;
    std::atomic<int> connFd_{-1};
    std::thread thread_;
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

template <class E>
std::string messageOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const E& e) {
        return e.what();
    }
    ADD_FAILURE() << "nothing thrown";
    return {};
}

std::string callError(TNetConnection& net, const char* method = "GetSala") {
    return messageOf<EConnectionError>([&] { net.AppServer().Call(method); });
}

std::string replyTo(const std::string& requestLine, const json& result) {
    return json{{"jsonrpc", "2.0"}, {"id", json::parse(requestLine)["id"]}, {"result", result}}.dump();
}

TEST(Connection, ADownServerIsAClearErrorNamingItsAddress) {
    TNetConnection net;
    net.Port = deadPort();
    const std::string address = "127.0.0.1:" + std::to_string(net.Port);
    std::string message = callError(net);
    EXPECT_EQ(message,
              "Não foi possível conectar ao servidor de aplicação em " + address + ": conexão recusada.");
    EXPECT_FALSE(net.Connected());

    // ThrowException false: silent and disconnected, so the next call's exception is the one report.
    ReportedErrors reported;
    EXPECT_NO_THROW(net.SetConnected(true));
    EXPECT_FALSE(net.Connected());
    EXPECT_EQ(callError(net), message);
    net.ThrowException = true;
    EXPECT_THROW(net.SetConnected(true), EConnectionError);
    EXPECT_TRUE(reported.messages.empty());
}

TEST(Connection, BeforeConnectSetsTheAddressOfEveryConnectAndTheNextCallAfterARestartReconnects) {
    TestServer server;
    const int port = server.port();
    TNetConnection net;
    net.Port = deadPort();
    int connects = 0;
    net.BeforeConnect = [&](TNetConnection& c) {
        ++connects;
        c.Port = port;
    };
    net.SetConnected(true);
    net.SetConnected(true);  // open already: no new connect
    EXPECT_TRUE(net.Connected());
    EXPECT_EQ(connects, 1);
    net.SetConnected(false);
    EXPECT_FALSE(net.Connected());
    EXPECT_NO_THROW(net.AppServer().Call("GetSala"));  // a call connects when needed
    EXPECT_EQ(connects, 2);

    // Restarted between two calls: the stale socket is noticed before sending and replaced.
    server.kill();
    server.start(port);
    EXPECT_NO_THROW(net.AppServer().Call("GetSala"));
    EXPECT_EQ(connects, 3);

    // Down during a call: a clear error; up again: the next call works.
    server.kill();
    std::string message = callError(net);
    EXPECT_NE(message.find("127.0.0.1:" + std::to_string(port)), std::string::npos) << message;
    EXPECT_FALSE(net.Connected());
    server.start(port);
    EXPECT_NO_THROW(net.AppServer().Call("GetSala"));
    EXPECT_TRUE(net.Connected());
}

TEST(Connection, AGarbledMissingOrForeignReplyIsAConnectionError) {
    const std::pair<ScriptedPeer::Respond, std::string> peers[] = {
        {[](const std::string& line) { return line.substr(0, line.size() / 2); }, "resposta inválida"},
        {[](const std::string&) { return kHangUp; }, "(GetSala): conexão encerrada pelo servidor."},
        {[](const std::string&) {  // mid-reply
             return R"({"jsonrpc":"2.0","id":1,"res)" + (kPause + std::string(kHangUp));
         },
         "(GetSala): conexão encerrada pelo servidor."},
        // Read up to the limit and no further, even though the peer keeps the connection open.
        {[](const std::string&) { return std::string(age::rpc::kMaxResponseBytes + 1, 'x'); },
         "(GetSala): resposta grande demais."},
        {[](const std::string&) { return R"({"jsonrpc":"2.0","id":999,"result":{"ok":true,"data":null}})"; },
         "resposta a outra chamada (id 999, esperado 1)"},
        {[](const std::string&) {
             return R"({"jsonrpc":"2.0","id":1,"result":)" + std::string(150000, '[') +
                    std::string(150000, ']') + "}";
         },
         "resposta inválida: "},
        {[](const std::string&) {
             return R"({"jsonrpc":"2.0","id":null,"error":{"code":-32600,"message":"Limite de conexões."}})";
         },
         "(GetSala): Limite de conexões."},
    };
    for (const auto& [respond, expected] : peers) {
        ScriptedPeer peer(respond);
        TNetConnection net;
        net.Port = peer.port();
        std::string message = callError(net);
        EXPECT_EQ(message.find("Falha na comunicação com o servidor de aplicação em 127.0.0.1:"), 0u)
            << message;
        EXPECT_NE(message.find(expected), std::string::npos) << message;
        EXPECT_FALSE(net.Connected());
    }
}

TEST(Connection, ASilentServerTimesOutWhileTheWaitingHookRuns) {
    ScriptedPeer silent([](const std::string&) { return std::nullopt; });
    TNetConnection net;
    net.Port = silent.port();
    net.Timeout = 250ms;
    int slices = 0;
    std::string nested;
    TNetConnection::WhileWaiting = [&] {
        if (slices++ == 0) nested = callError(net, "GetSysdate");
    };
    std::string message = callError(net);
    TNetConnection::WhileWaiting = nullptr;

    EXPECT_EQ(message, "O servidor de aplicação em 127.0.0.1:" + std::to_string(silent.port()) +
                           " não respondeu em 250 ms (GetSala).");
    EXPECT_GT(slices, 3);
    EXPECT_NE(nested.find("ainda aguarda resposta"), std::string::npos) << nested;
    EXPECT_EQ(silent.lines().size(), 1u);  // the nested call sent nothing
    EXPECT_FALSE(net.Connected());
}

// Replies longer than one read and cut into pieces that come apart, twice on one connection, while the
// waiting hook runs and signals interrupt the waits; then a request larger than the socket buffers.
TEST(Connection, RequestsAndRepliesCrossWholeHoweverTheTransportCutsThem) {
    json numbers = json::array();
    for (int i = 0; i < 60000; ++i) numbers.push_back(i);
    ScriptedPeer peer([&](const std::string& line) {
        const json request = json::parse(line);
        if (request["method"] == "AGE12100.rdmAgendaSala.Eco")
            return replyTo(line, request["params"][0].get<std::string>().size());
        std::string reply = replyTo(line, numbers);
        const std::size_t size = reply.size();
        for (std::size_t cut : {size, size - 1, 2 * size / 3, size / 3, std::size_t{1}})  // back to front
            reply.insert(cut, 1, kPause);
        return reply;
    });
    TNetConnection net;
    net.Port = peer.port();
    int slices = 0;
    TNetConnection::WhileWaiting = [&] { ++slices; };
    const std::string big(8 << 20, 'a');
    {
        struct sigaction quiet {};  // no SA_RESTART; it stays, so a signal still on its way ends nothing
        quiet.sa_handler = [](int) {};
        sigaction(SIGUSR1, &quiet, nullptr);
        std::jthread signals([caller = pthread_self()](std::stop_token stop) {
            for (; !stop.stop_requested(); std::this_thread::sleep_for(1ms)) pthread_kill(caller, SIGUSR1);
        });
        EXPECT_EQ(net.AppServer().Call("GetSala").Json(), numbers);
        EXPECT_EQ(net.AppServer().Call("GetSala").Json(), numbers);
        EXPECT_EQ(net.AppServer().Call("Eco", {big}).Json(), big.size());
    }
    TNetConnection::WhileWaiting = nullptr;

    EXPECT_GT(slices, 0);
    auto lines = peer.lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(json::parse(lines[2])["params"][0] == big);
}

// One read brought the reply and bytes after it, which answer nothing this client asked.
TEST(Connection, BytesPastAReplyAreKeptAndTheNextCallTakesThemForAStreamOutOfStep) {
    ScriptedPeer peer([](const std::string& line) -> std::optional<std::string> {
        if (json::parse(line)["id"] != 1) return std::nullopt;
        return replyTo(line, "primeira") + "\n" + R"({"jsonrpc":"2.0","id":2,"result":"segunda"})";
    });
    TNetConnection net;
    net.Port = peer.port();
    net.Timeout = 200ms;
    EXPECT_EQ(net.AppServer().Call("GetSala").Json(), "primeira");
    std::string message = callError(net);
    EXPECT_NE(message.find("não respondeu em 200 ms (GetSala)"), std::string::npos) << message;
    EXPECT_EQ(peer.lines().size(), 1u);  // the second call went on a new connection, which nobody serves
}

TEST(Connection, ArgumentsGoAsPositionalParamsOfTheNamedModule) {
    ScriptedPeer echo([](const std::string& line) {
        return json{{"jsonrpc", "2.0"}, {"id", json::parse(line)["id"]}, {"result", age::rpc::okEnvelope()}}
            .dump();
    });
    TNetConnection net;
    net.Port = echo.port();
    std::string byRef = "_08/12/2026";
    net.AppServer().Call(
        "Metodo", {"texto", std::string("outro"), age::makeDate(2026, 12, 7),
                   age::makeDateTime(2026, 12, 7, 9, 30), 42, json{{"k", 1}}, TAppServer::Arg::Ref(byRef)});
    net.AppServer().Call("GetSysdate");
    auto lines = echo.lines();
    ASSERT_EQ(lines.size(), 2u);
    json first = json::parse(lines[0]), second = json::parse(lines[1]);
    EXPECT_EQ(first["jsonrpc"], "2.0");
    EXPECT_EQ(first["method"], "AGE12100.rdmAgendaSala.Metodo");
    EXPECT_EQ(
        first["params"],
        json::parse(R"(["texto","outro","2026-12-07","2026-12-07T09:30:00",42,{"k":1},"_08/12/2026"])"));
    EXPECT_EQ(second["params"], json::array());
    EXPECT_NE(first["id"], second["id"]);
    EXPECT_EQ(byRef, "_08/12/2026");  // no "byref" in the answer: left as it was
}

// A driver with sockets of its own writes the connection's very bytes and judges replies as it does.
TEST(CallCodec, TheLineIsTheConnectionsAndAReplyIsReadAsTheConnectionReadsIt) {
    ScriptedPeer echo([](const std::string& line) { return replyTo(line, age::rpc::okEnvelope()); });
    TNetConnection net;
    net.Port = echo.port();
    std::string days = "_08/12/2026";
    const std::initializer_list<TAppServer::Arg> args{"texto", age::makeDate(2026, 12, 7), 42, json{{"k", 1}},
                                                      TAppServer::Arg::Ref(days)};
    net.AppServer().Call("Metodo", args);
    ASSERT_EQ(echo.lines().size(), 1u);
    EXPECT_EQ(age::rpc::callLine(1, "AGE12100.rdmAgendaSala.Metodo", args), echo.lines()[0] + "\n");

    std::string why;
    EXPECT_FALSE(age::rpc::replyTo(R"({"jsonrpc":"2.0","id":999,"result":1})", 1, why));
    EXPECT_EQ(why, "resposta a outra chamada (id 999, esperado 1)");
    EXPECT_FALSE(age::rpc::replyTo(R"({"jsonrpc":"2.0","id":1,"res)", 1, why));
    EXPECT_TRUE(why.starts_with("resposta inválida: ")) << why;
    EXPECT_FALSE(age::rpc::replyTo(
        age::rpc::encodeResponse(age::rpc::errorResponse(nullptr, -32600, "Limite de conexões.")), 1, why));
    EXPECT_EQ(why, "Limite de conexões");

    age::rpc::Response answer;
    answer.id = 2;
    answer.result = "1_08/12/2026";
    answer.byref = {{2, "_10/12/2026"}};
    auto reply = age::rpc::replyTo(age::rpc::encodeResponse(answer) + "\r", 2, why);
    ASSERT_TRUE(reply);
    std::string room = "101";
    const TAppServer::Arg pesqArgs[] = {"0001", TAppServer::Arg::Ref(room), TAppServer::Arg::Ref(days)};
    TResult result = age::rpc::callResult(std::move(*reply), pesqArgs);
    EXPECT_EQ(result.Json(), "1_08/12/2026");
    EXPECT_EQ(days, "_10/12/2026");
    EXPECT_EQ(room, "101");  // by reference but not returned: unchanged

    reply = age::rpc::replyTo(
        age::rpc::encodeResponse(age::rpc::errorResponse(3, age::rpc::code::MethodNotFound, "Sem método.")),
        3, why);
    ASSERT_TRUE(reply);
    try {
        age::rpc::callResult(std::move(*reply), {});
        ADD_FAILURE() << "no error";
    } catch (const ERpcError& e) {
        EXPECT_EQ(e.Code(), age::rpc::code::MethodNotFound);
        EXPECT_STREQ(e.what(), "Sem método.");
    }
}

TEST(Connection, ServerErrorsCarryCodeAndMessageAndByReferenceArgumentsTakeTheServersValue) {
    TestServer server;
    TNetConnection net;
    server.configure(net);
    try {
        net.AppServer().Call("GetNada");
        ADD_FAILURE() << "no error";
    } catch (const ERpcError& e) {
        EXPECT_EQ(e.Code(), age::rpc::code::MethodNotFound);
        EXPECT_STREQ(e.what(), "O módulo AGE12100.rdmAgendaSala não tem o método \"GetNada\".");
    }
    static_assert(!std::is_base_of_v<EAbort, ERpcError> && !std::is_base_of_v<EAbort, EConnectionError>);
    EXPECT_TRUE(net.Connected());

    std::string list = "_08/12/2026_09/12/2026";
    auto created = Consiste::CheckResultServ(
        net.AppServer().Call("SetHrSala", {"0001", "ana", TAppServer::Arg::Ref(list), "", "A", "Modelo",
                                           "0800", "0900", "101"}),
        false, 0);
    ASSERT_EQ(created.rows.size(), 2u);
    std::string days = "_08/12/2026_10/12/2026", room = "101";
    json reply =
        net.AppServer().Call("GetPesqSala", {"0001", TAppServer::Arg::Ref(room), TAppServer::Arg::Ref(days),
                                             age::data::valueText(created.rows[0][1])});
    EXPECT_EQ(reply, "1_08/12/2026");
    EXPECT_EQ(days, "_10/12/2026");
    EXPECT_EQ(room, "101");  // by reference but not returned: unchanged
}

TEST(CheckResultServ, ReturnsThePacketOfAnAcceptedCallAndReportsARefusalOnce) {
    age::data::Packet p;
    p.fields = {{"CDSALA", age::data::FieldType::String, 5}};
    p.rows = {{std::string("101")}};
    EXPECT_EQ(Consiste::CheckResultServ(age::rpc::okEnvelope(p), true, 0), p);
    EXPECT_EQ(Consiste::CheckResultServ(age::rpc::okEnvelope(), true, 0), age::data::Packet{});

    ReportedErrors reported;
    const std::string text = "Sala já está reservada para este horário.";
    try {
        Consiste::CheckResultServ(age::rpc::errorEnvelope(text), true, 0);
        ADD_FAILURE() << "accepted";
    } catch (const EAbort& e) {  // a silent abort for the screens
        EXPECT_NE(dynamic_cast<const EServerError*>(&e), nullptr);
        EXPECT_EQ(e.what(), text);
    }
    EXPECT_EQ(reported.messages, std::vector<std::string>{text});
    EXPECT_THROW(Consiste::CheckResultServ(age::rpc::errorEnvelope(text), false, 0), EServerError);
    EXPECT_EQ(reported.messages.size(), 1u);  // not shown when the caller said so

    for (const json& bad :
         {json("1"), json::array(), json{{"ok", "sim"}}, json{{"ok", true}, {"data", {{"rows", 1}}}}}) {
        std::string message = messageOf<EServerError>([&] { Consiste::CheckResultServ(bad, true, 0); });
        EXPECT_EQ(message, "Resposta inesperada do servidor de aplicação.") << bad;  // detail: the log
    }
    EXPECT_EQ(reported.messages.size(), 5u);
}

}  // namespace
