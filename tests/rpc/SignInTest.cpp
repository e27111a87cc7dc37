// The connection's sign-in against a stand-in that speaks the sign-in wire: signing in after connecting,
// resuming after a reconnect without asking, asking again when the server ended the session (and sending
// the refused call once more), and never sending a password unencrypted off this machine.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "platform/rpc/NetConnection.h"
#include "tests/support/SignInPeer.h"

namespace {

using age::test::SignInPeer;
using nlohmann::json;
using namespace std::chrono_literals;

const std::string kGetSala = "AGE12100.rdmAgendaSala.GetSala";
const std::string kEmptyPacket = R"({"data":{"fields":[],"rows":[]},"ok":true})";  // as the peer writes it

class SignInTest : public ::testing::Test {
  protected:
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }
    static void reset() {
        TNetConnection::Session.reset();
        TNetConnection::AskSignIn = nullptr;
        TNetConnection::SignedIn = nullptr;
        TNetConnection::DefaultTransport = {};
    }
    // The user at the dialog: answers with the next credentials (nothing once they run out) and
    // remembers why it was asked each time.
    void answer(std::vector<TCredentials> credentials) {
        reasons.clear();
        askedBy.clear();
        TNetConnection::AskSignIn = [this, credentials = std::move(credentials)](
                                        const std::string& reason,
                                        const TNetConnection& asking) mutable -> std::optional<TCredentials> {
            reasons.push_back(reason);
            askedBy.push_back(&asking);
            if (credentials.empty()) return std::nullopt;
            TCredentials next = credentials.front();
            credentials.erase(credentials.begin());
            return next;
        };
    }
    void point(TNetConnection& net, const SignInPeer& peer) {
        net.Port = peer.port();
        net.Timeout = 5s;
    }
    std::vector<std::string> reasons;
    std::vector<const TNetConnection*> askedBy;  // the connection that asked, each time
};

// A server with operator ana (password "certa") that hands out token "t1", "t2", ... and serves GetSala to a
// connection with a live session. `expired` tokens are refused on Resume and their calls get -32001.
struct FakeServer {
    std::mutex mutex;
    std::set<std::string> live;
    int issued = 0;
    std::map<int, std::string> bound;  // connection -> token

    std::optional<std::string> operator()(int connection, const json& request) {
        std::lock_guard lock(mutex);
        const std::string method = request["method"];
        const json& params = request["params"];
        if (method == "Session.Login") {
            if (params[0] != "ana" || params[1] != "certa") return SignInPeer::refusal(request);
            std::string token = "t" + std::to_string(++issued);
            live.insert(token);
            bound[connection] = token;
            return SignInPeer::session(request, "ana", "Ana Souza", token);
        }
        if (method == "Session.Resume") {
            if (!live.contains(params[0].get<std::string>())) return SignInPeer::refusal(request, "Sessão encerrada.");
            bound[connection] = params[0];
            return SignInPeer::session(request, "ana", "Ana Souza", params[0]);
        }
        if (method == "Session.Logout") {
            live.erase(bound[connection]);
            return SignInPeer::result(request, {{"ok", true}, {"data", nullptr}});
        }
        if (!bound.contains(connection) || !live.contains(bound[connection]))
            return SignInPeer::error(request, -32001, "Sessão não iniciada: entre com operador e senha.");
        return SignInPeer::result(request, json::parse(kEmptyPacket));
    }
    void revokeAll() {
        std::lock_guard lock(mutex);
        live.clear();
    }
};

TEST_F(SignInTest, ConnectingAsksOnceSignsInAndTheCallFollowsAWrongPasswordIsAskedAgainWithTheServersText) {
    FakeServer server;
    SignInPeer peer(std::ref(server));
    std::vector<std::string> named;
    TNetConnection::SignedIn = [&](const TSessionInfo& s) { named.push_back(s.Name); };
    answer({{"ana", "errada"}, {"ana", "certa"}});
    TNetConnection net;
    point(net, peer);
    EXPECT_EQ(net.AppServer().Call("GetSala").Text(), kEmptyPacket);
    EXPECT_EQ(reasons, (std::vector<std::string>{"", "Operador ou senha inválidos."}));
    EXPECT_EQ(askedBy, (std::vector<const TNetConnection*>{&net, &net}));  // the dialog names its server
    EXPECT_EQ(peer.methods(), (std::vector<std::string>{"Session.Login", "Session.Login", kGetSala}));
    EXPECT_EQ(peer.lines()[1].request["params"], json::array({"ana", "certa"}));
    ASSERT_TRUE(TNetConnection::Session);
    EXPECT_EQ(TNetConnection::Session->Token, "t1");
    EXPECT_EQ(TNetConnection::Session->Operator, "ana");
    EXPECT_EQ(named, std::vector<std::string>{"Ana Souza"});

    net.AppServer().Call("GetSala");  // signed in: nothing asked, nothing sent but the call
    EXPECT_EQ(reasons.size(), 2u);
    EXPECT_EQ(peer.methods().size(), 4u);
}

TEST_F(SignInTest, GivingUpFailsTheCallWithoutSendingIt) {
    FakeServer server;
    SignInPeer peer(std::ref(server));
    answer({});
    TNetConnection net;
    point(net, peer);
    try {
        net.AppServer().Call("GetSala");
        ADD_FAILURE() << "the call went through";
    } catch (const EConnectionError& e) {
        EXPECT_NE(std::string(e.what()).find("A entrada foi cancelada"), std::string::npos) << e.what();
    }
    EXPECT_TRUE(peer.methods().empty());
    EXPECT_FALSE(TNetConnection::Session);

    // Given up while connecting: the connection is not kept half signed in; the next call asks again.
    net.ThrowException = true;
    EXPECT_THROW(net.SetConnected(true), EConnectionError);
    EXPECT_FALSE(net.Connected());
    answer({{"ana", "certa"}});
    net.AppServer().Call("GetSala");
    EXPECT_EQ(reasons, std::vector<std::string>{""});
    EXPECT_EQ(peer.methods(), (std::vector<std::string>{"Session.Login", kGetSala}));
}

TEST_F(SignInTest, AReconnectResumesTheSessionWithoutAsking) {
    FakeServer server;
    SignInPeer peer(std::ref(server));
    TNetConnection signIn;
    point(signIn, peer);
    TSessionInfo session = signIn.SignIn({"ana", "certa"});
    EXPECT_EQ(session.Name, "Ana Souza");
    peer.hangUp();  // the host's connection is done with; a screen's connection comes next

    answer({});  // nobody may be asked
    TNetConnection screen;
    point(screen, peer);
    screen.AppServer().Call("GetSala");
    peer.hangUp();  // the server closes the idle connection
    std::this_thread::sleep_for(50ms);
    screen.AppServer().Call("GetSala");
    EXPECT_TRUE(reasons.empty());
    EXPECT_EQ(peer.methods(), (std::vector<std::string>{"Session.Login", "Session.Resume", kGetSala,
                                                        "Session.Resume", kGetSala}));
    EXPECT_EQ(peer.lines()[3].request["params"], json::array({"t1"}));
    EXPECT_EQ(peer.lines()[3].connection, 2);
}

TEST_F(SignInTest, AnEndedSessionAsksAgainAndTheRefusedCallIsSentOnceMoreWithItsByRefArguments) {
    FakeServer server;
    SignInPeer peer(std::ref(server));
    answer({{"ana", "certa"}, {"ana", "certa"}});
    TNetConnection net;
    point(net, peer);
    net.AppServer().Call("GetSala");
    server.revokeAll();  // revoked by an administrator, or expired

    std::string byRef = "antes";
    EXPECT_EQ(net.AppServer().Call("GetSala", {TAppServer::Arg::Ref(byRef)}).Text(), kEmptyPacket);
    ASSERT_EQ(reasons.size(), 2u);
    EXPECT_NE(reasons[1].find("Sua sessão terminou"), std::string::npos) << reasons[1];
    EXPECT_EQ(peer.methods(),
              (std::vector<std::string>{"Session.Login", kGetSala, kGetSala, "Session.Login", kGetSala}));
    EXPECT_EQ(TNetConnection::Session->Token, "t2");
    EXPECT_EQ(peer.lines()[4].request["params"], json::array({"antes"}));

    // Refused on resume after a reconnect: asked again too, then the call goes.
    server.revokeAll();
    peer.hangUp();
    std::this_thread::sleep_for(50ms);
    answer({{"ana", "certa"}});
    net.AppServer().Call("GetSala");
    EXPECT_EQ(reasons.size(), 1u);
    auto methods = peer.methods();
    EXPECT_EQ(std::vector<std::string>(methods.begin() + 5, methods.end()),
              (std::vector<std::string>{"Session.Resume", "Session.Login", kGetSala}));
}

TEST_F(SignInTest, GivingUpOnAnEndedSessionIsTheServersRefusalAndNothingIsRetried) {
    FakeServer server;
    SignInPeer peer(std::ref(server));
    answer({{"ana", "certa"}});
    TNetConnection net;
    point(net, peer);
    net.AppServer().Call("GetSala");
    server.revokeAll();
    EXPECT_THROW(net.AppServer().Call("GetSala"), EConnectionError);
    EXPECT_EQ(peer.methods(), (std::vector<std::string>{"Session.Login", kGetSala, kGetSala}));

    // Without a dialog at all, the call gets the server's own error.
    TNetConnection::AskSignIn = nullptr;
    try {
        net.AppServer().Call("GetSala");
        ADD_FAILURE() << "no error";
    } catch (const ERpcError& e) {
        EXPECT_EQ(e.Code(), -32001);
    }
}

TEST_F(SignInTest, SignOutEndsTheSessionOnTheServerAndForgetsIt) {
    FakeServer server;
    SignInPeer peer(std::ref(server));
    TNetConnection net;
    point(net, peer);
    net.SignIn({"ana", "certa"});
    net.SignOut();
    EXPECT_FALSE(TNetConnection::Session);
    EXPECT_EQ(peer.methods().back(), "Session.Logout");
    EXPECT_TRUE(server.live.empty());
}

TEST_F(SignInTest, AServerThatKnowsNoSignInIsUsedAsBefore) {
    SignInPeer peer([](int, const json& request) -> std::optional<std::string> {
        if (request["method"].get<std::string>().starts_with("Session."))
            return SignInPeer::error(request, -32601, "Módulo remoto desconhecido: \"Session\".");
        return SignInPeer::result(request, json::parse(kEmptyPacket));
    });
    TNetConnection net;
    point(net, peer);
    EXPECT_EQ(net.SignIn({"ana", "x"}).Operator, "ana");
    ASSERT_TRUE(TNetConnection::Session);
    EXPECT_TRUE(TNetConnection::Session->Token.empty());
    answer({{"ana", "x"}});
    peer.hangUp();  // a screen's connection after the host's: nothing to resume, nobody asked
    std::this_thread::sleep_for(50ms);
    TNetConnection screen;
    point(screen, peer);
    screen.AppServer().Call("GetSala");
    EXPECT_TRUE(reasons.empty());
    EXPECT_EQ(peer.methods(), (std::vector<std::string>{"Session.Login", kGetSala}));
}

// An address of this machine that is not loopback, when it has one.
std::optional<std::string> outsideAddress() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return std::nullopt;
    std::optional<std::string> found;
    for (ifaddrs* a = list; a && !found; a = a->ifa_next) {
        if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET) continue;
        auto* in = reinterpret_cast<sockaddr_in*>(a->ifa_addr);
        if ((ntohl(in->sin_addr.s_addr) >> 24) == 127) continue;
        char text[INET_ADDRSTRLEN];
        found = inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
    }
    freeifaddrs(list);
    return found;
}

TEST_F(SignInTest, APasswordIsNotSentUnencryptedOffThisMachineUnlessAllowed) {
    auto address = outsideAddress();
    if (!address) GTEST_SKIP() << "no address but loopback";
    FakeServer server;
    SignInPeer peer(std::ref(server), /*anyAddress=*/true);
    TNetConnection net;
    point(net, peer);
    net.Host = *address;
    try {
        net.SignIn({"ana", "certa"});
        ADD_FAILURE() << "the password was sent";
    } catch (const EInsecureTransport& e) {
        const std::string text = e.what();
        EXPECT_NE(text.find("A senha não foi enviada"), std::string::npos) << text;
        EXPECT_NE(text.find("tls://" + *address), std::string::npos) << text;
        EXPECT_NE(text.find("--insecure-password"), std::string::npos) << text;
    }
    EXPECT_TRUE(peer.methods().empty());
    EXPECT_FALSE(net.Connected());

    TNetConnection::DefaultTransport.AllowPlainPassword = true;
    TNetConnection allowed;
    point(allowed, peer);
    allowed.Host = *address;
    EXPECT_EQ(allowed.SignIn({"ana", "certa"}).Token, "t1");
}

}  // namespace
