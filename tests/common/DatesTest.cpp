#include <gtest/gtest.h>

#include "common/Dates.h"

using namespace age;

TEST(Dates, IsoRoundTripsAndRefusesNonsense) {
    auto d = makeDate(2026, 12, 7);
    EXPECT_EQ(formatIsoDate(d), "2026-12-07");
    EXPECT_EQ(parseIsoDate("2026-12-07"), d);
    auto t = makeDateTime(2026, 12, 7, 9, 5, 3);
    EXPECT_EQ(formatIsoDateTime(t), "2026-12-07T09:05:03");
    EXPECT_EQ(parseIsoDateTime("2026-12-07T09:05:03"), t);

    for (const char* bad :
         {"2026-02-30", "2026-13-01", "2026-1-01", "2026/12/07", "", "2026-12-07x", "0000-01-01"})
        EXPECT_FALSE(parseIsoDate(bad)) << bad;
    for (const char* bad :
         {"2026-12-07 09:05:03", "2026-12-07T24:00:00", "2026-12-07T09:60:00", "2026-12-07"})
        EXPECT_FALSE(parseIsoDateTime(bad)) << bad;
}

TEST(Dates, ShortFormatIsTenCharactersAndShowsTimeOnlyWhenNotMidnight) {
    EXPECT_EQ(formatShortDate(makeDate(2027, 1, 5)), "05/01/2027");
    EXPECT_EQ(parseShortDate("29/02/2028"), makeDate(2028, 2, 29));
    EXPECT_FALSE(parseShortDate("29/02/2027"));
    EXPECT_FALSE(parseShortDate("5/1/2027"));
    EXPECT_EQ(formatShortDateTime(makeDateTime(2027, 1, 5)), "05/01/2027");
    EXPECT_EQ(formatShortDateTime(makeDateTime(2027, 1, 5, 14, 30)), "05/01/2027 14:30:00");
}

TEST(Dates, WholeDayAndWeekdayNumbers) {
    EXPECT_EQ(wholeDay(makeDateTime(2026, 12, 7, 23, 59, 59)), makeDate(2026, 12, 7));
    EXPECT_EQ(dayOfWeek(makeDate(2026, 12, 6)), 1);   // Sunday
    EXPECT_EQ(dayOfWeek(makeDate(2026, 12, 7)), 2);   // Monday
    EXPECT_EQ(dayOfWeek(makeDate(2026, 12, 12)), 7);  // Saturday
}
