"""`single_sync_read`: the seven servo positions in one sync read, on the virtual torso."""

from datetime import timedelta

import pytest

from waiting import eventually

quorvel_torso_sim = pytest.importorskip("quorvel_torso_sim")

PERIOD = timedelta(milliseconds=10)
STEP = 2 * 3.141592653589793 / 4096


def position_reads(sim):
    """The ids of every sync read of the present position (56, 2 bytes) the host sent."""
    return [
        list(e.bytes[7:-1])
        for e in sim.serial_log()
        if e.bytes[4:7] == bytes([0x82, 56, 2])
    ]


def pose(sim):
    for servo_id in range(1, 5):
        sim.set_servo_offset(servo_id, 0.2 * servo_id - 0.5)  # the SM40BLs report encoder - offset
    for servo_id in range(1, 8):
        sim.set_servo_position(servo_id, 0.3 * servo_id - 1.2)
    return [sim.servo_position(i) for i in range(1, 8)]


def test_the_option_is_keyword_only_and_a_bool(qmc, sim):
    with pytest.raises(TypeError):
        qmc.QuorvelMotorController(sim.serial_path, sim.can_bus, True)
    with pytest.raises(TypeError):
        qmc.QuorvelMotorController(sim.serial_path, sim.can_bus, single_sync_read=1)
    with pytest.raises(TypeError):
        qmc.QuorvelPyControlLoop(sim.serial_path, PERIOD, sim.can_bus, 5, None, timedelta(seconds=1), None, True)
    assert sim.serial_log() == []


@pytest.mark.parametrize("single", [None, False, True])
def test_direct_reads_give_the_same_values_in_one_round_trip_or_two(qmc, sim, single):
    expected = pose(sim)
    kwargs = {} if single is None else {"single_sync_read": single}
    with qmc.QuorvelMotorController(sim.serial_path, sim.can_bus, **kwargs) as controller:
        sim.clear_logs()
        got = controller.read_all_positions()
    assert got == pytest.approx(expected, abs=STEP)
    assert position_reads(sim) == ([[1, 2, 3, 4, 5, 6, 7]] if single else [[1, 2, 3, 4], [5, 6, 7]])


@pytest.mark.parametrize("single", [False, True])
def test_every_reading_of_the_loop_follows_the_option(qmc, sim, single):
    expected = pose(sim)
    loop = qmc.QuorvelPyControlLoop(sim.serial_path, PERIOD, can_bus=sim.can_bus, single_sync_read=single)
    try:
        first = loop.get_last_position()  # the start-up reading
        assert first.left_arm + first.right_arm + first.nose == pytest.approx(expected, abs=STEP)
        assert eventually(lambda: len(position_reads(sim)) >= 6)
    finally:
        loop.close()
    reads = position_reads(sim)
    if single:
        assert all(ids == [1, 2, 3, 4, 5, 6, 7] for ids in reads)
    else:
        assert reads == [[1, 2, 3, 4], [5, 6, 7]] * (len(reads) // 2)
