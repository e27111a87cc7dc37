#include "common/BookingRules.h"

#include <algorithm>

namespace age {
namespace {

bool allDigits(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

int twoDigits(std::string_view s) { return (s[0] - '0') * 10 + (s[1] - '0'); }

// Checks 2 to 4 (or 5 to 7) of one hour: filled, four characters, hour and minutes in range.
std::optional<RuleFailure> checkHour(std::string_view hour, std::string_view emptyKey, std::string_view badKey,
                                     BookingFocus focus) {
    if (isBlank(hour)) return RuleFailure{emptyKey, focus};
    if (hour.size() != 4 || !allDigits(hour)) return RuleFailure{badKey, focus};
    if (twoDigits(hour) > 23 || twoDigits(hour.substr(2)) > 59) return RuleFailure{badKey, focus};
    return std::nullopt;
}

bool between(const std::string& low, const std::string& x, const std::string& high) {
    return low <= x && x <= high;
}

}  // namespace

bool isBlank(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](unsigned char c) { return c <= ' '; });
}

std::optional<RuleFailure> checkBookingFields(const BookingInput& b, bool inserting) {
    if (isBlank(b.reference)) return RuleFailure{"cmp_dsagendasala", BookingFocus::Reference};
    if (auto f = checkHour(b.start, "cmp_hriniagesala", "hora_ini", BookingFocus::Start)) return f;
    if (auto f = checkHour(b.end, "cmp_hrfinagesala", "hora_fin", BookingFocus::End)) return f;
    // Both are four valid digits here, so text order is number order.
    if (b.start > b.end) return RuleFailure{"hora_vali", BookingFocus::End};
    if (b.start == b.end) return RuleFailure{"not_hr_igual", BookingFocus::End};
    if (inserting && b.status != "A") return RuleFailure{"reun_agenda", BookingFocus::Status};
    return std::nullopt;
}

std::optional<BookingFocus> findClash(const std::string& S, const std::string& E, const std::vector<HourSpan>& booked,
                                      bool editing, const std::string& oldStart, const std::string& oldEnd) {
    for (const auto& [s, e] : booked) {
        bool testA = between(s, S, e) || between(S, s, E);
        bool testB = between(s, E, e) || between(S, e, E);
        if (testA) {
            if (editing && s == oldStart) continue;  // the booking's own row
            return BookingFocus::Start;
        }
        if (testB) {
            if (editing && e == oldEnd) continue;
            return BookingFocus::End;
        }
    }
    return std::nullopt;
}

std::array<bool, 7> weekdaysInPeriod(Date from, Date to) {
    std::array<bool, 7> enabled{};
    auto n = (to - from).count();
    if (n >= 7) {
        enabled.fill(true);
        return enabled;
    }
    for (Date d = from; d <= to; d += std::chrono::days{1}) enabled[dayOfWeek(d) - 1] = true;
    return enabled;
}

std::string buildDateList(Date from, Date to, const std::array<bool, 7>& chosen) {
    std::string list;
    for (Date d = from; d <= to; d += std::chrono::days{1})
        if (chosen[dayOfWeek(d) - 1]) list += "_" + formatShortDate(d);
    return list;
}

ConflictReply readConflictReply(std::string_view reply) {
    if (reply == "1") return {ConflictReply::AllFree, {}};
    if (isBlank(reply)) return {ConflictReply::Nothing, {}};
    if (reply.front() != '1') return {ConflictReply::NoneFree, {}};
    reply.remove_prefix(1);
    if (!reply.empty() && reply.front() == '_') reply.remove_prefix(1);
    ConflictReply out{ConflictReply::SomeTaken, {}};
    // Dates of ten characters, each followed by one separator (the last may have none).
    while (!isBlank(reply)) {
        out.takenDates.emplace_back(reply.substr(0, 10));
        reply.remove_prefix(std::min<std::size_t>(11, reply.size()));
    }
    if (out.takenDates.empty()) out.kind = ConflictReply::Nothing;
    return out;
}

}  // namespace age
