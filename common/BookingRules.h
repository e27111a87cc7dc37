// The checks a booking passes before it is posted, and the reading of the automatic booking's replies.
// Plain functions so the screens stay thin and the rules are tested on their own.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/Dates.h"

namespace age {

// True when the text holds nothing to store: empty or only blanks.
bool isBlank(std::string_view text);

// The field a failed check puts the focus on.
enum class BookingFocus { Reference, Start, End, Status };

struct RuleFailure {
    std::string_view key;  // message catalogue key
    BookingFocus focus;
    bool operator==(const RuleFailure&) const = default;
};

struct BookingInput {
    std::string reference;
    std::string start;  // four digits, no colon
    std::string end;
    std::string status;
};

// Field checks in their fixed order (reference, start, end, order of the hours, status of a new booking);
// the first that fails wins. An hour holding anything but four digits is refused like a malformed hour.
std::optional<RuleFailure> checkBookingFields(const BookingInput& booking, bool inserting);

struct HourSpan {
    std::string start;
    std::string end;
};

// The overlap check against the room's booked hours, both ends inclusive. When editing, a row whose start
// (or end) equals the booking's old start (or end) is taken to be the booking itself. Returns the field to
// focus on the first clash, nothing when the span is free.
std::optional<BookingFocus> findClash(const std::string& start, const std::string& end,
                                      const std::vector<HourSpan>& booked, bool editing,
                                      const std::string& oldStart, const std::string& oldEnd);

// --- automatic booking

inline constexpr int kMaxPeriodDays = 630;      // end minus start, in days
inline constexpr std::size_t kMaxDateList = 1078;  // 98 days of "_dd/mm/yyyy"

// Weekday boxes (index 0 = Sunday) that can be chosen for a period: all for 7 days apart or more, the
// weekdays that occur for a shorter one, none when the end is before the start.
std::array<bool, 7> weekdaysInPeriod(Date from, Date to);

// "_dd/mm/yyyy" for every day from `from` to `to` whose weekday is chosen, ascending.
std::string buildDateList(Date from, Date to, const std::array<bool, 7>& chosen);

// The conflict query's reply as the dialog reads it.
struct ConflictReply {
    enum Kind { AllFree, Nothing, NoneFree, SomeTaken } kind = Nothing;
    std::vector<std::string> takenDates;  // SomeTaken: the 10-character date texts, in order
};
ConflictReply readConflictReply(std::string_view reply);

}  // namespace age
