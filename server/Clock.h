// The server's clock: local date and time, or a fixed moment given with --now (tests and demos).
#pragma once

#include <optional>

#include "common/Dates.h"

namespace age::server {

class Clock {
  public:
    explicit Clock(std::optional<DateTime> pinned = std::nullopt) : pinned_(pinned) {}
    DateTime now() const;
    Date today() const { return wholeDay(now()); }
    bool pinned() const { return pinned_.has_value(); }

  private:
    std::optional<DateTime> pinned_;
};

}  // namespace age::server
