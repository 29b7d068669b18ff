#include "basic/DateTime.h"

#include <gtest/gtest.h>

using namespace ostrel::basic;

TEST(DateRecognitionTest, AcceptedForms) {
    for (const char* yes : {"2009-05-21", "2009/5/21", "09-05-21", "95-01-31", "2000-02-29", "13:45", "13:45:09",
                            "0:0", "9:05:00", "2003-06-20 08:30:00", "2003-06-20 8:30", " 2010-12-31 "})
        EXPECT_TRUE(isDate(yes)) << yes;
}

TEST(DateRecognitionTest, RejectsImpossibleAndMalformedTexts) {
    for (const char* no : {"", "0", "2009-02-30", "1900-02-29", "2009-13-01", "2009-00-10", "0000/00/00", "25:00:00",
                           "12:60", "12:30:60", "2009-05", "2009-05-21x", "2009-05/21", "abc", "123-01-01",
                           "2003-06-20 25:00"})
        EXPECT_FALSE(isDate(no)) << no;
}

TEST(DateRecognitionTest, TwoDigitYearPivot) {
    EXPECT_EQ(parseDateTime("29-01-01")->year, 2029);
    EXPECT_EQ(parseDateTime("30-01-01")->year, 1930);
    EXPECT_EQ(parseDateTime("00-01-01")->year, 2000);
    EXPECT_EQ(parseDateTime("99-12-31")->year, 1999);
}

TEST(DateValueTest, NumericTextIsADayCount) {
    auto zero = toDateTime("0");
    ASSERT_TRUE(zero);
    EXPECT_EQ(formatHourMinute(*zero), "00:00");
    EXPECT_EQ(formatDate(*zero), "1899-12-30");
    auto half = toDateTime("37792.5");
    ASSERT_TRUE(half);
    EXPECT_EQ(formatDate(*half), "2003-06-20");
    EXPECT_EQ(formatTime(*half), "12:00:00");
    EXPECT_FALSE(toDateTime("abc"));
    EXPECT_FALSE(toDateTime(""));
}

TEST(DateFormatTest, Forms) {
    auto v = parseDateTime("2003-6-2 8:30");
    ASSERT_TRUE(v);
    EXPECT_EQ(formatDate(*v), "2003-06-02");
    EXPECT_EQ(formatHourMinute(*v), "08:30");
    EXPECT_EQ(defaultText(*v), "2003-06-02 08:30:00");
    EXPECT_EQ(defaultText(*parseDateTime("2003-06-20")), "2003-06-20");
    EXPECT_EQ(defaultText(*parseDateTime("13:45")), "13:45:00");
}

TEST(DateFormatTest, TodayAndNowHaveTheFixedForms) {
    std::string d = todayText(), t = currentTimeText();
    EXPECT_TRUE(isDate(d));
    ASSERT_EQ(d.size(), 10u);
    EXPECT_EQ(d[4], '-');
    ASSERT_EQ(t.size(), 8u);
    EXPECT_EQ(t[2], ':');
    EXPECT_TRUE(isDate(t));
}
