// Reading the seven present positions in one sync read of ids 1-7 against
// the two group reads: the same values, errors and recovery, one round trip.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cmath>
#include <random>
#include <thread>
#include <vector>

#include "controller_fixture.hpp"

namespace quorvel::testing {
namespace {

using namespace std::chrono_literals;

constexpr double kStep = 6.283185307179586 / 4096;  // one position step

class SingleSyncReadTest : public ControllerTest {
protected:
    // The fixture's controller reads group by group; this one in one sync read.
    void use(PositionRead mode, SerialTimings timings = kPatientSerial) {
        ctl.reset();  // one opener of the port at a time
        auto created = QuorvelMotorController::create(sim->serial_path(), sim->can_bus(), timings, mode);
        ASSERT_TRUE(created.ok()) << created.error().message();
        ctl.emplace(std::move(created).value());
        sim->clear_logs();
    }

    std::array<double, 7> expected() const {
        std::array<double, 7> out{};
        for (std::size_t i = 0; i < 7; ++i) out[i] = sim->servo_position(kServoJoints[i].id);
        return out;
    }

    static void expect_near(const std::array<double, 7>& got, const std::array<double, 7>& want) {
        for (std::size_t i = 0; i < 7; ++i) EXPECT_NEAR(got[i], want[i], kStep) << kServoJoints[i].name;
    }
};

TEST_F(SingleSyncReadTest, OneRoundTripOfIdsOneToSevenWithTheValuesOfTheTwoReads) {
    // Arm offsets shift what the SM40BLs report; the nose has none.
    std::mt19937 rng(28);
    std::uniform_real_distribution<double> position(-3.0, 3.0);
    std::uniform_real_distribution<double> offset(-1.5, 1.5);
    struct Pose {
        std::array<double, 4> offsets;
        std::array<double, 7> positions;
    };
    std::vector<Pose> poses(12);
    for (auto& pose : poses) {
        for (double& o : pose.offsets) o = offset(rng);
        for (double& p : pose.positions) p = position(rng);
    }
    const auto apply = [&](const Pose& pose) {
        for (std::uint8_t id = 1; id <= 4; ++id) sim->set_servo_offset(id, pose.offsets[id - 1]);
        for (std::uint8_t id = 1; id <= 7; ++id) sim->set_servo_position(id, pose.positions[id - 1]);
    };

    std::vector<std::array<double, 7>> by_groups;
    for (const auto& pose : poses) {
        apply(pose);
        auto read = ctl->read_all_positions();
        ASSERT_TRUE(read.ok()) << read.error().message();
        by_groups.push_back(*read);
    }

    use(PositionRead::OneSyncRead);
    // FF FF FE, length, sync read (0x82), present position 56 (0x38), 2 bytes, ids 1-7, checksum.
    const std::vector<std::uint8_t> packet{0xFF, 0xFF, 0xFE, 0x0B, 0x82, 0x38, 0x02, 1, 2, 3, 4, 5, 6, 7, 0x1E};
    for (std::size_t i = 0; i < poses.size(); ++i) {
        apply(poses[i]);
        sim->clear_logs();
        auto read = ctl->read_all_positions();
        ASSERT_TRUE(read.ok()) << read.error().message();
        EXPECT_EQ(*read, by_groups[i]);
        expect_near(*read, expected());
        ASSERT_EQ(serial_packets(), std::vector<std::vector<std::uint8_t>>{packet});
    }
}

TEST_F(SingleSyncReadTest, ByDefaultTheArmsAreReadAndThenTheNose) {
    ASSERT_TRUE(ctl->read_all_positions().ok());
    const auto packets = serial_packets();
    ASSERT_EQ(packets.size(), 2U);
    EXPECT_EQ(std::vector<std::uint8_t>(packets[0].begin() + 7, packets[0].end() - 1),
              (std::vector<std::uint8_t>{1, 2, 3, 4}));
    EXPECT_EQ(std::vector<std::uint8_t>(packets[1].begin() + 7, packets[1].end() - 1),
              (std::vector<std::uint8_t>{5, 6, 7}));
}

TEST_F(SingleSyncReadTest, ASilentServoFailsTheWholeReadAsTheGroupReadDoes) {
    std::vector<std::string> group_texts;
    std::vector<bool> group_retriable;
    for (std::uint8_t id = 1; id <= 7; ++id) {
        sim->set_servo_silent(id, true);
        auto failed = ctl->read_all_positions();
        ASSERT_FALSE(failed.ok());
        group_texts.push_back(failed.error().message());
        group_retriable.push_back(failed.error().is_timed_out_or_interrupted());
        sim->set_servo_silent(id, false);
    }
    use(PositionRead::OneSyncRead);
    for (std::uint8_t id = 1; id <= 7; ++id) {
        sim->set_servo_silent(id, true);
        auto failed = ctl->read_all_positions();
        ASSERT_FALSE(failed.ok()) << int(id);
        EXPECT_EQ(failed.error().message(), group_texts[id - 1]) << int(id);
        EXPECT_EQ(failed.error().is_timed_out_or_interrupted(), group_retriable[id - 1]) << int(id);
        sim->set_servo_silent(id, false);
        auto back = ctl->read_all_positions();  // what was left on the line is not taken for a reply
        ASSERT_TRUE(back.ok()) << back.error().message();
        expect_near(*back, expected());
    }
}

TEST_F(SingleSyncReadTest, ALateReplyIsNeverTakenForTheNextReadings) {
    use(PositionRead::OneSyncRead, SerialTimings{});  // the servos' own 10 ms
    // Servo 6 answers past the time-out (7 after it), carrying positions
    // that are gone by the next read: a reading is either refused or today's.
    for (int round = 0; round < 6; ++round) {
        sim->set_servo_reply_delay(6, 15ms);
        for (std::uint8_t id = 1; id <= 7; ++id) sim->set_servo_position(id, 0.1 * (round + id));
        const auto when_read = expected();
        auto read = ctl->read_all_positions();
        sim->set_servo_reply_delay(6, 0us);
        for (std::uint8_t id = 5; id <= 7; ++id) sim->set_servo_position(id, -0.1 * (round + id));
        // A busy machine may hand servo 6's reply over in time after all:
        // then it is the reading of that moment.
        if (read.ok()) expect_near(*read, when_read);
        auto next = ctl->read_all_positions();
        if (next.ok()) expect_near(*next, expected());
    }
}

}  // namespace
}  // namespace quorvel::testing
