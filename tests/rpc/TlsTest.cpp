// TLS between the connection and a real age-server, with certificates the test makes (openssl): a round
// trip, the server's certificate checked against the given authority and the host name, an idle TLS
// connection the server closed reopened by the next call, and the plain and TLS listeners side by side.
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include <unistd.h>

#include <openssl/ssl.h>

#include <asio.hpp>
#include <asio/ssl.hpp>

#include "platform/rpc/CheckResult.h"
#include "platform/rpc/NetConnection.h"
#include "tests/support/TestCertificate.h"
#include "tests/support/TestServer.h"

namespace {

using age::test::TestServer;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

class TlsTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir = new fs::path(fs::temp_directory_path() / ("age-tls-" + std::to_string(getpid())));
        fs::create_directories(*dir);
        auto certificate = age::test::makeTestCertificate(*dir, "server", "DNS:localhost");
        age::test::makeTestCertificate(*dir, "other", "DNS:localhost,IP:127.0.0.1");
        age::test::ServerSetup setup;
        setup.idleTimeoutSeconds = 1;
        setup.serveArgs = age::test::tlsServeArgs(certificate);
        server = new TestServer(setup);
    }
    static void TearDownTestSuite() {
        delete server;
        fs::remove_all(*dir);
        delete dir;
    }
    void SetUp() override { TNetConnection::DefaultTransport = {}; }
    void TearDown() override { TNetConnection::DefaultTransport = {}; }

    static TNetConnection::TTransport tls(const std::string& ca) { return {true, (*dir / ca).string(), false}; }
    void point(TNetConnection& net, const std::string& host = "127.0.0.1") {
        server->configure(net);
        net.Host = host;
        net.Port = server->tlsPort();
    }
    static std::string rooms(TNetConnection& net) {
        auto packet = Consiste::CheckResultServ(net.AppServer().Call("GetSala"), false, 0);
        std::string out;
        for (const auto& row : packet.rows) out += std::get<std::string>(row[0]) + " ";
        return out;
    }
    static std::string connectError(TNetConnection& net) {
        try {
            net.AppServer().Call("GetSala");
        } catch (const EConnectionError& e) {
            return e.what();
        }
        return "connected";
    }

    static inline fs::path* dir = nullptr;
    static inline TestServer* server = nullptr;
};

TEST_F(TlsTest, RoundTripAndAReconnectAfterTheServerClosedTheIdleConnection) {
    TNetConnection net;
    net.Transport = tls("server.pem");
    point(net, "localhost");
    EXPECT_EQ(rooms(net), "101 102 201 ");
    std::this_thread::sleep_for(1500ms);  // past the server's idle time: it closed the connection
    EXPECT_EQ(rooms(net), "101 102 201 ");

    TNetConnection plain;  // the plain listener still serves beside it
    server->configure(plain);
    EXPECT_EQ(rooms(plain), "101 102 201 ");
}

TEST_F(TlsTest, ACertificateNotFromTheGivenAuthorityOrNotNamingTheHostIsRefused) {
    TNetConnection strange;
    strange.Transport = tls("other.pem");
    point(strange, "localhost");
    std::string error = connectError(strange);
    EXPECT_NE(error.find("o certificado do servidor não foi aceito"), std::string::npos) << error;
    EXPECT_NE(error.find(":" + std::to_string(server->tlsPort())), std::string::npos) << error;

    TNetConnection system;  // a self-signed certificate is in no system store
    system.Transport = tls("");
    system.Transport.CaFile.clear();
    point(system, "localhost");
    error = connectError(system);
    EXPECT_NE(error.find("o certificado do servidor não foi aceito"), std::string::npos) << error;

    // The right certificate, reached by an address it does not name.
    TNetConnection byAddress;
    byAddress.Transport = tls("server.pem");
    point(byAddress, "127.0.0.1");
    error = connectError(byAddress);
    EXPECT_NE(error.find("o certificado do servidor não foi aceito"), std::string::npos) << error;
    EXPECT_NE(error.find("mismatch"), std::string::npos) << error;

    TNetConnection missing;
    missing.Transport = tls("nothing.pem");
    point(missing);
    error = connectError(missing);
    EXPECT_NE(error.find("nothing.pem"), std::string::npos) << error;
}

TEST_F(TlsTest, APlainClientOnTheTlsPortGetsNoAnswerAndTheServerGoesOn) {
    age::test::LineClient client(server->host(), server->tlsPort());
    client.sendLine(age::test::LineClient::request(1, "GetSala", nlohmann::json::array()));
    EXPECT_TRUE(client.closedByPeer());
    TNetConnection net;
    net.Transport = tls("server.pem");
    point(net, "localhost");
    EXPECT_EQ(rooms(net), "101 102 201 ");
}

TEST_F(TlsTest, TheServerWillNotStartWithoutAUsableCertificateAndKey) {
    std::string output;
    EXPECT_NE(server->admin({"serve", "--listen-tls", "127.0.0.1:0"}, &output), 0);
    EXPECT_NE(output.find("--tls-cert"), std::string::npos) << output;
    const std::string certificate = (*dir / "server.pem").string();
    EXPECT_EQ(server->admin({"serve", "--listen", "127.0.0.1:0", "--listen-tls", "127.0.0.1:0", "--tls-cert",
                             certificate, "--tls-key", (*dir / "other.key").string()},
                            &output),
              1);
    EXPECT_NE(output.find("TLS key"), std::string::npos) << output;
}

TEST_F(TlsTest, AClientThatNeverCompletesTheHandshakeIsClosedAfterTheIdleTime) {
    age::test::LineClient silent(server->host(), server->tlsPort());
    EXPECT_TRUE(silent.closedByPeer(5s));
}

TEST_F(TlsTest, AClientOfferingOnlyTls11IsRefused) {
    asio::io_context io;
    asio::ssl::context context(asio::ssl::context::tls_client);
    SSL_CTX_set_security_level(context.native_handle(), 0);  // let this client offer the old protocol at all
    SSL_CTX_set_min_proto_version(context.native_handle(), TLS1_VERSION);
    SSL_CTX_set_max_proto_version(context.native_handle(), TLS1_1_VERSION);
    asio::ssl::stream<asio::ip::tcp::socket> old(io, context);
    old.lowest_layer().connect({asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(server->tlsPort())});
    std::error_code ec;
    old.handshake(asio::ssl::stream_base::client, ec);
    EXPECT_TRUE(ec) << "a TLS 1.1 handshake succeeded";
}

}  // namespace
