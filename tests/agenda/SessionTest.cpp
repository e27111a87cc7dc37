// The agenda screen when the server ends the operator's session while a new booking is on the screen: the
// connection asks for the password again and the save goes through, or, when the user gives up, the row
// stays on the screen and is saved by the next try. The server side of the sign-in is a stand-in in front
// of a real age-server: it keeps the sessions and passes every module call of a signed-in connection on.
#include <map>
#include <mutex>
#include <set>

#include "AgendaFixture.h"
#include "tests/support/SignInPeer.h"

using namespace agenda_test;
using age::test::SignInPeer;
using nlohmann::json;

namespace {

class SessionGate {
  public:
    explicit SessionGate(const age::test::TestServer& server) : server_(server) {}

    std::optional<std::string> operator()(int connection, const json& request) {
        std::lock_guard lock(mutex_);
        const std::string method = request["method"];
        const json& params = request["params"];
        if (method == "Session.Login") {
            if (params[0] != "ana" || params[1] != "certa") return SignInPeer::refusal(request);
            std::string token = "t" + std::to_string(++issued_);
            live_.insert(token);
            bound_[connection] = token;
            return SignInPeer::session(request, "ana", "Ana Souza", token);
        }
        if (method == "Session.Resume") {
            if (!live_.contains(params[0].get<std::string>())) return SignInPeer::refusal(request, "Sessão encerrada.");
            bound_[connection] = params[0];
            return SignInPeer::session(request, "ana", "Ana Souza", params[0]);
        }
        if (!bound_.contains(connection) || !live_.contains(bound_[connection])) {
            ++refused_;
            return SignInPeer::error(request, -32001, "Sessão não iniciada: entre com operador e senha.");
        }
        auto& upstream = upstream_[connection];
        if (!upstream) upstream = std::make_unique<age::test::LineClient>(server_.host(), server_.port());
        upstream->sendLine(request.dump());
        return upstream->readLine().value_or(SignInPeer::kHangUp);
    }
    void revokeAll() {
        std::lock_guard lock(mutex_);
        live_.clear();
    }
    int refused() {
        std::lock_guard lock(mutex_);
        return refused_;
    }

  private:
    const age::test::TestServer& server_;
    std::mutex mutex_;
    std::set<std::string> live_;
    std::map<int, std::string> bound_;
    std::map<int, std::unique_ptr<age::test::LineClient>> upstream_;
    int issued_ = 0;
    int refused_ = 0;
};

class SessionTest : public AgendaFixture {
  protected:
    void SetUp() override {
        startHost();
        gate = std::make_unique<SessionGate>(*server);
        peer = std::make_unique<SignInPeer>(std::ref(*gate));
        useServer("127.0.0.1", peer->port());
        // The seeder's own connection goes straight to the server, which knows none of the gate's tokens: it
        // is open before there is a session to resume.
        stored();
        {
            TNetConnection host;  // the host's sign-in at start; its connection is gone before the screen's
            host.Port = peer->port();
            ASSERT_EQ(host.SignIn({"ana", "certa"}).Token, "t1");
        }
        TNetConnection::AskSignIn = [this](const std::string& reason,
                                           const TNetConnection&) -> std::optional<TCredentials> {
            reasons.push_back(reason);
            if (giveUp) return std::nullopt;
            return TCredentials{"ana", "certa"};
        };
        openScreen();
        open(december(7), "101");
    }
    void TearDown() override {
        AgendaFixture::TearDown();
        peer.reset();
        TNetConnection::AskSignIn = nullptr;
        TNetConnection::Session.reset();
    }
    void typeNewBooking() {
        f->sbtIncluir->click();
        ASSERT_EQ(state(), TDataSetState::dsInsert);
        set("DSAGENDASALA", "Revisão");
        set("HRINIAGESALA", "1500");
        set("HRFINAGESALA", "1600");
    }
    Strings stored() { return seeder->stored("101", december(7), {"HRINIAGESALA", "DSAGENDASALA", "CDOPERADOR"}); }

    std::unique_ptr<SessionGate> gate;
    std::unique_ptr<SignInPeer> peer;
    std::vector<std::string> reasons;
    bool giveUp = false;
};

TEST_F(SessionTest, AnEndedSessionAsksForThePasswordAndTheNewBookingIsSavedWithoutAWord) {
    typeNewBooking();
    gate->revokeAll();
    f->sbtGravar->click();
    ASSERT_EQ(reasons.size(), 1u);
    EXPECT_NE(reasons[0].find("Sua sessão terminou"), std::string::npos) << reasons[0];
    EXPECT_EQ(gate->refused(), 1);
    EXPECT_EQ(stored(), (Strings{"1500 Revisão ana"}));
    EXPECT_EQ(state(), TDataSetState::dsBrowse);
    EXPECT_EQ(f->cdsAgendaSala->ChangeCount(), 0);
    EXPECT_TRUE(shown().empty());
    EXPECT_EQ(TNetConnection::Session->Token, "t2");
}

TEST_F(SessionTest, GivingUpKeepsTheRowOnTheScreenAndTheNextSaveStoresIt) {
    typeNewBooking();
    gate->revokeAll();
    giveUp = true;
    f->sbtGravar->click();
    EXPECT_EQ(reasons.size(), 1u);
    auto errors = errorsShown();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_TRUE(errors[0].starts_with("A entrada foi cancelada")) << errors[0];
    EXPECT_TRUE(stored().empty());
    EXPECT_EQ(current("DSAGENDASALA"), "Revisão");

    giveUp = false;
    f->sbtGravar->click();
    EXPECT_EQ(stored(), (Strings{"1500 Revisão ana"}));
    EXPECT_TRUE(errorsShown().empty());
}

}  // namespace
