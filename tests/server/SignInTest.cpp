// Operators sign in: sessions on the wire, the brake on guessing, the signed-in operator as the authority
// for new bookings, and the administration of passwords and sessions. On each backend.
#include <regex>
#include <thread>

#include "tests/server/ServerFixture.h"

namespace age::test {
namespace {

using namespace std::chrono_literals;

const std::string kBadSignIn = "Operador ou senha inválidos.";
const std::string kNoSession = "Sessão não iniciada: entre com operador e senha.";
const std::string kAnaPassword = "senha-da-ana";

ServerSetup withPasswords(ServerSetup setup = {}) {
    setup.auth = "password";
    setup.passwords = {{"ana", kAnaPassword}, {"bruno", "senha-do-bruno"}};
    if (setup.serveArgs.empty()) setup.serveArgs = {"--login-delay-ms", "1"};
    return setup;
}

json login(LineClient& c, const std::string& op, const std::string& password) {
    return c.callFull("Session.Login", json::array({op, password}))["result"];
}

// The refusal text of an enveloped answer, or "" when it was accepted.
std::string refusal(const json& response) {
    const json& result = response.contains("result") ? response["result"] : response;
    return result.value("ok", false) ? "" : result.value("error", "(no envelope: " + response.dump() + ")");
}

json newBookingDelta(const std::string& seq, const std::string& op, const std::string& start = "0800",
                     const std::string& end = "0900") {
    return deltaOf({insertOf(rowOf({.start = start, .end = end, .operatorCode = op}, seq))});
}

class SignIn : public BackendParamTest {
  protected:
    void SetUp() override {
        BackendParamTest::SetUp();
        if (!IsSkipped()) client.emplace(server.host(), server.port());
    }

    TestServer server{onBackend(withPasswords())};
    std::optional<LineClient> client;  // once the backend is known to be there

    std::string seq(LineClient& c) {
        return c.call("GetNrSeq", json::array({"101", "2026-12-07"}))["result"]["data"]["rows"][0][0];
    }
};

TEST_P(SignIn, AModuleCallWithoutASessionIsRefusedUntilTheOperatorSignsIn) {
    json r = client->call("GetSala", json::array());
    EXPECT_EQ(r["error"]["code"], -32001) << r;
    EXPECT_EQ(r["error"]["message"], kNoSession);
    EXPECT_EQ(client->call("SetAgendaSala", json::array({newBookingDelta("00001", "ana")}))["error"]["code"],
              -32001);

    json ok = login(*client, "ana", kAnaPassword);
    ASSERT_TRUE(ok["ok"].get<bool>()) << ok;
    EXPECT_EQ(ok["data"]["operator"], "ana");
    EXPECT_EQ(ok["data"]["name"], "Ana Souza");
    EXPECT_TRUE(std::regex_match(ok["data"]["token"].get<std::string>(), std::regex("[0-9a-f]{64}")))
        << ok;
    EXPECT_EQ(ok["data"]["expires"], "2026-12-07T22:00:00");  // 12 hours after the pinned now
    EXPECT_TRUE(client->call("GetSala", json::array())["result"]["ok"].get<bool>());

    // Logging out ends the session on this connection too.
    EXPECT_EQ(refusal(client->callFull("Session.Logout", json::array())), "");
    EXPECT_EQ(client->call("GetSala", json::array())["error"]["code"], -32001);
}

TEST_P(SignIn, AWrongPasswordAnUnknownOperatorAndADisabledOneGetTheSameRefusal) {
    ASSERT_EQ(server.admin({"operator", "disable", "bruno"}), 0);
    EXPECT_EQ(refusal(login(*client, "ana", "senha-errada")), kBadSignIn);
    EXPECT_EQ(refusal(login(*client, "ninguem", kAnaPassword)), kBadSignIn);
    EXPECT_EQ(refusal(login(*client, "bruno", "senha-do-bruno")), kBadSignIn);
    EXPECT_EQ(refusal(login(*client, "ana", "")), kBadSignIn);
    EXPECT_EQ(client->call("GetSala", json::array())["error"]["code"], -32001);

    ASSERT_EQ(server.admin({"operator", "enable", "bruno"}), 0);
    EXPECT_EQ(refusal(login(*client, "bruno", "senha-do-bruno")), "");
    // The log names the operator and address of each failure, never the password.
    std::string log = server.log();
    EXPECT_NE(log.find("sign-in failed for operator \"ninguem\" from 127.0.0.1:"), std::string::npos) << log;
    EXPECT_EQ(log.find("senha-errada"), std::string::npos) << log;
}

TEST_P(SignIn, FiveFailuresLockTheOperatorFromThatAddressEvenWithTheRightPassword) {
    for (int i = 0; i < 5; ++i) ASSERT_EQ(refusal(login(*client, "ana", "chute-" + std::to_string(i))), kBadSignIn);
    std::string locked = refusal(login(*client, "ana", kAnaPassword));
    EXPECT_EQ(locked, "Muitas tentativas de entrada sem sucesso: o operador está bloqueado neste endereço por 15 "
                      "minutos.");
    LineClient other(server.host(), server.port());  // the lock is on the address, not the connection
    EXPECT_EQ(refusal(login(other, "ana", kAnaPassword)), locked);
    EXPECT_EQ(refusal(login(other, "bruno", "senha-do-bruno")), "");  // other operators are not locked
    EXPECT_NE(server.log().find("operator \"ana\" locked from 127.0.0.1 for 15 minutes"), std::string::npos);

    std::string out;
    ASSERT_EQ(server.admin({"history", "--operator", "ana", "--json"}, &out), 0);
    std::vector<std::string> operations;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        json row = json::parse(line);
        if (row["method"] != "Session.Login") continue;
        operations.push_back(row["operation"]);
        EXPECT_TRUE(row["address"].get<std::string>().starts_with("127.0.0.1:")) << row;
    }
    std::vector<std::string> expected{"sign-in locked"};
    expected.insert(expected.end(), 5, "sign-in failed");
    EXPECT_EQ(operations, expected);
}

// A code holding a NUL cannot be stored as such on PostgreSQL; the attempt is recorded all the same.
TEST_P(SignIn, AFailedSignInWithANulInTheCodeIsRecordedOnEveryBackend) {
    EXPECT_EQ(refusal(login(*client, std::string("ze\0ca", 5), "qualquer")), kBadSignIn);
    std::string out;
    ASSERT_EQ(server.admin({"history", "--json"}, &out), 0);
    std::size_t recorded = 0;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        json row = json::parse(line);
        if (row["operation"] != "sign-in failed") continue;
        ++recorded;
        EXPECT_EQ(row["operator"], "ze\\x00ca") << row;
    }
    EXPECT_EQ(recorded, 1u) << out;
    EXPECT_EQ(server.log().find("could not be recorded"), std::string::npos) << server.log();
}

TEST_P(SignIn, AFailedSignInAnswersLateWithoutHoldingTheServersOnlyThread) {
    TestServer slow{onBackend(withPasswords({.threads = 1, .serveArgs = {"--login-delay-ms", "1500"}}))};
    LineClient guesser(slow.host(), slow.port()), other(slow.host(), slow.port());
    ASSERT_TRUE(guesser.sendLine(
        json{{"jsonrpc", "2.0"}, {"id", 1}, {"method", "Session.Login"}, {"params", {"ana", "errada"}}}.dump()));
    std::this_thread::sleep_for(200ms);  // the refusal is decided and waiting on its timer
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(refusal(other.callFull("Session.Logout", json::array())), "");
    EXPECT_FALSE(guesser.readLine(0ms)) << "the refusal came before its delay";
    auto answer = guesser.readLine(5s);
    ASSERT_TRUE(answer);
    EXPECT_EQ(refusal(json::parse(*answer)), kBadSignIn);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 1000ms);
}

TEST_P(SignIn, GuessesSentAtOnceOnManyConnectionsOfOneAddressAreNotEachVerified) {
    TestServer paced{onBackend(withPasswords({.serveArgs = {"--login-delay-ms", "400"}}))};
    const std::string tooSoon =
        "Muitas tentativas de entrada sem sucesso a partir deste endereço; tente novamente em instantes.";
    std::vector<std::unique_ptr<LineClient>> guessers;
    for (int i = 0; i < 12; ++i) {
        guessers.push_back(std::make_unique<LineClient>(paced.host(), paced.port()));
        ASSERT_TRUE(guessers.back()->sendLine(json{{"jsonrpc", "2.0"},
                                                   {"id", 1},
                                                   {"method", "Session.Login"},
                                                   {"params", {"intruso" + std::to_string(i), "chute"}}}
                                                  .dump()));
    }
    int verified = 0, paused = 0;
    for (auto& g : guessers) {
        auto answer = g->readLine(15s);
        ASSERT_TRUE(answer);
        std::string text = refusal(json::parse(*answer));
        verified += text == kBadSignIn;
        paused += text == tooSoon;
    }
    // At most one guess per worker ran before the first failure was known; the rest cost no verification.
    EXPECT_LE(verified, 4);
    EXPECT_EQ(verified + paused, 12);
    std::string log = paced.log();
    std::ptrdiff_t failures = 0;
    for (auto at = log.find("sign-in failed for operator"); at != std::string::npos;
         at = log.find("sign-in failed", at + 1))
        ++failures;
    EXPECT_EQ(failures, verified) << log;
    // Every answer waited out the address's delay, so a sign-in now is verified and, right, accepted.
    LineClient ana(paced.host(), paced.port());
    EXPECT_EQ(refusal(login(ana, "ana", kAnaPassword)), "");
}

TEST_P(SignIn, ASessionResumesOnAnotherConnectionUntilItIsRevoked) {
    std::string token = login(*client, "ana", kAnaPassword)["data"]["token"];
    LineClient second(server.host(), server.port());
    json resumed = second.callFull("Session.Resume", json::array({token}))["result"];
    ASSERT_TRUE(resumed["ok"].get<bool>()) << resumed;
    EXPECT_EQ(resumed["data"]["operator"], "ana");
    EXPECT_EQ(resumed["data"]["token"], token);
    EXPECT_TRUE(second.call("GetSala", json::array())["result"]["ok"].get<bool>());

    std::string out;
    ASSERT_EQ(server.admin({"session", "list"}, &out), 0);
    EXPECT_TRUE(out.starts_with(token.substr(0, 8) + "\tana\tAna Souza\t127.0.0.1:")) << out;
    EXPECT_EQ(out.find(token), std::string::npos) << "the whole token is never stored";
    EXPECT_EQ(server.admin({"session", "revoke", "bruno"}, &out), 1);  // bruno has none
    ASSERT_EQ(server.admin({"session", "revoke", token.substr(0, 8)}, &out), 0);
    EXPECT_EQ(out, "revoked 1 session(s)\n");
    EXPECT_NE(refusal(LineClient(server.host(), server.port())
                          .callFull("Session.Resume", json::array({token}))),
              "");
    EXPECT_EQ(refusal(second.callFull("Session.Resume", json::array({std::string(64, 'a')}))),
              "Sessão expirada ou encerrada: entre novamente com operador e senha.");
}

TEST_P(SignIn, ARevokedSessionIsNoticedByConnectionsStillUsingIt) {
    TestServer quick{onBackend(withPasswords({.serveArgs = {"--login-delay-ms", "1", "--session-recheck", "1"}}))};
    LineClient c(quick.host(), quick.port());
    ASSERT_EQ(refusal(login(c, "ana", kAnaPassword)), "");
    ASSERT_EQ(quick.admin({"operator", "disable", "ana"}), 0);  // ends ana's sessions
    std::this_thread::sleep_for(1100ms);
    EXPECT_EQ(c.call("GetSala", json::array())["error"]["code"], -32001);
}

TEST_P(SignIn, NewBookingsAreTheSignedInOperatorsAndTheServerStampsAndKeepsWhoBooked) {
    ASSERT_EQ(refusal(login(*client, "ana", kAnaPassword)), "");
    const std::string impersonation =
        "Não é permitido agendar em nome de outro operador: o agendamento deve ser do operador conectado "
        "(\"ana\"), não de \"bruno\".";
    EXPECT_EQ(refusal(client->call("SetAgendaSala", json::array({newBookingDelta(seq(*client), "bruno")}))),
              impersonation);
    EXPECT_EQ(refusal(client->call("SetHrSala", json::array({"0001", "bruno", "_08/12/2026", "00001", "A",
                                                            "Semanal", "0800", "0900", "101"}))),
              impersonation);
    // The code the client sent is shown escaped.
    EXPECT_EQ(
        refusal(client->call("SetAgendaSala", json::array({newBookingDelta(seq(*client), "z\n\x1b")}))),
        "Não é permitido agendar em nome de outro operador: o agendamento deve ser do operador conectado "
        "(\"ana\"), não de \"z\\n\\x1b\".");

    // The client's stamp is replaced by the server's now.
    std::string mine = seq(*client);
    Row row = with(rowOf({.start = "0800", .end = "0900"}, mine), DTINC, makeDateTime(2020, 1, 1, 0, 0, 0));
    ASSERT_EQ(refusal(client->call("SetAgendaSala", json::array({deltaOf({insertOf(row)})}))), "");
    json stored = client->call("GetAgendaSala", json::array({"101", "2026-12-07"}))["result"]["data"]["rows"];
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0][DTINC], "2026-12-07T10:00:00");
    EXPECT_EQ(stored[0][CDOPERADOR], "ana");

    // Another operator may change it, but it stays ana's.
    LineClient bruno(server.host(), server.port());
    ASSERT_EQ(refusal(login(bruno, "bruno", "senha-do-bruno")), "");
    Row old = with(row, DTINC, makeDateTime(2026, 12, 7, 10, 0, 0));
    Row changed = with(with(old, CDOPERADOR, std::string("bruno")), DSAGENDA, std::string("Mudada"));
    ASSERT_EQ(refusal(bruno.call("SetAgendaSala", json::array({deltaOf({updateOf(old, changed)})}))), "");
    stored = bruno.call("GetAgendaSala", json::array({"101", "2026-12-07"}))["result"]["data"]["rows"];
    EXPECT_EQ(stored[0][CDOPERADOR], "ana");
    EXPECT_EQ(stored[0][DSAGENDA], "Mudada");
}

TEST_P(SignIn, PasswordsAreSetFromStandardInputWithAMinimumLength) {
    std::string out;
    EXPECT_EQ(server.adminWithInput({"operator", "password", "ana", "--password-stdin"}, "curta\n", &out), 1);
    EXPECT_NE(out.find("at least 8 characters"), std::string::npos) << out;
    EXPECT_EQ(server.adminWithInput({"operator", "password", "zeca", "--password-stdin"}, "senha-longa\n", &out), 1);
    EXPECT_NE(out.find("operator zeca does not exist"), std::string::npos) << out;
    EXPECT_EQ(refusal(login(*client, "ana", kAnaPassword)), "");  // unchanged by the refusals

    ASSERT_EQ(server.adminWithInput({"operator", "password", "ana", "--password-stdin"}, "nova senha da ana\n"), 0);
    LineClient again(server.host(), server.port());
    EXPECT_EQ(refusal(login(again, "ana", kAnaPassword)), kBadSignIn);
    EXPECT_EQ(refusal(login(again, "ana", "nova senha da ana")), "");
}

TEST(SignInLongLines, ALongLineBeforeSignInIsRefusedUnreadAndAfterItIsServed) {
    TestServer server{withPasswords()};
    LineClient c(server.host(), server.port());
    const json longCall = {{"jsonrpc", "2.0"},
                           {"id", 7},
                           {"method", "AGE12100.rdmAgendaSala.GetHora"},
                           {"params", {std::string(100000, 's'), "2026-12-07"}}};
    ASSERT_TRUE(c.sendLine(longCall.dump()));
    json refused = json::parse(c.readLine().value());
    EXPECT_TRUE(refused["id"].is_null()) << refused;
    EXPECT_EQ(refused["error"]["code"], rpc::code::InvalidRequest);
    EXPECT_EQ(refused["error"]["message"],
              "Requisição de mais de 16 KiB numa conexão sem sessão: entre com operador e senha.");

    // No more of it is buffered: the connection is closed, and answers nothing more.
    c.sendLine(LineClient::request(8, "GetSala", json::array()));
    EXPECT_FALSE(c.readLine(10s));

    // A line under the bound is read as usual, and once signed in the long one is read too.
    LineClient again(server.host(), server.port());
    EXPECT_EQ(again.call("GetHora", json::array({std::string(15000, 's'), "2026-12-07"}))["error"]["code"],
              -32001);
    ASSERT_EQ(refusal(login(again, "ana", kAnaPassword)), "");
    ASSERT_TRUE(again.sendLine(longCall.dump()));
    json served = json::parse(again.readLine().value());
    EXPECT_EQ(served["id"], 7) << served.dump().substr(0, 300);
    EXPECT_TRUE(served["result"]["ok"].get<bool>())
        << served.dump().substr(0, 300);  // no such room: no hours
}

// Numbers handed out and never stored are lost to the room: an operator does not get more of them a second
// by opening more connections.
TEST(SignInSeqPace, AnOperatorOnManyConnectionsGetsTheNumbersOfOne) {
    TestServer server{withPasswords({.serveArgs = {"--seq-rate", "2"}})};  // a burst of 4, then 2 a second
    std::vector<std::unique_ptr<LineClient>> ana;
    for (int i = 0; i < 3; ++i) {
        ana.push_back(std::make_unique<LineClient>(server.host(), server.port()));
        ASSERT_EQ(refusal(login(*ana.back(), "ana", kAnaPassword)), "");
    }
    const std::string tooMany = "Muitos seqüenciais pedidos em pouco tempo; tente novamente em instantes.";
    auto take = [](LineClient& c) { return refusal(c.call("GetNrSeq", json::array({"101", "2026-12-08"}))); };
    int granted = 0;
    auto began = std::chrono::steady_clock::now();
    for (int i = 0; i < 12; ++i) {
        std::string why = take(*ana[i % 3]);
        EXPECT_TRUE(why.empty() || why == tooMany) << why;
        granted += why.empty();
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    EXPECT_GE(granted, 4);
    EXPECT_LE(granted, 4 + 2 * seconds + 1);  // one connection's share, not three

    LineClient bruno(server.host(), server.port());
    ASSERT_EQ(refusal(login(bruno, "bruno", "senha-do-bruno")), "");
    EXPECT_EQ(take(bruno), "");  // another operator has a pace of its own
}

// One address cannot take every connection slot by connecting and never signing in.
TEST(SignInConnections, AnAddressHoldsABoundedNumberOfConnectionsWithoutASession) {
    TestServer server{withPasswords({.serveArgs = {"--max-unsigned-per-address", "2"}})};
    std::vector<std::unique_ptr<LineClient>> waiting;
    for (int i = 0; i < 2; ++i) {
        waiting.push_back(std::make_unique<LineClient>(server.host(), server.port()));
        ASSERT_EQ(waiting.back()->call("GetSala", json::array())["error"]["code"], -32001);
    }
    auto refusedAtOnce = [&] {
        LineClient over(server.host(), server.port());
        auto line = over.readLine();
        return line &&
               json::parse(*line)["error"]["message"] ==
                   "Há conexões demais sem operador e senha a partir deste endereço; entre nas que estão "
                   "abertas ou tente novamente em instantes." &&
               over.closedByPeer();
    };
    EXPECT_TRUE(refusedAtOnce());

    // A connection that signs in frees its place; so does one that closes.
    ASSERT_EQ(refusal(login(*waiting[0], "ana", kAnaPassword)), "");
    LineClient third(server.host(), server.port());
    EXPECT_EQ(third.call("GetSala", json::array())["error"]["code"], -32001);
    EXPECT_TRUE(refusedAtOnce());
    waiting.pop_back();
    bool servedAgain = false;
    for (auto until = std::chrono::steady_clock::now() + 5s;
         !servedAgain && std::chrono::steady_clock::now() < until;) {
        LineClient next(server.host(), server.port());
        auto answer = next.call("GetSala", json::array());
        servedAgain = answer.contains("error") && answer["error"]["code"] == -32001;
        if (!servedAgain) std::this_thread::sleep_for(50ms);
    }
    EXPECT_TRUE(servedAgain);
    EXPECT_TRUE(waiting[0]->call("GetSala", json::array())["result"]["ok"].get<bool>());  // still served
}

TEST(SignInLogs, ConnectionsWithoutASessionCannotFloodTheLog) {
    TestServer server{withPasswords()};
    LineClient c(server.host(), server.port());
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 300; ++i) {  // refused calls, unreadable lines and invalid requests
        ASSERT_TRUE(c.sendLine(i % 3 == 0   ? LineClient::request(i, "GetSala", json::array())
                               : i % 3 == 1 ? std::string("{nada")
                                            : std::string("[1]")));
        ASSERT_TRUE(c.readLine());
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    auto lines = [&] {
        std::string log = server.log();
        std::size_t n = 0;
        for (auto at = log.find("[warning]"); at != std::string::npos; at = log.find("[warning]", at + 1))
            ++n;
        return n;
    };
    std::size_t written = lines();
    EXPECT_GE(written, 20u);  // a burst of them is written
    EXPECT_LE(written, 21u + static_cast<std::size_t>(5 * seconds)) << server.log();

    // The next one written says how many were not.
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(c.call("GetSala", json::array())["error"]["code"], -32001);
    EXPECT_NE(server.log().find("more from connections without a session, not written)"), std::string::npos);

    // Sign-ins of a locked operator and unknown sessions, too.
    for (int i = 0; i < 5; ++i) ASSERT_EQ(refusal(login(c, "bruno", "chute")), kBadSignIn);
    start = std::chrono::steady_clock::now();
    for (int i = 0; i < 60; ++i) {
        EXPECT_NE(refusal(login(c, "bruno", "chute")), kBadSignIn);  // locked
        EXPECT_NE(refusal(c.callFull("Session.Resume", json::array({std::string(64, 'a')}))), "");
    }
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::string log = server.log();
    std::size_t refusals = 0;
    for (const char* what : {"locked after repeated failures", "resume from"})
        for (auto at = log.find(what); at != std::string::npos; at = log.find(what, at + 1)) ++refusals;
    EXPECT_LE(refusals, 21u + static_cast<std::size_t>(5 * seconds)) << log;

    // A signed-in connection's failures are each written.
    ASSERT_EQ(refusal(login(c, "ana", kAnaPassword)), "");
    std::size_t before = lines();
    for (int i = 0; i < 30; ++i) EXPECT_EQ(c.call("GetHora", json::array())["error"]["code"], -32602);
    EXPECT_EQ(lines(), before + 30);
}

TEST(SignInWithoutAuth, AnyPasswordOfAKnownEnabledOperatorOpensASession) {
    TestServer server;  // --auth none
    LineClient c(server.host(), server.port());
    EXPECT_TRUE(c.call("GetSala", json::array())["result"]["ok"].get<bool>());
    EXPECT_EQ(refusal(login(c, "ninguem", "x")), kBadSignIn);
    json ok = login(c, "bruno", "qualquer");
    ASSERT_TRUE(ok["ok"].get<bool>()) << ok;
    EXPECT_EQ(ok["data"]["name"], "Bruno Lima");
    EXPECT_NE(server.log().find("--auth none"), std::string::npos) << server.log();
}

TEST(SignInWithoutPasswords, TheServerSaysNobodyCanSignInAndNobodyCan) {
    TestServer server{{.auth = "password"}};
    LineClient c(server.host(), server.port());
    EXPECT_EQ(refusal(login(c, "ana", "qualquer-senha")), kBadSignIn);
    EXPECT_NE(server.log().find("no operator has a password yet, so nobody can sign in"), std::string::npos)
        << server.log();
}

TEST(SignInOnSharedPostgres, ASessionOpenedOnOneServerResumesOnAnother) {
    AGE_REQUIRE_BACKEND(Backend::Postgres);
    TestServer first{withPasswords({.db = "postgresql"})};
    TestServer second{{.rooms = {}, .operators = {}, .db = first.dbUrl(), .auth = "password"}};
    LineClient a(first.host(), first.port()), b(second.host(), second.port());
    std::string token = login(a, "ana", kAnaPassword)["data"]["token"];
    json resumed = b.callFull("Session.Resume", json::array({token}))["result"];
    ASSERT_TRUE(resumed["ok"].get<bool>()) << resumed;
    EXPECT_TRUE(b.call("GetSala", json::array())["result"]["ok"].get<bool>());
    EXPECT_EQ(refusal(b.callFull("Session.Logout", json::array())), "");
    EXPECT_NE(refusal(LineClient(first.host(), first.port()).callFull("Session.Resume", json::array({token}))), "");
}

AGE_ON_EACH_BACKEND(SignIn);

}  // namespace
}  // namespace age::test
