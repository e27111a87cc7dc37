// Passwords, session tokens and the brake on password guessing.
#pragma once

#include <chrono>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace age::server::auth {

inline constexpr std::size_t kMinPasswordLength = 8;
inline constexpr std::size_t kMaxPasswordBytes = 1024;

// Argon2id (libsodium crypto_pwhash_str) with the interactive limits: the string carries its own salt and
// cost, so a later change of the limits leaves stored hashes valid.
std::string hashPassword(std::string_view password);
bool verifyPassword(const std::string& hash, std::string_view password);
// Spends the time of one verification, so an unknown operator answers as slowly as a wrong password.
void verifyNothing(std::string_view password);

// 32 random bytes as 64 lowercase hex characters.
std::string newToken();
bool looksLikeToken(std::string_view text);
// SHA-256 of the token, in hex: what the database keeps.
std::string tokenHash(std::string_view token);
inline constexpr std::size_t kTokenPrefixLength = 8;

// The address without its port: "10.0.0.7:53211" -> "10.0.0.7", "[::1]:4000" -> "[::1]".
std::string hostOf(const std::string& address);
// Text from a client for a log line: printable ASCII kept, anything else as \xNN, cut at `max` characters.
std::string escaped(std::string_view text, std::size_t max = 40);

struct ThrottlePolicy {
    std::chrono::milliseconds firstDelay{500};  // after the first failure; doubles with each one
    std::chrono::milliseconds maxDelay{8000};
    int lockAfter = 5;  // failures of one operator from one address within `window`
    std::chrono::minutes window{15};
    std::chrono::minutes lockFor{15};
};

// Failed sign-ins, kept in memory: each failure waits longer than the one before (counting the operator's
// failures from anywhere and the address's failures on any operator, whichever are more), and
// `lockAfter` failures of one operator from one address lock that pair for `lockFor`. Thread safe.
class LoginThrottle {
  public:
    using Clock = std::chrono::steady_clock;
    explicit LoginThrottle(ThrottlePolicy policy = {}) : policy_(policy) {}

    const ThrottlePolicy& policy() const { return policy_; }
    bool locked(const std::string& op, const std::string& host, Clock::time_point now);

    struct Failure {
        std::chrono::milliseconds delay;
        bool lockedNow;  // this failure locked the pair
    };
    Failure fail(const std::string& op, const std::string& host, Clock::time_point now);
    // A good sign-in forgets the pair's failures.
    void succeed(const std::string& op, const std::string& host);
    // The delay for another answer now (a refusal while locked also waits).
    std::chrono::milliseconds delayFor(const std::string& op, const std::string& host, Clock::time_point now);
    // How long the delay of the address's last failure still runs. A client waits it out before its answer,
    // so a sign-in arriving meanwhile comes from another connection of that address (guessing in parallel)
    // and is refused before it costs a password verification. Zero when none runs.
    std::chrono::milliseconds waitLeft(const std::string& host, Clock::time_point now);

  private:
    using Times = std::deque<Clock::time_point>;
    struct Pair {
        Times failures;
        Clock::time_point lockedUntil{};
    };
    std::size_t recent(Times& times, Clock::time_point now) const;
    std::chrono::milliseconds delayAfter(std::size_t failures) const;
    void forgetOld(Clock::time_point now);

    ThrottlePolicy policy_;
    std::mutex mutex_;
    std::map<std::pair<std::string, std::string>, Pair> pairs_;
    std::map<std::string, Times> byOperator_;
    std::map<std::string, Times> byHost_;
};

}  // namespace age::server::auth
