#include <gtest/gtest.h>

#include "common/BookingRules.h"

using namespace age;

namespace {

std::optional<RuleFailure> check(std::string ref, std::string start, std::string end, bool inserting = true,
                                 std::string status = "A") {
    return checkBookingFields({std::move(ref), std::move(start), std::move(end), std::move(status)},
                              inserting);
}

const std::vector<HourSpan> kEightToNine{{"0800", "0900"}};

}  // namespace

TEST(BookingFields, FirstFailingCheckWinsWithItsFocus) {
    EXPECT_EQ(check("", "", ""), (RuleFailure{"cmp_dsagendasala", BookingFocus::Reference}));
    EXPECT_EQ(check("  ", "0800", "0900"), (RuleFailure{"cmp_dsagendasala", BookingFocus::Reference}));
    EXPECT_EQ(check("x", "", ""), (RuleFailure{"cmp_hriniagesala", BookingFocus::Start}));
    EXPECT_EQ(check("x", "930", "1000"), (RuleFailure{"hora_ini", BookingFocus::Start}));
    EXPECT_EQ(check("x", "2400", "2300"), (RuleFailure{"hora_ini", BookingFocus::Start}));
    EXPECT_EQ(check("x", "2360", "2300"), (RuleFailure{"hora_ini", BookingFocus::Start}));
    EXPECT_EQ(check("x", "0800", ""), (RuleFailure{"cmp_hrfinagesala", BookingFocus::End}));
    EXPECT_EQ(check("x", "0800", "090"), (RuleFailure{"hora_fin", BookingFocus::End}));
    EXPECT_EQ(check("x", "0800", "0960"), (RuleFailure{"hora_fin", BookingFocus::End}));
    EXPECT_EQ(check("x", "1000", "0900"), (RuleFailure{"hora_vali", BookingFocus::End}));
    EXPECT_EQ(check("x", "0930", "0930"), (RuleFailure{"not_hr_igual", BookingFocus::End}));
    EXPECT_EQ(check("x", "0800", "0900", true, "C"), (RuleFailure{"reun_agenda", BookingFocus::Status}));
    EXPECT_EQ(check("x", "0800", "0900", false, "C"), std::nullopt);  // status is free while editing
    EXPECT_EQ(check("x", "0000", "2359"), std::nullopt);
    // Blanks, letters or a fifth digit are malformed, not a crash nor a valid hour.
    EXPECT_EQ(check("x", " 930", "1000"), (RuleFailure{"hora_ini", BookingFocus::Start}));
    EXPECT_EQ(check("x", "08000", "0900"), (RuleFailure{"hora_ini", BookingFocus::Start}));
    EXPECT_EQ(check("x", "0800", "1a00"), (RuleFailure{"hora_fin", BookingFocus::End}));
}

TEST(Overlap, BothEndsAreInclusiveForNewBookings) {
    auto newBooking = [](const char* s, const char* e) {
        return findClash(s, e, kEightToNine, false, "", "");
    };
    EXPECT_EQ(newBooking("0900", "1000"), BookingFocus::Start);
    EXPECT_EQ(newBooking("0700", "0800"), BookingFocus::Start);
    EXPECT_EQ(newBooking("0700", "1200"), BookingFocus::Start);
    EXPECT_EQ(newBooking("0830", "0845"), BookingFocus::Start);
    EXPECT_EQ(newBooking("0901", "1000"), std::nullopt);
    EXPECT_EQ(newBooking("0600", "0759"), std::nullopt);
}

TEST(Overlap, EditRecognisesItsOwnRowByTheOldHours) {
    std::vector<HourSpan> day{{"0800", "0900"}, {"1000", "1100"}};
    // Only the reference changed: the booking's own row is skipped.
    EXPECT_EQ(findClash("0800", "0900", day, true, "0800", "0900"), std::nullopt);
    // Shrinking its own hours.
    EXPECT_EQ(findClash("0815", "0845", day, true, "0800", "0900"), std::nullopt);
    // Moving its end into the next booking.
    EXPECT_EQ(findClash("0800", "1030", day, true, "0800", "0900"), BookingFocus::Start);
    EXPECT_EQ(findClash("0930", "1030", {{"1000", "1100"}}, true, "0930", "0959"), BookingFocus::Start);
    // A row matching the old end only is skipped when just its end test holds.
    EXPECT_EQ(findClash("1000", "0930", {{"0900", "0950"}}, true, "x", "0950"), std::nullopt);
    EXPECT_EQ(findClash("1000", "0930", {{"0900", "0950"}}, true, "x", "y"), BookingFocus::End);
    // Without the old-value escape the same span clashes.
    EXPECT_EQ(findClash("0800", "0900", day, false, "", ""), BookingFocus::Start);
}

TEST(AutoBooking, WeekdaysThatCanBeChosen) {
    auto fri = makeDate(2026, 12, 11);
    auto on = [](std::array<bool, 7> a) {
        std::string s;
        for (bool b : a) s += b ? '1' : '0';
        return s;
    };
    EXPECT_EQ(on(weekdaysInPeriod(fri, fri)), "0000010");
    EXPECT_EQ(on(weekdaysInPeriod(fri, fri + std::chrono::days{2})), "1000011");  // Fri, Sat, Sun
    EXPECT_EQ(on(weekdaysInPeriod(fri, fri + std::chrono::days{6})), "1111111");
    EXPECT_EQ(on(weekdaysInPeriod(fri, fri + std::chrono::days{40})), "1111111");
    EXPECT_EQ(on(weekdaysInPeriod(fri, fri - std::chrono::days{1})), "0000000");
}

TEST(AutoBooking, DateListWalksThePeriodInOrder) {
    auto wed = makeDate(2026, 12, 9);
    std::array<bool, 7> monWed{false, true, false, true, false, false, false};
    EXPECT_EQ(buildDateList(wed, wed + std::chrono::days{13}, monWed),
              "_09/12/2026_14/12/2026_16/12/2026_21/12/2026");
    std::array<bool, 7> all;
    all.fill(true);
    EXPECT_EQ(buildDateList(wed, wed, all), "_09/12/2026");
    EXPECT_EQ(buildDateList(wed, wed + std::chrono::days{97}, all).size(), kMaxDateList);
    EXPECT_EQ(buildDateList(wed, wed + std::chrono::days{98}, all).size(), 1089u);
}

TEST(AutoBooking, ConflictRepliesAreReadAsTheDialogNeeds) {
    EXPECT_EQ(readConflictReply("1").kind, ConflictReply::AllFree);
    EXPECT_EQ(readConflictReply("").kind, ConflictReply::Nothing);
    EXPECT_EQ(readConflictReply("1_").kind, ConflictReply::Nothing);
    EXPECT_EQ(readConflictReply("0").kind, ConflictReply::NoneFree);
    EXPECT_EQ(readConflictReply("X_14/12/2026").kind, ConflictReply::NoneFree);
    auto some = readConflictReply("1_14/12/2026_21/12/2026");
    EXPECT_EQ(some.kind, ConflictReply::SomeTaken);
    EXPECT_EQ(some.takenDates, (std::vector<std::string>{"14/12/2026", "21/12/2026"}));
    EXPECT_EQ(readConflictReply("114/12/2026").takenDates, (std::vector<std::string>{"14/12/2026"}));
}
