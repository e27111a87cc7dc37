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
    json unparsable = json::parse(client.readLine().value());
    EXPECT_EQ(errorCode(unparsable), rpc::code::ParseError);
    EXPECT_EQ(unparsable["error"]["message"], "A linha não é um JSON válido.");
    // Every answer is in the users' language, protocol faults included.
    const std::pair<std::string, std::string> invalid[] = {
        {"[1]", "A requisição deve ser um objeto JSON."},
        {R"({"jsonrpc":"1.0","id":1,"method":"Session.Logout"})", "O campo \"jsonrpc\" deve ser \"2.0\"."},
        {R"({"jsonrpc":"2.0","id":1.5,"method":"Session.Logout"})",
         "O campo \"id\" deve ser um número inteiro ou um texto."},
        {R"({"jsonrpc":"2.0","id":1,"method":7})", "O campo \"method\" deve ser um texto."},
        {R"({"jsonrpc":"2.0","id":1,"method":"Session.Logout","params":{}})",
         "O campo \"params\" deve ser uma lista."},
    };
    for (const auto& [line, message] : invalid) {
        ASSERT_TRUE(client.sendLine(line));
        json answer = json::parse(client.readLine().value());
        EXPECT_EQ(errorCode(answer), rpc::code::InvalidRequest) << line;
        EXPECT_EQ(answer["error"]["message"], message) << line;
    }
    json sysdate = client.call("GetSysdate", json::array(), 2);
    EXPECT_EQ(sysdate["id"], 2);
    EXPECT_EQ(sysdate["result"]["data"]["rows"][0][0], "2026-12-07T10:00:00");
}

TEST_F(Protocol, UnknownMethodsAndWrongArgumentsAreAnsweredWithTheirCodes) {
    json r = client.call("GetNada", json::array(), 5);
    EXPECT_EQ(r["id"], 5);
    EXPECT_EQ(errorCode(r), rpc::code::MethodNotFound);
    EXPECT_EQ(r["error"]["message"], "O módulo AGE12100.rdmAgendaSala não tem o método \"GetNada\".");
    ASSERT_TRUE(client.sendLine(R"({"jsonrpc":"2.0","id":6,"method":"OUTRO.rdm.GetSala","params":[]})"));
    json other = json::parse(client.readLine().value());
    EXPECT_EQ(errorCode(other), rpc::code::MethodNotFound);
    EXPECT_EQ(other["error"]["message"], "Módulo remoto desconhecido: \"OUTRO.rdm\".");
    // Names are exact.
    EXPECT_EQ(errorCode(client.call("getsala", json::array())), rpc::code::MethodNotFound);

    const std::pair<json, std::string> wrong[] = {
        {client.call("GetHora", json::array({"101"})),
         "GetHora espera 2 argumento(s) (sala, dia); recebeu 1."},
        {client.call("GetHora", json::array({101, "2026-12-07"})),
         "O argumento 1 (sala) de GetHora deve ser um texto."},
        {client.call("GetAgendaSala", json::array({"101", "07/12/2026"})),
         "O argumento 2 (dia) de GetAgendaSala deve ser uma data AAAA-MM-DD."},
    };
    for (const auto& [answer, message] : wrong) {
        EXPECT_EQ(errorCode(answer), rpc::code::InvalidParams) << answer;
        EXPECT_EQ(answer["error"]["message"], message);
    }
    EXPECT_EQ(errorCode(client.call("GetSysdate", json::array({"x"}))), rpc::code::InvalidParams);
}

// A method with a by-reference argument always sends its final value back: unchanged when it was refused.
TEST_F(Protocol, ARefusalGivesTheByReferenceArgumentBackUnchanged) {
    const std::string list = "_08/12/2026_09/12/2026";
    const std::pair<json, std::string> refused[] = {
        {client.call("SetHrSala",
                     json::array({"0001", "ana", list, "99999", "C", "Ref", "0800", "0900", "101"})),
         "Situação da Reunião deve ser informada como \"Agendada\"."},
        {client.call("SetHrSala",
                     json::array({"0001", "ana", "_01/12/2026", "99999", "A", "Ref", "0800", "0900", "101"})),
         "Sala já está reservada na(s) data(s) e horário(s) informados."},
    };
    for (const auto& [answer, message] : refused) {
        EXPECT_EQ(answer["result"]["error"], message);
        ASSERT_TRUE(answer.contains("byref")) << answer;
    }
    EXPECT_EQ(refused[0].first["byref"], json({{"2", list}}));
    EXPECT_EQ(refused[1].first["byref"], json({{"2", "_01/12/2026"}}));
}

TEST_F(Protocol, PipelinedRequestsAreAnsweredInOrder) {
    std::string batch;
    for (int id = 1; id <= 20; ++id)
        batch += LineClient::request(id, id % 2 ? "GetSysdate" : "GetSala", json::array()) + "\n";
    ASSERT_TRUE(client.send(batch));
    for (int id = 1; id <= 20; ++id) EXPECT_EQ(json::parse(client.readLine().value())["id"], id);
}

TEST_F(Protocol, ALineOfOneMebibyteIsReadAndALongerOneClosesTheConnection) {
    std::string head = R"({"jsonrpc":"2.0","id":9,"method":"AGE12100.rdmAgendaSala.GetSala","params":[")";
    std::string tail = "\"]}";
    std::string line = head + std::string(rpc::kMaxLineBytes - head.size() - tail.size(), 'x') + tail;
    ASSERT_TRUE(client.sendLine(line));
    EXPECT_EQ(errorCode(json::parse(client.readLine().value())), rpc::code::InvalidParams);  // no argument
    EXPECT_TRUE(client.call("GetSala", json::array()).contains("result"));

    client.send(line + "x\n");  // the server may close before it has read everything
    json r = json::parse(client.readLine().value());
    EXPECT_EQ(errorCode(r), rpc::code::InvalidRequest);
    EXPECT_TRUE(r["id"].is_null());
    EXPECT_TRUE(client.closedByPeer());
    LineClient other(server.host(), server.port());  // the server goes on serving others
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
    // The request arrived whole, so the server carries it out to the end although nobody reads the answer.
    auto bookedDays = [&] {
        std::size_t booked = 0;
        for (int d = 8; d <= 31; ++d) {
            json r = client.call("GetHora", json::array({"900", formatIsoDate(makeDate(2026, 12, d))}));
            booked += r["result"]["data"]["rows"].size();
        }
        return booked;
    };
    for (auto deadline = std::chrono::steady_clock::now() + 10s;
         bookedDays() != 24 && std::chrono::steady_clock::now() < deadline;)
        std::this_thread::sleep_for(20ms);
    EXPECT_EQ(bookedDays(), 24u);
}

TEST_F(Protocol, TheLogHasOneLinePerFailedCallAndNoRequestData) {
    client.call("GetNada", json::array());
    client.call("GetHora", json::array({"SEGREDO-SALA"}));
    client.sendLine("{sem json SEGREDO-LINHA");
    client.readLine();
    client.call("SetHrSala", json::array({"0001", "ana", "_08/12/2026", "00001", "A", "SEGREDO-REF", "0800",
                                          "0700", "101"}));
    client.call("GetSala", json::array());
    client.call("GetSysdate", json::array());
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
    EXPECT_EQ(count("GetSala") + count("GetSysdate"), 0u) << log;
}

TEST_F(Protocol, SigtermStopsCleanlyAndKeepsWhatWasStored) {
    json r = client.call("SetHrSala", json::array({"0001", "ana", "_08/12/2026_09/12/2026", "00001", "A",
                                                   "Guardada", "0800", "0900", "101"}));
    ASSERT_TRUE(r["result"]["ok"].get<bool>()) << r;
    server.stop();
    EXPECT_TRUE(WIFEXITED(server.exitStatus()) && WEXITSTATUS(server.exitStatus()) == 0)
        << server.exitStatus();
    EXPECT_NE(server.log().find("stopped"), std::string::npos);
    EXPECT_TRUE(client.closedByPeer());

    server.start();
    LineClient again(server.host(), server.port());
    json hora = again.call("GetHora", json::array({"101", "2026-12-09"}));
    EXPECT_EQ(hora["result"]["data"]["rows"], json::parse(R"([["0800","0900"]])"));
}

TEST(ProtocolIdle, AnIdleConnectionIsClosedAndABusyOneIsNot) {
    TestServer server(ServerSetup{.idleTimeoutSeconds = 1});
    LineClient idle(server.host(), server.port());
    LineClient busy(server.host(), server.port());
    EXPECT_TRUE(idle.call("GetSala", json::array()).contains("result"));
    for (int i = 0; i < 6; ++i) {
        std::this_thread::sleep_for(300ms);
        ASSERT_TRUE(busy.call("GetSysdate", json::array()).contains("result")) << "closed while in use";
    }
    EXPECT_TRUE(idle.closedByPeer());
}

}  // namespace
}  // namespace age::test
