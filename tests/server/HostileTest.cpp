// Clients that attack the server: deep nesting, huge numbers, forged log lines, replies too large or never
// read, and more connections than descriptors. The server answers, stays up and serves everyone else.
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "tests/server/ServerFixture.h"
#include "tests/support/TestCertificate.h"

namespace age::test {
namespace {

using namespace std::chrono_literals;

int errorCode(const json& response) {
    return response.at("error").at("code").get<int>();
}

std::size_t count(const std::string& text, const std::string& word) {
    std::size_t n = 0;
    for (auto at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) ++n;
    return n;
}

const std::string kModule = "AGE12100.rdmAgendaSala.";
const Date kTomorrow = makeDate(2026, 12, 8);

// Books `n` bookings of room 101 tomorrow (five minutes each, apart, from the `first`-th slot of six
// minutes) with `refLength`-character references.
void bookMany(LineClient& client, int n, std::size_t refLength, int first = 0) {
    std::vector<data::Change> inserts;
    for (int i = first; i < first + n; ++i) {
        json seq;
        for (int attempt = 0; attempt < 100; ++attempt) {  // a client asking fast may be told to wait
            json r = client.call("GetNrSeq", json::array({"101", formatIsoDate(kTomorrow)}));
            if (r["result"]["ok"] == true) {
                seq = r["result"]["data"]["rows"][0][0];
                break;
            }
            std::this_thread::sleep_for(20ms);
        }
        ASSERT_TRUE(seq.is_string());
        auto hhmm = [](int minutes) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "%02d%02d", minutes / 60, minutes % 60);
            return std::string(buf);
        };
        NewBooking b{.start = hhmm(i * 6),
                     .end = hhmm(i * 6 + 5),
                     .day = kTomorrow,
                     .reference = std::string(refLength, 'r')};
        inserts.push_back(insertOf(rowOf(b, seq.get<std::string>())));
    }
    json r = client.call("SetAgendaSala", json::array({deltaOf(std::move(inserts))}));
    ASSERT_EQ(r["result"]["ok"], true) << r.dump().substr(0, 300);
}

std::string tomorrowsAgenda(int id) {
    return LineClient::request(id, "GetAgendaSala", json::array({"101", formatIsoDate(kTomorrow)}));
}

// Seconds of processor the process has used (user and system).
double cpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    long ticks = 0;
    for (int i = 3; fields >> field && i <= 15; ++i)
        if (i == 14 || i == 15) ticks += std::stol(field);  // utime, stime
    return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

class Hostile : public ::testing::Test {
  protected:
    TestServer server;
    LineClient client{server.host(), server.port()};
};

TEST_F(Hostile, DeepNestingIsRefusedBeforeItIsReadAndTheServerStaysUp) {
    const std::size_t levels = 150000;
    std::string arrays = R"({"jsonrpc":"2.0","id":1,"method":"x","params":[)" + std::string(levels, '[') +
                         std::string(levels, ']') + "]}";
    std::string objects = R"({"jsonrpc":"2.0","id":2,"method":"x","params":[)";
    for (std::size_t i = 0; i < levels; ++i) objects += R"({"a":)";
    objects += "1" + std::string(levels, '}') + "]}";
    ASSERT_LT(objects.size(), rpc::kMaxLineBytes);
    for (const auto& line : {arrays, objects}) {
        ASSERT_TRUE(client.sendLine(line));
        auto answer = client.readLine();
        ASSERT_TRUE(answer) << "no answer: the server fell";
        EXPECT_EQ(errorCode(json::parse(*answer)), rpc::code::InvalidRequest) << *answer;
    }
    EXPECT_TRUE(client.call("GetSysdate", json::array()).contains("result"));
}

TEST_F(Hostile, NotificationsAreCarriedOutWithoutAnAnswerAndHugeNumbersAreBadParameters) {
    ASSERT_TRUE(client.sendLine(R"({"jsonrpc":"2.0","method":")" + kModule + R"(GetSysdate","params":[]})"));
    ASSERT_TRUE(client.sendLine(LineClient::request(2, "GetSala", json::array())));
    json first = json::parse(client.readLine().value());
    EXPECT_EQ(first["id"], 2) << "the notification was answered";

    ASSERT_TRUE(client.sendLine(R"({"jsonrpc":"2.0","id":3,"method":")" + kModule +
                                R"(GetHora","params":["101",1e400]})"));
    json huge = json::parse(client.readLine().value());
    EXPECT_EQ(huge["id"], 3);
    EXPECT_EQ(errorCode(huge), rpc::code::InvalidParams);
}

TEST_F(Hostile, ClientTextReachesTheLogEscapedAndCutShort) {
    const std::string forged = "\n[2026-12-08 06:00:00.000] [age-server] [info] forjada";
    json unknownRoom = client.call("GetNrSeq", json::array({"101" + forged, "2026-12-08"}));
    EXPECT_EQ(unknownRoom["result"]["error"],
              "Sala \"101\\n[2026-12-08 06:00:00.000] [age-server] [info] forjada\" não cadastrada.");
    client.call("GetNada" + forged, json::array());
    ASSERT_TRUE(client.sendLine(R"({"jsonrpc":"2.0","id":1,"method":"OUTRO)" + std::string("\\u0001") +
                                R"(.rdm.X","params":[]})"));
    json otherModule = json::parse(client.readLine().value());
    EXPECT_EQ(otherModule["error"]["message"], "Módulo remoto desconhecido: \"OUTRO\\x01.rdm\".");

    const std::string big(1 << 19, 'x');
    for (int i = 0; i < 20; ++i) {
        json r = client.call("GetNrSeq", json::array({big, "2026-12-08"}));
        EXPECT_LT(r.dump().size(), 300u);
    }
    json longName = client.call(big, json::array());
    EXPECT_LT(longName.dump().size(), 400u);
    const std::string field(100000, 'f');
    json twice = {
        {"fields",
         {{{"name", field + "\n"}, {"type", "string"}}, {{"name", field + "\n"}, {"type", "string"}}}},
        {"changes", json::array()}};
    json repeated = client.call("SetAgendaSala", json::array({twice}));
    EXPECT_EQ(errorCode(repeated), rpc::code::InvalidParams);
    EXPECT_LT(repeated.dump().size(), 400u);
    json unknownOp = deltaOf({});
    unknownOp["changes"] = {{{"op", field + forged}}};
    json op = client.call("SetAgendaSala", json::array({unknownOp}));
    EXPECT_EQ(errorCode(op), rpc::code::InvalidParams);
    EXPECT_LT(op.dump().size(), 400u);

    server.stop();
    std::string log = server.log();
    EXPECT_EQ(count(log, "\n[2026-12-08 06:00:00.000]"), 0u) << log;
    EXPECT_GE(count(log, "[info] forjada"), 2u) << log;  // shown inside the lines that quote it
    EXPECT_LT(log.size(), 16u * 1024) << "20 calls with 512 KB of text each";
}

TEST(HostileReplies, AReplyOverTheCapIsRefusedAndSmallerOnesPass) {
    TestServer server(ServerSetup{.serveArgs = {"--max-reply-bytes", "65536"}});
    LineClient client(server.host(), server.port());
    bookMany(client, 20, 1000);
    ASSERT_TRUE(client.sendLine(tomorrowsAgenda(1)));
    json small = json::parse(client.readLine().value());
    EXPECT_EQ(small["result"]["data"]["rows"].size(), 20u);

    bookMany(client, 60, 1000, 20);  // about 90 KB of bookings
    ASSERT_TRUE(client.sendLine(tomorrowsAgenda(2)));
    json large = json::parse(client.readLine().value());
    EXPECT_EQ(large["id"], 2);
    EXPECT_EQ(large["result"]["ok"], false);
    std::string text = large["result"]["error"].get<std::string>();
    EXPECT_TRUE(text.starts_with("A resposta de GetAgendaSala teria ")) << text;
    // Both sizes round to 0,1 MB: shown with the decimals that tell them apart.
    EXPECT_TRUE(text.ends_with(" MB, acima do limite de 0,07 MB do servidor de aplicação.")) << text;
    EXPECT_EQ(text.find("teria 0,07 MB"), std::string::npos) << text;
    EXPECT_TRUE(client.call("GetHora", json::array({"101", "2026-12-08"}))["result"]["ok"].get<bool>());
}

TEST(HostileReplies, ARecurringBookingStoredIsAnsweredWholeWhateverTheCap) {
    TestServer server(ServerSetup{.serveArgs = {"--max-reply-bytes", "4096"}});
    LineClient client(server.host(), server.port());
    std::string list;
    for (int d = 0; d < 10; ++d) list += "_" + formatShortDate(kTomorrow + std::chrono::days(d));
    json r = client.call("SetHrSala", json::array({"0001", "ana", list, "99999", "A", std::string(1000, 'r'),
                                                   "0800", "0900", "101"}));
    // About 12 KB: the ten bookings are stored, so the answer must say so rather than report a failure.
    ASSERT_EQ(r["result"]["ok"], true) << r.dump().substr(0, 300);
    EXPECT_EQ(r["result"]["data"]["rows"].size(), 10u);
    EXPECT_EQ(r["byref"]["2"], list);

    bookMany(client, 5, 1000);  // reads stay capped: about 7 KB for tomorrow now
    ASSERT_TRUE(client.sendLine(tomorrowsAgenda(1)));
    json day = json::parse(client.readLine().value());
    EXPECT_EQ(day["result"]["ok"], false);
}

TEST(HostileReplies, AClientThatStopsReadingIsClosedWhileOthersAreServed) {
    TestServer server(ServerSetup{.idleTimeoutSeconds = 1});
    {
        LineClient seeder(server.host(), server.port());
        bookMany(seeder, 100, 1000);  // replies of about 115 KB
    }
    LineClient hoarder(server.host(), server.port());
    const int sent = 300;  // 35 MB of replies, far more than the socket buffers hold
    std::string batch;
    for (int id = 1; id <= sent; ++id) batch += tomorrowsAgenda(id) + "\n";
    ASSERT_TRUE(hoarder.send(batch));

    LineClient other(server.host(), server.port());
    for (int i = 0; i < 10; ++i) {
        std::this_thread::sleep_for(250ms);
        EXPECT_TRUE(other.call("GetSysdate", json::array()).contains("result"));
    }
    int received = 0;
    while (auto line = hoarder.readLine(3s)) ++received;
    EXPECT_GT(received, 0);
    EXPECT_LT(received, sent) << "the replies nobody took were kept without limit";
}

TEST(HostileConnections, ConnectionsOverTheLimitGetAnErrorLineAndAreClosed) {
    TestServer server(ServerSetup{.serveArgs = {"--max-connections", "3"}});
    std::vector<std::unique_ptr<LineClient>> served;
    for (int i = 0; i < 3; ++i) {
        served.push_back(std::make_unique<LineClient>(server.host(), server.port()));
        ASSERT_TRUE(served.back()->call("GetSysdate", json::array()).contains("result"));
    }
    LineClient over(server.host(), server.port());
    auto line = over.readLine();
    ASSERT_TRUE(line);
    json refusal = json::parse(*line);
    EXPECT_EQ(errorCode(refusal), rpc::code::InvalidRequest);
    EXPECT_NE(refusal["error"]["message"].get<std::string>().find("limite de 3 conexões"), std::string::npos);
    EXPECT_TRUE(over.closedByPeer());

    served.pop_back();  // a place comes free
    bool servedAgain = false;
    for (auto deadline = std::chrono::steady_clock::now() + 5s;
         !servedAgain && std::chrono::steady_clock::now() < deadline;) {
        LineClient next(server.host(), server.port());
        ASSERT_TRUE(next.sendLine(LineClient::request(1, "GetSysdate", json::array())));
        auto answer = next.readLine();
        servedAgain = answer && json::parse(*answer).contains("result");
        if (!servedAgain) std::this_thread::sleep_for(50ms);
    }
    EXPECT_TRUE(servedAgain);
}

TEST(HostileConnections, ATlsConnectionOverTheLimitIsToldWhyToo) {
    std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("age-limit-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    ServerSetup setup{.serveArgs = tlsServeArgs(makeTestCertificate(dir, "server", "IP:127.0.0.1"))};
    setup.serveArgs.insert(setup.serveArgs.end(), {"--max-connections", "1"});
    TestServer server(setup);
    LineClient served(server.host(), server.port());
    ASSERT_TRUE(served.call("GetSysdate", json::array()).contains("result"));

    TNetConnection over;
    server.configure(over);
    over.Port = server.tlsPort();
    over.Transport = {true, (dir / "server.pem").string(), false};
    std::string error;
    try {
        over.AppServer().Call("GetSala");
    } catch (const EConnectionError& e) {
        error = e.what();
    }
    EXPECT_NE(error.find("atingiu o limite de 1 conexões"), std::string::npos) << error;
    std::filesystem::remove_all(dir);
}

TEST(HostileConnections, FailedTlsHandshakesCannotFloodTheLog) {
    std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("age-hs-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    TestServer server({.serveArgs = tlsServeArgs(makeTestCertificate(dir, "server", "IP:127.0.0.1"))});
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 200; ++i) {
        LineClient garbage(server.host(), server.tlsPort());
        ASSERT_TRUE(garbage.sendLine("GET / HTTP/1.0"));
        EXPECT_TRUE(garbage.closedByPeer());
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LE(count(server.log(), "TLS handshake with"), 21u + static_cast<std::size_t>(5 * seconds));
    EXPECT_GE(count(server.log(), "TLS handshake with"), 20u);
    std::filesystem::remove_all(dir);
}

TEST(HostileConnections, DescriptorsUsedUpDoNotSpinOrFloodTheLog) {
    TestServer server(ServerSetup{.serveArgs = {"--max-connections", "500"}, .openFileLimit = 64});
    double before = cpuSeconds(server.pid());
    {
        std::vector<std::unique_ptr<LineClient>> flood;
        for (int i = 0; i < 100; ++i)
            flood.push_back(std::make_unique<LineClient>(server.host(), server.port()));
        std::this_thread::sleep_for(2s);
        EXPECT_LT(cpuSeconds(server.pid()) - before, 0.5) << "the accept loop spins";
    }
    bool served = false;
    for (auto deadline = std::chrono::steady_clock::now() + 8s;
         !served && std::chrono::steady_clock::now() < deadline;) {
        LineClient late(server.host(), server.port());
        late.sendLine(LineClient::request(1, "GetSysdate", json::array()));
        auto answer = late.readLine(3s);
        served = answer && json::parse(*answer).contains("result");
    }
    EXPECT_TRUE(served);
    std::string log = server.log();
    EXPECT_EQ(count(log, "accept failed"), 1u) << log.substr(0, 2000);
    EXPECT_LT(count(log, "\n"), 12u) << log.substr(0, 2000);
}

TEST(HostileConnections, UnderALowDescriptorLimitEveryConnectionIsServedOrToldWhy) {
    TestServer server(ServerSetup{.openFileLimit = 64});
    std::vector<std::unique_ptr<LineClient>> clients;
    for (int i = 0; i < 100; ++i)
        clients.push_back(std::make_unique<LineClient>(server.host(), server.port()));
    int served = 0, refused = 0;
    for (auto& c : clients) {
        c->sendLine(LineClient::request(1, "GetSysdate", json::array()));
        auto line = c->readLine(8s);
        ASSERT_TRUE(line) << "a connection was left without an answer";
        json answer = json::parse(*line);
        if (answer.contains("result"))
            ++served;
        else if (answer["error"]["message"].get<std::string>().find("limite de") != std::string::npos)
            ++refused;
    }
    EXPECT_GT(served, 0);
    EXPECT_GT(refused, 0);
    EXPECT_EQ(served + refused, 100);
    EXPECT_EQ(kill(server.pid(), 0), 0) << "the server fell";
}

TEST(HostileSetup, DatabaseFilesAreTheServersAloneAndAnOpenAddressIsWarnedOf) {
    TestServer server(ServerSetup{.listenHost = "0.0.0.0"});
    LineClient client(server.host(), server.port());
    EXPECT_TRUE(client.call("GetNrSeq", json::array({"101", "2026-12-08"}))["result"]["ok"].get<bool>());
    std::string db = server.dbUrl().substr(std::string("sqlite:").size());
    for (const std::string& file : {db, db + "-wal", db + "-shm"}) {
        struct stat st {};
        ASSERT_EQ(stat(file.c_str(), &st), 0) << file;
        EXPECT_EQ(st.st_mode & 0777, 0600u) << file;
    }
    EXPECT_NE(server.log().find("reachable from other machines"), std::string::npos);

    TestServer local;
    EXPECT_EQ(local.log().find("reachable from other machines"), std::string::npos);
}

}  // namespace
}  // namespace age::test
