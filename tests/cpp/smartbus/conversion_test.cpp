// Unit conversions of the register maps, bit for bit.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "pty_peer.hpp"
#include "smartbus/sm40bl.hpp"

using namespace smartbus;
using feetech_servo::kPi;
using feetech_servo::position_steps_from_radians;
using feetech_servo::radians_from_position_steps;

TEST(PositionConversion, PresentPositionWorkedValues) {
    EXPECT_EQ(radians_from_position_steps(2048), 0.0);
    EXPECT_FALSE(std::signbit(radians_from_position_steps(2048)));
    EXPECT_EQ(radians_from_position_steps(0), -kPi);
    EXPECT_EQ(radians_from_position_steps(3072), kPi / 2);
    EXPECT_EQ(radians_from_position_steps(-1), -kPi - 2 * kPi / 4096);
    EXPECT_EQ(radians_from_position_steps(4096), kPi);
}

TEST(PositionConversion, GoalPositionTruncatesAndSaturates) {
    EXPECT_EQ(position_steps_from_radians(0.0), 2048);
    EXPECT_EQ(position_steps_from_radians(kPi), 4096);
    EXPECT_EQ(position_steps_from_radians(-kPi), 0);
    EXPECT_EQ(position_steps_from_radians(1.0), 2699);
    EXPECT_EQ(position_steps_from_radians(-1.0), 1396);  // 1396.13: truncated
    EXPECT_EQ(position_steps_from_radians(-3.15), -5);   // -5.48: toward zero, not down
    EXPECT_EQ(position_steps_from_radians(100.0), 32767);
    EXPECT_EQ(position_steps_from_radians(-100.0), -32768);
    EXPECT_EQ(position_steps_from_radians(std::numeric_limits<double>::infinity()), 32767);
    EXPECT_EQ(position_steps_from_radians(-std::numeric_limits<double>::infinity()), -32768);
    EXPECT_EQ(position_steps_from_radians(std::nan("")), 0);
}

TEST(OffsetConversion, ReadsSignMagnitude) {
    EXPECT_EQ(sm40bl::radians_from_offset_raw(0x07FF), kPi);
    EXPECT_EQ(sm40bl::radians_from_offset_raw(0x0FFF), -kPi);
    EXPECT_EQ(sm40bl::radians_from_offset_raw(0x0C00), -(1024 * kPi) / 2047);
    EXPECT_EQ(sm40bl::radians_from_offset_raw(0x1400), (1024 * kPi) / 2047);  // bit 12 set: not negative
    const double minus_zero = sm40bl::radians_from_offset_raw(0x0800);
    EXPECT_EQ(minus_zero, 0.0);
    EXPECT_TRUE(std::signbit(minus_zero));
    EXPECT_FALSE(std::signbit(sm40bl::radians_from_offset_raw(static_cast<std::int16_t>(0x8800))));
}

TEST(OffsetConversion, WritesSignMagnitudeWithinPi) {
    auto raw = [](double radians) {
        auto word = sm40bl::offset_raw_from_radians(radians);
        EXPECT_TRUE(word.ok()) << radians;
        return word.ok() ? static_cast<std::uint16_t>(*word) : std::uint16_t{0xDEAD};
    };
    EXPECT_EQ(raw(-kPi / 2), 0x0BFF);
    EXPECT_EQ(raw(-0.0), 0x0800);
    EXPECT_EQ(raw(0.0), 0x0000);
    EXPECT_EQ(raw(0.1), 0x0041);
    EXPECT_EQ(raw(kPi), 0x07FF);
    EXPECT_EQ(raw(-kPi), 0x0FFF);

    for (double beyond : {std::nextafter(kPi, 4.0), -3.2, 100.0, std::nan(""),
                          std::numeric_limits<double>::infinity()}) {
        auto refused = sm40bl::offset_raw_from_radians(beyond);
        ASSERT_FALSE(refused.ok()) << beyond;
        EXPECT_EQ(smartbus_test::io_kind(refused.error()), IoErrorKind::InvalidInput);
    }
}

TEST(OffsetConversion, RoundTripsEveryRawValue) {
    // Reading then writing an offset must give back the register's content.
    for (int magnitude = 0; magnitude <= 0x7FF; ++magnitude) {
        for (int sign : {0, 0x800}) {
            const auto word = static_cast<std::int16_t>(magnitude | sign);
            auto back = sm40bl::offset_raw_from_radians(sm40bl::radians_from_offset_raw(word));
            ASSERT_TRUE(back.ok());
            // Truncation may lose one step: magnitude * pi / 2047 * 2047 / pi can land just below.
            EXPECT_LE(std::abs(*back - word), 1) << magnitude;
        }
    }
}
