#include "server/Clock.h"

#include <ctime>

namespace age::server {

DateTime Clock::now() const {
    if (pinned_) return *pinned_;
    std::time_t t = std::time(nullptr);
    std::tm local{};
    localtime_r(&t, &local);
    return makeDateTime(local.tm_year + 1900, static_cast<unsigned>(local.tm_mon + 1),
                        static_cast<unsigned>(local.tm_mday), local.tm_hour, local.tm_min, local.tm_sec);
}

}  // namespace age::server
