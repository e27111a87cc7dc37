// A token bucket: up to `burst` actions at once, then `perSecond` on average. Not thread-safe: a
// connection's own is used by one call at a time; an operator's, under its owner's lock.
#pragma once

#include <algorithm>
#include <chrono>

namespace age::server {

class RateLimit {
  public:
    using Clock = std::chrono::steady_clock;

    RateLimit(double burst, double perSecond) : burst_(burst), perSecond_(perSecond), tokens_(burst) {}

    // Spends one token; false (nothing spent) when none is left.
    bool take(Clock::time_point now = Clock::now()) {
        if (last_ != Clock::time_point{}) {
            double elapsed = std::chrono::duration<double>(now - last_).count();
            tokens_ = std::min(burst_, tokens_ + elapsed * perSecond_);
        }
        last_ = now;
        if (tokens_ < 1) return false;
        tokens_ -= 1;
        return true;
    }

  private:
    double burst_;
    double perSecond_;
    double tokens_;
    Clock::time_point last_{};
};

}  // namespace age::server
