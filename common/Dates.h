// Calendar values of the booking system: whole days and wall-clock date-times, both without a
// time zone (the server's local time is the only clock that counts).
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace age {

using Date = std::chrono::sys_days;         // a whole day
using DateTime = std::chrono::sys_seconds;  // a local date and time, to the second

Date makeDate(int year, unsigned month, unsigned day);
DateTime makeDateTime(int year, unsigned month, unsigned day, int hour = 0, int minute = 0, int second = 0);

// "YYYY-MM-DD" and "YYYY-MM-DDTHH:MM:SS": the wire's formats.
std::string formatIsoDate(Date d);
std::string formatIsoDateTime(DateTime t);
std::optional<Date> parseIsoDate(std::string_view text);
std::optional<DateTime> parseIsoDateTime(std::string_view text);

// "dd/mm/yyyy": the short date format of the user interface and of the automatic booking's date list.
std::string formatShortDate(Date d);
std::optional<Date> parseShortDate(std::string_view text);
// "dd/mm/yyyy", followed by " HH:MM:SS" unless the time is midnight.
std::string formatShortDateTime(DateTime t);

Date wholeDay(DateTime t);
inline DateTime atMidnight(Date d) { return DateTime{d}; }

// 1 = Sunday ... 7 = Saturday.
int dayOfWeek(Date d);

}  // namespace age
