// MIT packing, control-frame packing, the register table and error texts.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <set>
#include <vector>

#include "candrive/damiao/driver.hpp"
#include "candrive/damiao/mit.hpp"
#include "candrive/damiao/registers.hpp"

namespace {

using namespace candrive::damiao;
using Bytes = std::array<std::uint8_t, 8>;

constexpr MitLimits kLimits{12.5F, 30.0F, 500.0F, 5.0F, 10.0F};
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

TEST(MitEncode, KnownVectors) {
    // Midpoints truncate down: p 32767, v 2047, t 2047.
    EXPECT_EQ(encode(kLimits, {0, 0, 0, 0, 0}), (Bytes{0x7F, 0xFF, 0x7F, 0xF0, 0x00, 0x00, 0x07, 0xFF}));
    // p 35388, kp 163, kd 409.
    EXPECT_EQ(encode(kLimits, {1.0F, 0, 20, 0.5F, 0}), (Bytes{0x8A, 0x3C, 0x7F, 0xF0, 0xA3, 0x19, 0x97, 0xFF}));
    // Every field beyond its range is clamped.
    EXPECT_EQ(encode(kLimits, {20, -40, 600, -1, 11}), (Bytes{0xFF, 0xFF, 0x00, 0x0F, 0xFF, 0x00, 0x0F, 0xFF}));
}

TEST(MitEncode, NaNFieldsEncodeAsZeroAndDegenerateLimitsStayDefined) {
    EXPECT_EQ(encode(kLimits, {kNaN, kNaN, kNaN, kNaN, kNaN}), Bytes{});
    // Zero ranges divide 0 by 0; infinite ones give inf/inf. Both are NaN -> 0.
    EXPECT_EQ(encode({0, 0, 0, 0, 0}, {1, 1, 1, 1, 1}), Bytes{});
    const float inf = std::numeric_limits<float>::infinity();
    EXPECT_EQ(encode({inf, inf, inf, inf, inf}, {1, 1, 1, 1, 1}), Bytes{});
}

TEST(MitDecode, KnownVectorBitForBit) {
    const std::array<std::uint8_t, 8> frame{0x01, 0x7F, 0xFF, 0x7F, 0xF7, 0xFF, 0x1E, 0x20};
    auto state = decode_state(kLimits, frame);
    ASSERT_TRUE(state.ok());
    // A decoded zero command is not exactly zero.
    EXPECT_EQ(state->position, -0.00019073486F);
    EXPECT_EQ(state->velocity, -0.0073261261F);
    EXPECT_EQ(state->torque, -0.0024423599F);
    EXPECT_EQ(state->id, 1);
    EXPECT_EQ(state->status, 0);
    EXPECT_EQ(state->t_mos, 30);
    EXPECT_EQ(state->t_rotor, 32);

    const std::array<std::uint8_t, 8> extremes{0xA5, 0xFF, 0xFF, 0x00, 0x0F, 0xFF, 0, 0};
    state = decode_state(kLimits, extremes);
    ASSERT_TRUE(state.ok());
    EXPECT_EQ(state->position, 12.5F);
    EXPECT_EQ(state->velocity, -30.0F);
    EXPECT_EQ(state->torque, 10.0F);
    EXPECT_EQ(state->id, 5);
    EXPECT_EQ(state->status, 0xA);
}

TEST(MitDecode, ShortFrameIsAnErrorAndLongerFrameUsesFirstEight) {
    const std::vector<std::uint8_t> seven{0x01, 0x7F, 0xFF, 0x7F, 0xF7, 0xFF, 0x1E};
    auto state = decode_state(kLimits, seven);
    ASSERT_FALSE(state.ok());
    EXPECT_EQ(state.error().kind(), Error::Kind::ShortFeedback);
    EXPECT_EQ(state.error().message(), "feedback frame too short: 7 data bytes, expected 8");
    EXPECT_FALSE(decode_state(kLimits, {}).ok());

    const std::vector<std::uint8_t> twelve{0x01, 0x7F, 0xFF, 0x7F, 0xF7, 0xFF, 0x1E, 0x20, 9, 9, 9, 9};
    state = decode_state(kLimits, twelve);
    ASSERT_TRUE(state.ok());
    EXPECT_EQ(state->t_rotor, 0x20);
}

TEST(ControlCommand, IdentifierOffsetsModesAndPacking) {
    const auto mit = ControlCommand::Mit({1.0F, 0, 20, 0.5F, 0});
    EXPECT_EQ(mit.id_offset(), 0x000);
    EXPECT_EQ(mit.mode(), ControlCommand::Mode::Mit);
    EXPECT_EQ(mit.pack(kLimits), encode(kLimits, {1.0F, 0, 20, 0.5F, 0}));

    const auto posvel = ControlCommand::PosVel(1.0F, -2.0F);
    EXPECT_EQ(posvel.id_offset(), 0x100);
    EXPECT_EQ(posvel.mode(), ControlCommand::Mode::PosVel);
    EXPECT_EQ(posvel.pack(kLimits), (Bytes{0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0xC0}));

    const auto vel = ControlCommand::Vel(0.5F);
    EXPECT_EQ(vel.id_offset(), 0x200);
    EXPECT_EQ(vel.mode(), ControlCommand::Mode::Vel);
    EXPECT_EQ(vel.pack(kLimits), (Bytes{0x00, 0x00, 0x00, 0x3F, 0, 0, 0, 0}));

    // velocity 12.345 -> 1234 (0x04D2); current 0.25 -> 2500 (0x09C4)
    const auto force = ControlCommand::ForcePos(-1.0F, 12.345F, 0.25F);
    EXPECT_EQ(force.id_offset(), 0x300);
    EXPECT_EQ(force.mode(), ControlCommand::Mode::ForcePos);
    EXPECT_EQ(force.pack(kLimits), (Bytes{0x00, 0x00, 0x80, 0xBF, 0xD2, 0x04, 0xC4, 0x09}));
}

TEST(ControlCommand, ForcePositionFieldsClampAndCap) {
    auto tail = [](const ControlCommand& c) {
        const Bytes b = c.pack(kLimits);
        return std::array<std::uint8_t, 4>{b[4], b[5], b[6], b[7]};
    };
    using Tail = std::array<std::uint8_t, 4>;
    EXPECT_EQ(tail(ControlCommand::ForcePos(0, -5.0F, -0.5F)), (Tail{0, 0, 0, 0}));
    EXPECT_EQ(tail(ControlCommand::ForcePos(0, 1000.0F, 7.0F)), (Tail{0x10, 0x27, 0x10, 0x27}));  // 10000 each
    EXPECT_EQ(tail(ControlCommand::ForcePos(0, kNaN, kNaN)), (Tail{0, 0, 0, 0}));
    EXPECT_EQ(tail(ControlCommand::ForcePos(0, std::numeric_limits<float>::infinity(), 1.0F)),
              (Tail{0x10, 0x27, 0x10, 0x27}));
}

TEST(Damiao, CreateRefusesNegativeOrNaNLimits) {
    using std::chrono::milliseconds;
    EXPECT_TRUE(Damiao::create(1, 0x11, milliseconds(20), kLimits).has_value());
    EXPECT_TRUE(Damiao::create(1, 0x11, milliseconds(20), {0, 0, 0, 0, 0}).has_value());
    for (float MitLimits::*field :
         {&MitLimits::pmax, &MitLimits::vmax, &MitLimits::kp_max, &MitLimits::kd_max, &MitLimits::tmax}) {
        for (float bad : {-1.0F, kNaN}) {
            MitLimits limits = kLimits;
            limits.*field = bad;
            EXPECT_FALSE(Damiao::create(1, 0x11, milliseconds(20), limits).has_value());
        }
    }
    const auto motor = Damiao::create(0x101, 0x111, milliseconds(7), kLimits);
    ASSERT_TRUE(motor);
    EXPECT_EQ(motor->esc_id(), 0x101);
    EXPECT_EQ(motor->mst_id(), 0x111);
    EXPECT_EQ(motor->timeout(), milliseconds(7));
    EXPECT_EQ(motor->limits().kd_max, 5.0F);
}

TEST(Registers, TableRowsAndGaps) {
    const auto table = register_table();
    EXPECT_EQ(table.size(), 53U);
    std::set<int> ids;
    for (const RegisterInfo& row : table) {
        EXPECT_EQ(lookup(row.id), &row);
        ids.insert(row.id);
    }
    EXPECT_EQ(ids.size(), 53U);
    for (int id : {0x25, 0x31, 0x39, 0x3A, 0x42, 0x4F, 0x52, 0xFF}) {
        EXPECT_EQ(lookup(static_cast<std::uint8_t>(id)), nullptr) << id;
    }

    const RegisterInfo* mode = lookup(0x0A);
    ASSERT_NE(mode, nullptr);
    EXPECT_EQ(mode->name, "CTRL_MODE");
    EXPECT_EQ(mode->description, "Control mode 1=MIT 2=POS_VEL 3=VEL 4=FORCE_POS");
    EXPECT_TRUE(mode->writable);
    EXPECT_EQ(mode->kind, RegisterType::Uint32);

    const RegisterInfo* damp = lookup(0x0B);
    ASSERT_NE(damp, nullptr);
    EXPECT_EQ(damp->name, "Damp");
    EXPECT_FALSE(damp->writable);
    EXPECT_EQ(damp->kind, RegisterType::Float);

    const RegisterInfo* last = lookup(0x51);
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(last->name, "xout");
    EXPECT_EQ(last->description, "Output shaft position");
    EXPECT_EQ(lookup(0x09)->description, "Timeout alarm (1 unit = 50 us)");
    EXPECT_EQ(lookup(0x23)->description, "CAN baud rate code (0..4)");
}

TEST(Registers, ValueBits) {
    EXPECT_EQ(RegisterValue::from_float(1.0F).bits(), 0x3F800000U);
    EXPECT_EQ(RegisterValue::from_uint32(7).bits(), 7U);
    const RegisterValue f = RegisterValue::from_bits(RegisterType::Float, 0x40490FDBU);
    EXPECT_EQ(f.type, RegisterType::Float);
    EXPECT_EQ(f.f, 3.14159274F);
    EXPECT_EQ(RegisterValue::from_bits(RegisterType::Uint32, 0xDEADBEEF).u, 0xDEADBEEFU);
}

TEST(DamiaoError, Texts) {
    EXPECT_EQ(Error::transport(candrive::CanError::timeout()).message(), "transport error: timeout waiting for frame");
    EXPECT_EQ(Error::unknown_register(37).message(), "register 37 is not in the Damiao register table");
    EXPECT_EQ(Error::read_only_register(11).message(), "register 11 is read-only");
    EXPECT_EQ(Error::type_mismatch(10, RegisterType::Uint32, RegisterType::Float).message(),
              "register 10: expected Uint32, got Float");
    EXPECT_EQ(Error::unexpected_reply({1, 2, 255}).message(),
              "unexpected reply (data did not match register-reply pattern): [1, 2, 255]");
    EXPECT_EQ(Error::control_mode_mismatch(1, 3).message(), "control mode verification failed: wrote 1, motor reports 3");
    EXPECT_EQ(register_type_name(RegisterType::Float), "Float");
    EXPECT_EQ(register_type_name(RegisterType::Uint32), "Uint32");
}

}  // namespace
