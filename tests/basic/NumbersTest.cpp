#include "basic/Numbers.h"

#include <gtest/gtest.h>

using namespace ostrel::basic;

TEST(NumericTest, AcceptsWholeNumbersOnly) {
    for (const char* yes : {"0", "  42 ", "-3", "+3", "1.5", ".5", "5.", "1E3", "1d-2", "&H1F", "&o17", "0012345678"})
        EXPECT_TRUE(isNumeric(yes)) << yes;
    for (const char* no : {"", " ", "abc", "12a", "1 2", "1.2.3", "1E", "&H", "&HG", "&X1", "12345ABCDE", "-", "."})
        EXPECT_FALSE(isNumeric(no)) << no;
}

TEST(NumericTest, ExponentLettersMakeHexLikeCardNumbersNumeric) {
    // Ten characters with a single E between digits read as a number.
    EXPECT_TRUE(isNumeric("1234567E12"));
    EXPECT_FALSE(isNumeric("12345E1234"));  // beyond the range of a double
    EXPECT_FALSE(isNumeric("1234ABCDEF"));
}

TEST(LeadingNumberTest, ReadsUpToTheFirstCharacterThatCannotContinue) {
    EXPECT_EQ(readLeadingNumber("20"), 20);
    EXPECT_EQ(readLeadingNumber("20A"), 20);
    EXPECT_EQ(readLeadingNumber("abc"), 0);
    EXPECT_EQ(readLeadingNumber(""), 0);
    EXPECT_EQ(readLeadingNumber("2009-05-21"), 2009);
    EXPECT_EQ(readLeadingNumber("0000/00/00"), 0);
    EXPECT_EQ(readLeadingNumber(" 1 2\t3\n4"), 1234);
    EXPECT_EQ(readLeadingNumber("&H1A"), 26);
    EXPECT_EQ(readLeadingNumber("&O17x"), 15);
    EXPECT_DOUBLE_EQ(readLeadingNumber("2.5kg"), 2.5);
    EXPECT_EQ(readLeadingNumber("1e2x"), 100);
    EXPECT_EQ(readLeadingNumber("1ex"), 1);
}

TEST(HexTest, LiteralWidthsFollowAutomationRules) {
    EXPECT_EQ(parseHexLiteral("13"), 0x13);
    EXPECT_EQ(parseHexLiteral("100"), 256);
    EXPECT_EQ(parseHexLiteral("FFFF"), -1);  // four digits: a signed 16-bit value
    EXPECT_EQ(parseHexLiteral("10000"), 65536);
    EXPECT_FALSE(parseHexLiteral(""));
    EXPECT_FALSE(parseHexLiteral("-10"));
    EXPECT_FALSE(parseHexLiteral("9:"));
    EXPECT_FALSE(parseHexLiteral("1."));
    EXPECT_FALSE(parseHexLiteral("123456789"));
}

TEST(HexTest, Texts) {
    EXPECT_EQ(hexText(153), "99");
    EXPECT_EQ(hexText(171), "AB");
    EXPECT_EQ(hexText(0), "0");
    EXPECT_EQ(hexText(7), "7");
    EXPECT_EQ(hexByte(5), "05");
    EXPECT_EQ(hexByte(0xAB), "AB");
    EXPECT_EQ(hexByte(0), "00");
}

TEST(DoubleTextTest, FifteenSignificantDigits) {
    EXPECT_EQ(doubleText(20 / 14.0), "1.42857142857143");
    EXPECT_EQ(doubleText(0.5), "0.5");
    EXPECT_EQ(doubleText(5), "5");
    EXPECT_EQ(doubleText(0), "0");
    EXPECT_EQ(doubleText(-0.0), "0");
    EXPECT_EQ(doubleText(1 / 14.0), "0.0714285714285714");
    EXPECT_EQ(doubleText(252 / 14.0), "18");
}

TEST(RoundingTest, HalvesGoToTheEvenNeighbour) {
    EXPECT_EQ(roundHalfEven(0.5), 0);
    EXPECT_EQ(roundHalfEven(1.5), 2);
    EXPECT_EQ(roundHalfEven(2.5), 2);
    EXPECT_EQ(roundHalfEven(-2.5), -2);
    EXPECT_EQ(roundHalfEven(2.6), 3);
}

TEST(TrimTest, SpacesOnly) {
    EXPECT_EQ(trimSpaces("  a b  "), "a b");
    EXPECT_EQ(trimSpaces("\ta\t"), "\ta\t");
    EXPECT_EQ(trimSpaces("   "), "");
}
