#include "server/Auth.h"

#include <sodium.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <stdexcept>

namespace age::server::auth {
namespace {

// Past this many tracked names, entries whose failures have all aged out are dropped.
constexpr std::size_t kPruneAbove = 10000;

void ensureSodium() {
    static const int ready = sodium_init();
    if (ready < 0) throw std::runtime_error("libsodium cannot be initialised");
}

std::string hex(const unsigned char* bytes, std::size_t n) {
    std::string out(n * 2 + 1, '\0');
    sodium_bin2hex(out.data(), out.size(), bytes, n);
    out.pop_back();
    return out;
}

}  // namespace

std::string hashPassword(std::string_view password) {
    ensureSodium();
    std::array<char, crypto_pwhash_STRBYTES> out{};
    if (crypto_pwhash_str(out.data(), password.data(), password.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                          crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0)
        throw std::runtime_error("not enough memory to hash the password");
    return out.data();
}

bool verifyPassword(const std::string& hash, std::string_view password) {
    ensureSodium();
    if (hash.empty()) return false;
    return crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
}

void verifyNothing(std::string_view password) {
    static const std::string decoy = [] {
        std::array<unsigned char, 16> random{};
        randombytes_buf(random.data(), random.size());
        return hashPassword(hex(random.data(), random.size()));
    }();
    verifyPassword(decoy, password);
}

std::string newToken() {
    ensureSodium();
    std::array<unsigned char, 32> bytes{};
    randombytes_buf(bytes.data(), bytes.size());
    return hex(bytes.data(), bytes.size());
}

bool looksLikeToken(std::string_view text) {
    return text.size() == 64 &&
           std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

std::string tokenHash(std::string_view token) {
    ensureSodium();
    std::array<unsigned char, crypto_hash_sha256_BYTES> digest{};
    crypto_hash_sha256(digest.data(), reinterpret_cast<const unsigned char*>(token.data()), token.size());
    return hex(digest.data(), digest.size());
}

std::string hostOf(const std::string& address) {
    auto colon = address.rfind(':');
    if (colon == std::string::npos || (address.front() == '[' && address.find(']') > colon)) return address;
    return address.substr(0, colon);
}

std::string escaped(std::string_view text, std::size_t max) {
    std::string out;
    for (unsigned char c : text.substr(0, max)) {
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        }
    }
    if (text.size() > max) out += "...";
    return out;
}

std::size_t LoginThrottle::recent(Times& times, Clock::time_point now) const {
    while (!times.empty() && times.front() <= now - policy_.window) times.pop_front();
    return times.size();
}

std::chrono::milliseconds LoginThrottle::delayAfter(std::size_t failures) const {
    if (failures == 0) return std::chrono::milliseconds(0);
    auto delay = policy_.firstDelay;
    for (std::size_t i = 1; i < failures && delay < policy_.maxDelay; ++i) delay *= 2;
    return std::min(delay, policy_.maxDelay);
}

bool LoginThrottle::locked(const std::string& op, const std::string& host, Clock::time_point now) {
    std::lock_guard lock(mutex_);
    auto it = pairs_.find({op, host});
    return it != pairs_.end() && now < it->second.lockedUntil;
}

LoginThrottle::Failure LoginThrottle::fail(const std::string& op, const std::string& host,
                                           Clock::time_point now) {
    std::lock_guard lock(mutex_);
    if (pairs_.size() + byOperator_.size() + byHost_.size() > kPruneAbove) forgetOld(now);
    Pair& pair = pairs_[{op, host}];
    pair.failures.push_back(now);
    byOperator_[op].push_back(now);
    byHost_[host].push_back(now);
    bool lockedNow = false;
    if (recent(pair.failures, now) >= static_cast<std::size_t>(policy_.lockAfter) && now >= pair.lockedUntil) {
        pair.lockedUntil = now + policy_.lockFor;
        pair.failures.clear();  // the lock is the penalty; after it the count starts again
        lockedNow = true;
    }
    std::size_t n = std::max(recent(byOperator_[op], now), recent(byHost_[host], now));
    return {delayAfter(n), lockedNow};
}

void LoginThrottle::succeed(const std::string& op, const std::string& host) {
    std::lock_guard lock(mutex_);
    pairs_.erase({op, host});
}

std::chrono::milliseconds LoginThrottle::delayFor(const std::string& op, const std::string& host,
                                                  Clock::time_point now) {
    std::lock_guard lock(mutex_);
    std::size_t n = 0;
    if (auto it = byOperator_.find(op); it != byOperator_.end()) n = recent(it->second, now);
    if (auto it = byHost_.find(host); it != byHost_.end()) n = std::max(n, recent(it->second, now));
    return delayAfter(std::max<std::size_t>(n, 1));
}

std::chrono::milliseconds LoginThrottle::waitLeft(const std::string& host, Clock::time_point now) {
    std::lock_guard lock(mutex_);
    auto it = byHost_.find(host);
    if (it == byHost_.end() || recent(it->second, now) == 0) return std::chrono::milliseconds(0);
    auto until = it->second.back() + delayAfter(it->second.size());
    if (until <= now) return std::chrono::milliseconds(0);
    return std::chrono::ceil<std::chrono::milliseconds>(until - now);
}

void LoginThrottle::forgetOld(Clock::time_point now) {
    for (auto it = pairs_.begin(); it != pairs_.end();)
        it = recent(it->second.failures, now) == 0 && now >= it->second.lockedUntil ? pairs_.erase(it) : ++it;
    for (auto* times : {&byOperator_, &byHost_})
        for (auto it = times->begin(); it != times->end();)
            it = recent(it->second, now) == 0 ? times->erase(it) : ++it;
}

}  // namespace age::server::auth
