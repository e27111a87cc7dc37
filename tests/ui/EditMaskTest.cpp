#include <gtest/gtest.h>

#include "common/Booking.h"
#include "platform/ui/EditMask.h"

namespace {

const std::string_view kHour = age::kHourEditMask;  // "!90:00;0; "

TEST(EditMask, HourMaskMapsToTheToolkitsDigitSlots) {
    // The first digit optional, the others required, the colon a literal, blank as fill.
    EXPECT_EQ(EditMask::InputMask(kHour), QStringLiteral("09:99; "));
    EXPECT_EQ(EditMask::InputMask("LLL-000;1;_"), QStringLiteral("AAA-999;_"));
}

TEST(EditMask, StoredHourIsShownThroughTheMask) {
    EXPECT_EQ(EditMask::Format(kHour, "0930"), "09:30");
    EXPECT_EQ(EditMask::Format(kHour, "930"), " 9:30");  // '!' puts the missing optional digit in front
    EXPECT_EQ(EditMask::Format(kHour, ""), "");
    EXPECT_EQ(EditMask::Format(kHour, "123456"), "123456");  // does not fit: shown as it is
}

TEST(EditMask, TypedTextIsStoredWithoutLiterals) {
    EXPECT_EQ(EditMask::Strip(kHour, "10:15"), "1015");
    EXPECT_EQ(EditMask::Strip(kHour, "9:"), "9");
    EXPECT_EQ(EditMask::Strip("00/00;1;_", "12/34"), "12/34");  // literals stored when the mask says so
}

}  // namespace
