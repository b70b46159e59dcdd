#include "common/format.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

using namespace std::chrono_literals;

TEST(Format, FloatDebugIsShortestRoundTripWithPointOrExponent) {
    EXPECT_EQ(common::float_debug(1.0), "1.0");
    EXPECT_EQ(common::float_debug(0.25), "0.25");
    EXPECT_EQ(common::float_debug(-0.0), "-0.0");
    EXPECT_EQ(common::float_debug(0.1), "0.1");
    EXPECT_EQ(common::float_debug(-6.283185307179586), "-6.283185307179586");
    EXPECT_EQ(common::float_debug(1e-5), "1e-5");
    EXPECT_EQ(common::float_debug(2.5e-7), "2.5e-7");
    EXPECT_EQ(common::float_debug(1e16), "1e16");
    EXPECT_EQ(common::float_debug(1.5e300), "1.5e300");
    EXPECT_EQ(common::float_debug(1e-4), "0.0001");
    EXPECT_EQ(common::float_debug(9999999999999998.0), "9999999999999998.0");
    EXPECT_EQ(common::float_debug(std::nan("")), "NaN");
    EXPECT_EQ(common::float_debug(std::numeric_limits<double>::infinity()), "inf");
    EXPECT_EQ(common::float_debug(-std::numeric_limits<double>::infinity()), "-inf");
}

TEST(Format, FloatDisplayHasNoForcedPointNorExponent) {
    EXPECT_EQ(common::float_display(0.0), "0");
    EXPECT_EQ(common::float_display(-1.0), "-1");
    EXPECT_EQ(common::float_display(0.4), "0.4");
    EXPECT_EQ(common::float_display(1e-7), "0.0000001");
    EXPECT_EQ(common::float_display(std::nan("")), "NaN");
}

TEST(Format, FixedDecimalsWithOptionalSign) {
    EXPECT_EQ(common::fixed(0.05, 4), "0.0500");
    EXPECT_EQ(common::fixed(0.6, 4), "0.6000");
    EXPECT_EQ(common::fixed(-0.0003, 4, true), "-0.0003");
    EXPECT_EQ(common::fixed(0.0, 4, true), "+0.0000");
    EXPECT_EQ(common::fixed(10.9, 1), "10.9");
    EXPECT_EQ(common::fixed(std::nan(""), 2), "NaN");
}

TEST(Format, DurationUsesLargestUnitWithoutTrailingZeros) {
    EXPECT_EQ(common::duration_text(30s), "30s");
    EXPECT_EQ(common::duration_text(2500ms), "2.5s");
    EXPECT_EQ(common::duration_text(1500ms), "1.5s");
    EXPECT_EQ(common::duration_text(100ms), "100ms");
    EXPECT_EQ(common::duration_text(12500ns), "12.5\xC2\xB5s");
    EXPECT_EQ(common::duration_text(0ns), "0ns");
    EXPECT_EQ(common::duration_text(999ns), "999ns");
    EXPECT_EQ(common::duration_text(1s + 1ns), "1.000000001s");
}

TEST(Format, ListsAndQuotedNames) {
    std::vector<std::string> names{"nose_left", "neck_yaw"};
    EXPECT_EQ(common::debug_list(names, common::quoted), "[\"nose_left\", \"neck_yaw\"]");
    EXPECT_EQ(common::quoted("a\"b\\c"), "\"a\\\"b\\\\c\"");
    std::vector<int> ids{1, 2, 3, 4};
    EXPECT_EQ(common::debug_list(ids, common::int_text), "[1, 2, 3, 4]");
    std::vector<bool> flags{true, false};
    EXPECT_EQ(common::debug_list(flags, common::bool_text), "[true, false]");
    EXPECT_EQ(common::debug_list(std::vector<int>{}, common::int_text), "[]");
    EXPECT_DOUBLE_EQ(common::seconds(1500ms), 1.5);
}
