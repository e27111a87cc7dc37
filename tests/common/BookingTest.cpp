#include <gtest/gtest.h>

#include "common/Booking.h"

using namespace age;

TEST(Status, LettersAndWordsConvertExactlyBothWays) {
    EXPECT_EQ(statusWord("A"), "Agendada");
    EXPECT_EQ(statusWord("C"), "Cancelada");
    EXPECT_EQ(statusWord("E"), "Encerrada");
    for (const char* other : {"", "a", "X", " ", "AA"}) EXPECT_EQ(statusWord(other), "") << other;

    EXPECT_EQ(statusCode("Agendada"), "A");
    EXPECT_EQ(statusCode("Cancelada"), "C");
    EXPECT_EQ(statusCode("Encerrada"), "E");
    for (const char* other : {"agendada", "Agendada ", "", "A"}) EXPECT_FALSE(statusCode(other)) << other;
}

TEST(Hours, ShownWithAColonAndValidOnlyAsFourDigitsInRange) {
    EXPECT_EQ(formatHour("0930"), "09:30");
    EXPECT_EQ(formatHour("930"), "930");
    EXPECT_EQ(hourFromDisplay("09:30"), "0930");
    EXPECT_EQ(hourFromDisplay("  :  "), "");
    EXPECT_EQ(hourFromDisplay(" 9:30"), " 930");  // a blank stays so that validation refuses it
    for (const char* ok : {"0000", "2359", "0959", "1200"}) EXPECT_TRUE(isValidHour(ok)) << ok;
    for (const char* bad : {"2400", "2360", "930", "09300", " 930", "ab12", ""})
        EXPECT_FALSE(isValidHour(bad)) << bad;
}

TEST(BookingRecord, FieldsCarrySizesLabelsAndTitles) {
    ASSERT_NE(findBookingField("DSAGENDASALA"), nullptr);
    EXPECT_EQ(findBookingField("DSAGENDASALA")->size, 1000);
    EXPECT_EQ(findBookingField("CDOPERADOR")->size, 12);
    EXPECT_EQ(findBookingField("NMOPERADOR")->displayLabel, "Nome do Reponsável");
    EXPECT_EQ(findBookingField("IDSITAGESALA")->gridTitle, "Situação");
    EXPECT_EQ(findBookingField("DTINCAGESALA")->type, ColumnType::DateTime);
    EXPECT_EQ(findBookingField("NOPE"), nullptr);
}
