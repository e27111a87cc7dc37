// Passwords, session tokens and the brake on password guessing, on their own.
#include <gtest/gtest.h>

#include "server/Auth.h"

namespace age::server::auth {
namespace {

using namespace std::chrono_literals;
using Clock = LoginThrottle::Clock;

TEST(Passwords, AreStoredAsArgon2idHashesThatOnlyTheirPasswordMatches) {
    std::string hash = hashPassword("senha secreta");
    EXPECT_TRUE(hash.starts_with("$argon2id$")) << hash;
    EXPECT_EQ(hash.find("senha"), std::string::npos);
    EXPECT_NE(hashPassword("senha secreta"), hash);  // salted
    EXPECT_TRUE(verifyPassword(hash, "senha secreta"));
    EXPECT_FALSE(verifyPassword(hash, "senha secretA"));
    EXPECT_FALSE(verifyPassword(hash, ""));
    EXPECT_FALSE(verifyPassword("", "senha secreta"));  // no password set: nothing matches
    EXPECT_FALSE(verifyPassword("não é um hash", "senha secreta"));
}

TEST(Tokens, AreRandomHexAndStoredOnlyAsTheirHash) {
    std::string a = newToken(), b = newToken();
    EXPECT_TRUE(looksLikeToken(a)) << a;
    EXPECT_NE(a, b);
    EXPECT_EQ(tokenHash(a), tokenHash(a));
    EXPECT_NE(tokenHash(a), tokenHash(b));
    EXPECT_NE(tokenHash(a), a);
    EXPECT_EQ(tokenHash(a).size(), 64u);
    EXPECT_FALSE(looksLikeToken(a.substr(1)));
    EXPECT_FALSE(looksLikeToken(std::string(63, 'a') + "G"));
    EXPECT_FALSE(looksLikeToken(""));
}

TEST(ClientText, AddressesLoseTheirPortAndLogTextIsEscapedAndCut) {
    EXPECT_EQ(hostOf("10.0.0.7:53211"), "10.0.0.7");
    EXPECT_EQ(hostOf("[::1]:4000"), "[::1]");
    EXPECT_EQ(hostOf("[::1]"), "[::1]");
    EXPECT_EQ(hostOf(""), "");
    EXPECT_EQ(escaped("ana\n\x1b[31m"), "ana\\x0a\\x1b[31m");
    EXPECT_EQ(escaped("zé"), "z\\xc3\\xa9");
    EXPECT_EQ(escaped(std::string(50, 'x'), 10), std::string(10, 'x') + "...");
}

class Throttle : public ::testing::Test {
  protected:
    LoginThrottle throttle{{.firstDelay = 100ms, .maxDelay = 1000ms, .lockAfter = 5, .window = 15min,
                            .lockFor = 15min}};
    Clock::time_point t0 = Clock::now();
};

TEST_F(Throttle, EachFailureWaitsTwiceTheOneBeforeUpToTheMaximum) {
    std::vector<long> delays;
    for (int i = 0; i < 4; ++i) delays.push_back(throttle.fail("ana", "10.0.0.1", t0 + 1s * i).delay.count());
    EXPECT_EQ(delays, (std::vector<long>{100, 200, 400, 800}));
    // Another operator from that address, and that operator from another address, wait as long as the worse.
    EXPECT_EQ(throttle.fail("bruno", "10.0.0.1", t0 + 5s).delay, 1000ms);
    EXPECT_EQ(throttle.fail("carla", "10.0.0.9", t0 + 5s).delay, 100ms);
    EXPECT_EQ(throttle.fail("ana", "10.0.0.9", t0 + 6s).delay, 1000ms);
}

TEST_F(Throttle, FiveFailuresInTheWindowLockThatOperatorFromThatAddressOnly) {
    for (int i = 0; i < 4; ++i) EXPECT_FALSE(throttle.fail("ana", "10.0.0.1", t0 + 1min * i).lockedNow);
    EXPECT_FALSE(throttle.locked("ana", "10.0.0.1", t0 + 4min));
    EXPECT_TRUE(throttle.fail("ana", "10.0.0.1", t0 + 4min).lockedNow);
    EXPECT_TRUE(throttle.locked("ana", "10.0.0.1", t0 + 4min));
    EXPECT_FALSE(throttle.locked("ana", "10.0.0.2", t0 + 4min));
    EXPECT_FALSE(throttle.locked("bruno", "10.0.0.1", t0 + 4min));
    EXPECT_TRUE(throttle.locked("ana", "10.0.0.1", t0 + 18min));
    EXPECT_FALSE(throttle.locked("ana", "10.0.0.1", t0 + 19min));  // 15 minutes after the fifth failure
}

TEST_F(Throttle, FailuresOlderThanTheWindowNoLongerCountAndASuccessClearsThePair) {
    for (int i = 0; i < 4; ++i) throttle.fail("ana", "10.0.0.1", t0 + 1min * i);
    EXPECT_FALSE(throttle.fail("ana", "10.0.0.1", t0 + 16min).lockedNow);  // the first one aged out
    EXPECT_EQ(throttle.delayFor("ana", "10.0.0.1", t0 + 40min), 100ms);

    for (int i = 0; i < 4; ++i) throttle.fail("bruno", "10.0.0.1", t0 + 1s * i);
    throttle.succeed("bruno", "10.0.0.1");
    EXPECT_FALSE(throttle.fail("bruno", "10.0.0.1", t0 + 5s).lockedNow);
}

TEST_F(Throttle, AnAddressWaitsOutItsLastFailuresDelayBeforeAnotherSignInIsVerified) {
    EXPECT_EQ(throttle.waitLeft("10.0.0.1", t0), 0ms);
    throttle.fail("ana", "10.0.0.1", t0);
    EXPECT_EQ(throttle.waitLeft("10.0.0.1", t0 + 40ms), 60ms);
    EXPECT_EQ(throttle.waitLeft("10.0.0.2", t0 + 40ms), 0ms);  // another address
    EXPECT_EQ(throttle.waitLeft("10.0.0.1", t0 + 100ms), 0ms);
    throttle.fail("bruno", "10.0.0.1", t0 + 1s);  // the address's second failure: 200 ms
    EXPECT_EQ(throttle.waitLeft("10.0.0.1", t0 + 1s), 200ms);
    EXPECT_EQ(throttle.waitLeft("10.0.0.1", t0 + 20min), 0ms);  // aged out of the window
}

}  // namespace
}  // namespace age::server::auth
