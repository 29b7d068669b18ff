#include "runtime/Variant.h"

#include <gtest/gtest.h>

#include "runtime/AutomationError.h"
#include "support/AutomationAssert.h"

using namespace ostrel::rt;

TEST(VariantConversionTest, NumbersRoundHalfToEven) {
    EXPECT_EQ(Variant(2.5).toInteger(), 2);
    EXPECT_EQ(Variant(3.5).toInteger(), 4);
    EXPECT_EQ(Variant(-0.5).toInteger(), 0);
    EXPECT_EQ(Variant(20.4).toByte(), 20);
    EXPECT_EQ(Variant("  7.5 ").toLong(), 8);
}

TEST(VariantConversionTest, OutOfRangeOverflows) {
    EXPECT_AUTOMATION_ERROR(Variant(32767.5).toInteger(), 6);
    EXPECT_AUTOMATION_ERROR(Variant(-32769.0).toInteger(), 6);
    EXPECT_AUTOMATION_ERROR(Variant(256.0).toByte(), 6);
    EXPECT_AUTOMATION_ERROR(Variant(-1.0).toByte(), 6);
    EXPECT_AUTOMATION_ERROR(Variant(3e9).toLong(), 6);
    EXPECT_EQ(Variant(int32_t{32767}).toInteger(), 32767);
}

TEST(VariantConversionTest, TextMustBeNumericAsAWhole) {
    EXPECT_AUTOMATION_ERROR(Variant("20A").toInteger(), 13);
    EXPECT_AUTOMATION_ERROR(Variant("").toInteger(), 13);
    EXPECT_AUTOMATION_ERROR(Variant("abc").toDouble(), 13);
    EXPECT_EQ(Variant("&H10").toInteger(), 16);
    EXPECT_AUTOMATION_ERROR(Variant(StringArray{}).toInteger(), 13);
}

TEST(VariantConversionTest, BooleansAndEmpty) {
    EXPECT_EQ(Variant(true).toInteger(), -1);
    EXPECT_EQ(Variant(false).toLong(), 0);
    EXPECT_EQ(Variant(true).toString(), "True");
    EXPECT_EQ(Variant().toInteger(), 0);
    EXPECT_EQ(Variant().toString(), "");
    EXPECT_EQ(Variant("true").toBoolean(), true);
    EXPECT_EQ(Variant(1.5).toString(), "1.5");
    EXPECT_EQ(Variant().convertedTo(VarType::StringArray).type(), VarType::StringArray);
}

TEST(VariantRefTest, ReferencesReachTheirTarget) {
    Variant x(int16_t{5});
    Variant r = Variant::ref(x);
    EXPECT_TRUE(r.isRef());
    EXPECT_EQ(r.toInteger(), 5);
    r.as<int16_t>() = 9;
    EXPECT_EQ(x.asInteger(), 9);
}
