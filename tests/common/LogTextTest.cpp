// Client text shown in logs and error messages: escaped and cut, so it can neither forge a line nor flood.
#include <gtest/gtest.h>

#include "common/LogText.h"

namespace age {
namespace {

TEST(Quoted, ControlCharactersAreShownAsEscapes) {
    EXPECT_EQ(age::quoted("101\n[2026-12-08 06:00:00.000] [age-server] [info] x"),
              "101\\n[2026-12-08 06:00:00.000] [age-server] [info] x");
    EXPECT_EQ(age::quoted(std::string("a\x01\tb\rc\x7f", 7)), "a\\x01\\tb\\rc\\x7f");
    EXPECT_EQ(age::quoted(std::string("nul\0!", 5)), "nul\\x00!");
    EXPECT_EQ(age::quoted("\x1b[31mvermelho"), "\\x1b[31mvermelho");
    EXPECT_EQ(age::quoted("c1\xc2\x85"), "c1\\x85");  // U+0085, a line break to some readers
}

TEST(Quoted, TextIsKeptAsItIsWhenHarmless) {
    EXPECT_EQ(age::quoted(""), "");
    EXPECT_EQ(age::quoted("Auditório \"A\" 101"), "Auditório \"A\" 101");
    EXPECT_EQ(age::quoted("\xe2\x82\xac 5"), "\xe2\x82\xac 5");  // €
}

TEST(Quoted, BytesThatAreNotUtf8AreShownInHex) {
    EXPECT_EQ(age::quoted("a\xff\xc3"), "a\\xff\\xc3");
    EXPECT_EQ(age::quoted("\xed\xa0\x80"), "\\xed\\xa0\\x80");  // a surrogate
}

TEST(Quoted, LongTextIsCutAtTheLimitInCharacters) {
    EXPECT_EQ(age::quoted(std::string(1 << 20, 'x')), std::string(64, 'x') + "…");
    EXPECT_EQ(age::quoted(std::string(64, 'x')), std::string(64, 'x'));
    EXPECT_EQ(age::quoted("ééééé", 3), "ééé…");  // never inside a character
    EXPECT_EQ(age::quoted("\n\n\n\n", 2), "\\n\\n…");
    EXPECT_EQ(age::quoted("abc", 0), "…");
}

}  // namespace
}  // namespace age
