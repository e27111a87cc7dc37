// The server as a network service: faults of the protocol, limits, vanishing clients, logs and stopping.
#include <sys/wait.h>

#include "tests/server/ServerFixture.h"

namespace age::test {
namespace {

using namespace std::chrono_literals;

int errorCode(const json& response) {
    return response.at("error").at("code").get<int>();
}

class Protocol : public ::testing::Test {
  protected:
    TestServer server;
    LineClient client{server.host(), server.port()};
};

TEST_F(Protocol, AMalformedLineIsAnsweredAndTheConnectionStaysUsable) {
    ASSERT_TRUE(client.sendLine("{\"jsonrpc\":\"2.0\",\"id\":1,\"method\""));
    auto line = client.readLine();
    ASSERT_TRUE(line);
    EXPECT_EQ(errorCode(json::parse(*line)), rpc::code::ParseError);

    json sysdate = client.call("GetSysdate", json::array(), 2);
    EXPECT_EQ(sysdate["id"], 2);
    EXPECT_EQ(sysdate["result"]["data"]["rows"][0][0], "2026-12-07T10:00:00");
}

TEST_F(Protocol, UnknownMethodsAndModules) {
    json r = client.call("GetNada", json::array(), 5);
    EXPECT_EQ(r["id"], 5);
    EXPECT_EQ(errorCode(r), rpc::code::MethodNotFound);
    EXPECT_EQ(r["error"]["message"], "O módulo AGE12100.rdmAgendaSala não tem o método \"GetNada\".");

    ASSERT_TRUE(client.sendLine(R"({"jsonrpc":"2.0","id":6,"method":"OUTRO.rdm.GetSala","params":[]})"));
    json other = json::parse(client.readLine().value());
    EXPECT_EQ(errorCode(other), rpc::code::MethodNotFound);
    EXPECT_EQ(other["error"]["message"], "Módulo remoto desconhecido: \"OUTRO.rdm\".");
    // Method names are exact.
    EXPECT_EQ(errorCode(client.call("getsala", json::array())), rpc::code::MethodNotFound);
}

TEST_F(Protocol, WrongArgumentsAreInvalidParamsWithAClearMessage) {
    json few = client.call("GetHora", json::array({"101"}));
    EXPECT_EQ(errorCode(few), rpc::code::InvalidParams);
    EXPECT_EQ(few["error"]["message"], "GetHora espera 2 argumento(s) (sala, dia); recebeu 1.");
    json kind = client.call("GetHora", json::array({101, "2026-12-07"}));
    EXPECT_EQ(kind["error"]["message"], "O argumento 1 (sala) de GetHora deve ser um texto.");
    json day = client.call("GetAgendaSala", json::array({"101", "07/12/2026"}));
    EXPECT_EQ(day["error"]["message"], "O argumento 2 (dia) de GetAgendaSala deve ser uma data AAAA-MM-DD.");
    json extra = client.call("GetSysdate", json::array({"x"}));
    EXPECT_EQ(errorCode(extra), rpc::code::InvalidParams);
    json nine = client.call("SetHrSala", json::array({"0001", "ana", "", "00001", "A", "r", "0800", "0900"}));
    EXPECT_EQ(nine["error"]["message"],
              "SetHrSala espera 9 argumento(s) (filial, operador, lista de datas, seqüencial, situação, "
              "referência, "
              "início, término, sala); recebeu 8.");
}

TEST_F(Protocol, PipelinedRequestsAreAnsweredInOrder) {
    std::string batch;
    for (int id = 1; id <= 20; ++id)
        batch += LineClient::request(id, id % 2 ? "GetSysdate" : "GetSala", json::array()) + "\n";
    ASSERT_TRUE(client.send(batch));
    for (int id = 1; id <= 20; ++id) {
        auto line = client.readLine();
        ASSERT_TRUE(line);
        EXPECT_EQ(json::parse(*line)["id"], id);
    }
}

TEST_F(Protocol, ALineOfExactlyOneMebibyteIsRead) {
    std::string head = R"({"jsonrpc":"2.0","id":9,"method":"AGE12100.rdmAgendaSala.GetSala","params":[")";
    std::string tail = "\"]}";
    std::string line = head + std::string(rpc::kMaxLineBytes - head.size() - tail.size(), 'x') + tail;
    ASSERT_EQ(line.size(), rpc::kMaxLineBytes);
    ASSERT_TRUE(client.sendLine(line));
    auto answer = client.readLine();
    ASSERT_TRUE(answer);
    EXPECT_EQ(errorCode(json::parse(*answer)), rpc::code::InvalidParams);  // GetSala takes no argument
    EXPECT_TRUE(client.call("GetSala", json::array()).contains("result"));
}

TEST_F(Protocol, ALineOverOneMebibyteIsRefusedAndTheConnectionClosed) {
    std::string huge(rpc::kMaxLineBytes + 100, 'x');
    client.send(huge + "\n");  // the server may close before it has read everything
    auto answer = client.readLine();
    ASSERT_TRUE(answer);
    json r = json::parse(*answer);
    EXPECT_EQ(errorCode(r), rpc::code::InvalidRequest);
    EXPECT_TRUE(r["id"].is_null());
    EXPECT_TRUE(client.closedByPeer());
    // The server goes on serving others.
    LineClient other(server.host(), server.port());
    EXPECT_TRUE(other.call("GetSala", json::array()).contains("result"));
}

TEST_F(Protocol, AClientThatVanishesMidCallHarmsNobody) {
    server.admin({"room", "add", "900", "Sala 900"});
    {
        LineClient gone(server.host(), server.port());
        std::string list;
        for (int d = 8; d <= 31; ++d) list += "_" + formatShortDate(makeDate(2026, 12, d));
        gone.sendLine(LineClient::request(
            1, "SetHrSala",
            json::array({"0001", "ana", list, "00001", "A", "Sumiu", "0800", "0900", "900"})));
        gone.sendLine(LineClient::request(2, "GetSala", json::array()));
    }  // closed before reading anything
    LineClient a(server.host(), server.port());
    // The request arrived whole, so the server carries it out to the end although nobody reads the answer.
    auto bookedDays = [&] {
        std::size_t booked = 0;
        for (int d = 8; d <= 31; ++d) {
            json r = a.call("GetHora", json::array({"900", formatIsoDate(makeDate(2026, 12, d))}));
            booked += r["result"]["data"]["rows"].size();
        }
        return booked;
    };
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (bookedDays() != 24 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    EXPECT_EQ(bookedDays(), 24u);
    EXPECT_TRUE(a.call("GetSala", json::array()).contains("result"));
}

TEST(ProtocolIdle, AnIdleConnectionIsClosed) {
    TestServer server(ServerSetup{.idleTimeoutSeconds = 1});
    LineClient idle(server.host(), server.port());
    LineClient busy(server.host(), server.port());
    EXPECT_TRUE(idle.call("GetSala", json::array()).contains("result"));
    for (int i = 0; i < 6; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        ASSERT_TRUE(busy.call("GetSysdate", json::array()).contains("result")) << "closed while in use";
    }
    EXPECT_TRUE(idle.closedByPeer(10s));
}

TEST(ProtocolLog, OneLinePerFailedCallAndNoRequestData) {
    TestServer server;
    {
        LineClient c(server.host(), server.port());
        c.call("GetNada", json::array());
        c.call("GetHora", json::array({"SEGREDO-SALA"}));
        c.sendLine("{sem json SEGREDO-LINHA");
        c.readLine();
        std::string list = "_08/12/2026";
        c.call("SetHrSala",
               json::array({"0001", "ana", list, "00001", "A", "SEGREDO-REF", "0800", "0700", "101"}));
        c.call("GetSala", json::array());
        c.call("GetSysdate", json::array());
    }
    server.stop();
    std::string log = server.log();
    EXPECT_EQ(log.find("SEGREDO"), std::string::npos) << log;
    auto count = [&](const std::string& word) {
        std::size_t n = 0;
        for (auto at = log.find(word); at != std::string::npos; at = log.find(word, at + 1)) ++n;
        return n;
    };
    EXPECT_EQ(count("GetNada failed (-32601)"), 1u) << log;
    EXPECT_EQ(count("GetHora failed (-32602)"), 1u) << log;
    EXPECT_EQ(count("unreadable request (-32700)"), 1u) << log;
    EXPECT_EQ(count("SetHrSala refused: Hora final deve ser maior que hora inicial."), 1u) << log;
    EXPECT_EQ(count("GetSala"), 0u) << log;
    EXPECT_EQ(count("GetSysdate"), 0u) << log;
}

TEST(ProtocolStop, SigtermStopsCleanlyAndKeepsWhatWasStored) {
    TestServer server;
    LineClient c(server.host(), server.port());
    std::string list = "_08/12/2026_09/12/2026";
    json r = c.call("SetHrSala",
                    json::array({"0001", "ana", list, "00001", "A", "Guardada", "0800", "0900", "101"}));
    ASSERT_TRUE(r["result"]["ok"].get<bool>()) << r;
    server.stop();
    EXPECT_TRUE(WIFEXITED(server.exitStatus()) && WEXITSTATUS(server.exitStatus()) == 0)
        << server.exitStatus();
    EXPECT_NE(server.log().find("stopped"), std::string::npos);
    EXPECT_TRUE(c.closedByPeer());

    server.start();
    LineClient again(server.host(), server.port());
    json hora = again.call("GetHora", json::array({"101", "2026-12-09"}));
    EXPECT_EQ(hora["result"]["data"]["rows"], json::parse(R"([["0800","0900"]])"));
}

}  // namespace
}  // namespace age::test
