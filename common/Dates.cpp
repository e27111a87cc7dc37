#include "common/Dates.h"

#include <charconv>
#include <cstdio>

namespace age {
namespace {

using namespace std::chrono;

// Reads exactly `width` decimal digits at `pos`.
std::optional<int> digits(std::string_view text, std::size_t pos, std::size_t width) {
    if (pos + width > text.size()) return std::nullopt;
    int value = 0;
    for (std::size_t i = pos; i < pos + width; ++i) {
        char c = text[i];
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

std::optional<Date> checkedDate(int y, int m, int d) {
    if (y < 1 || y > 9999) return std::nullopt;
    year_month_day ymd{year{y}, month{static_cast<unsigned>(m)}, day{static_cast<unsigned>(d)}};
    if (!ymd.ok()) return std::nullopt;
    return sys_days{ymd};
}

struct Clock {
    int h, m, s;
};

Clock split(DateTime t) {
    auto secs = (t - floor<days>(t)).count();
    return {static_cast<int>(secs / 3600), static_cast<int>(secs / 60 % 60), static_cast<int>(secs % 60)};
}

}  // namespace

Date makeDate(int y, unsigned m, unsigned d) { return sys_days{year{y} / month{m} / day{d}}; }

DateTime makeDateTime(int y, unsigned mo, unsigned d, int h, int mi, int s) {
    return DateTime{makeDate(y, mo, d)} + hours{h} + minutes{mi} + seconds{s};
}

std::string formatIsoDate(Date d) {
    year_month_day ymd{d};
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04d-%02u-%02u", static_cast<int>(ymd.year()),
                  static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()));
    return buf;
}

std::string formatIsoDateTime(DateTime t) {
    auto c = split(t);
    char buf[16];
    std::snprintf(buf, sizeof buf, "T%02d:%02d:%02d", c.h, c.m, c.s);
    return formatIsoDate(wholeDay(t)) + buf;
}

std::optional<Date> parseIsoDate(std::string_view text) {
    if (text.size() != 10 || text[4] != '-' || text[7] != '-') return std::nullopt;
    auto y = digits(text, 0, 4), m = digits(text, 5, 2), d = digits(text, 8, 2);
    if (!y || !m || !d) return std::nullopt;
    return checkedDate(*y, *m, *d);
}

std::optional<DateTime> parseIsoDateTime(std::string_view text) {
    if (text.size() != 19 || text[10] != 'T' || text[13] != ':' || text[16] != ':') return std::nullopt;
    auto day = parseIsoDate(text.substr(0, 10));
    auto h = digits(text, 11, 2), m = digits(text, 14, 2), s = digits(text, 17, 2);
    if (!day || !h || !m || !s || *h > 23 || *m > 59 || *s > 59) return std::nullopt;
    return DateTime{*day} + hours{*h} + minutes{*m} + seconds{*s};
}

std::string formatShortDate(Date d) {
    year_month_day ymd{d};
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02u/%02u/%04d", static_cast<unsigned>(ymd.day()),
                  static_cast<unsigned>(ymd.month()), static_cast<int>(ymd.year()));
    return buf;
}

std::optional<Date> parseShortDate(std::string_view text) {
    if (text.size() != 10 || text[2] != '/' || text[5] != '/') return std::nullopt;
    auto d = digits(text, 0, 2), m = digits(text, 3, 2), y = digits(text, 6, 4);
    if (!y || !m || !d) return std::nullopt;
    return checkedDate(*y, *m, *d);
}

std::string formatShortDateTime(DateTime t) {
    auto c = split(t);
    std::string text = formatShortDate(wholeDay(t));
    if (c.h == 0 && c.m == 0 && c.s == 0) return text;
    char buf[16];
    std::snprintf(buf, sizeof buf, " %02d:%02d:%02d", c.h, c.m, c.s);
    return text + buf;
}

Date wholeDay(DateTime t) { return floor<days>(t); }

int dayOfWeek(Date d) { return static_cast<int>(weekday{d}.c_encoding()) + 1; }

}  // namespace age
