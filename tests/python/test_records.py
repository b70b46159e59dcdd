import math
import re
import time

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st


def test_position_holds_its_values(qmc):
    before = time.time()
    p = qmc.QuorvelTorsoPosition([0.1, 0.2], [0.3, 0.4], [0.5, 0.6, 0.7], [0.0, 0.1, -0.1])
    after = time.time()
    assert p.left_arm == [0.1, 0.2]
    assert p.right_arm == [0.3, 0.4]
    assert p.nose == [0.5, 0.6, 0.7]
    assert p.neck == [0.0, 0.1, -0.1]
    assert before - 1.0 <= p.timestamp <= after + 1.0
    assert repr(p).startswith(
        "QuorvelTorsoPosition(left_arm=[0.1, 0.2], right_arm=[0.3, 0.4], "
        "nose=[0.5, 0.6, 0.7], neck=[0.0, 0.1, -0.1], timestamp="
    )


def test_position_repr_shows_floats_and_three_decimal_timestamp(qmc):
    p = qmc.QuorvelTorsoPosition([1, 2], [0.25, 0.5], [0, 0, 0], [0.0, 0.1, -0.1])
    match = re.fullmatch(
        r"QuorvelTorsoPosition\(left_arm=\[1\.0, 2\.0\], right_arm=\[0\.25, 0\.5\], "
        r"nose=\[0\.0, 0\.0, 0\.0\], neck=\[0\.0, 0\.1, -0\.1\], timestamp=(\d+\.\d{3})\)",
        repr(p),
    )
    assert match, repr(p)
    assert abs(float(match.group(1)) - p.timestamp) <= 0.0005 + 1e-9
    tiny = qmc.QuorvelTorsoPosition([1e-5, -0.0], [1e16, math.inf], [math.nan, -math.inf, 2.5e-7], [0, 0, 0])
    assert "left_arm=[1e-5, -0.0], right_arm=[1e16, inf], nose=[NaN, -inf, 2.5e-7]" in repr(tiny)


def test_position_accepts_keywords_tuples_and_number_like_objects(qmc):
    class Half:
        def __float__(self):
            return 0.5

    p = qmc.QuorvelTorsoPosition(neck=(1, 2, 3), nose=range(3), right_arm=[Half(), True], left_arm=b"\x01\x02")
    assert p.left_arm == [1.0, 2.0] and p.right_arm == [0.5, 1.0]
    assert p.nose == [0.0, 1.0, 2.0] and p.neck == [1.0, 2.0, 3.0]


@pytest.mark.parametrize(
    "args",
    [
        ([0.1], [0.3, 0.4], [0.5, 0.6, 0.7], [0.0, 0.1, 0.2]),
        ([0.1, 0.2], [0.3, 0.4], [0.5, 0.6, 0.7, 0.8], [0.0, 0.1, 0.2]),
        ([0.1, 0.2], [0.3, 0.4], [0.5, 0.6, 0.7], []),
    ],
)
def test_position_wrong_lengths(qmc, args):
    with pytest.raises(ValueError, match=r"^Each arm must have 2 positions, nose must have 3, neck must have 3\.$"):
        qmc.QuorvelTorsoPosition(*args)


def test_position_conversion_errors_come_before_the_length_check(qmc):
    with pytest.raises(TypeError, match=r"^Can't extract `str` to `Vec`$"):
        qmc.QuorvelTorsoPosition([0.1], "ab", [0.5, 0.6, 0.7], [0.0, 0.1, 0.2])
    with pytest.raises(TypeError, match="neck"):
        qmc.QuorvelTorsoPosition([0.1], [1, 2], [0.5, 0.6, 0.7], [0.0, "x", 0.2])
    with pytest.raises(TypeError, match="nose"):
        qmc.QuorvelTorsoPosition([0.1, 0.2], [1, 2], 3, [0.0, 0.1, 0.2])


def test_position_argument_binding_errors(qmc):
    P = qmc.QuorvelTorsoPosition
    with pytest.raises(TypeError, match="neck"):
        P([1, 2], [1, 2], [1, 2, 3])
    with pytest.raises(TypeError, match="colour"):
        P([1, 2], [1, 2], [1, 2, 3], [1, 2, 3], colour=1)
    with pytest.raises(TypeError, match="left_arm"):
        P([1, 2], [1, 2], [1, 2, 3], [1, 2, 3], left_arm=[1, 2])
    with pytest.raises(TypeError):
        P([1, 2], [1, 2], [1, 2, 3], [1, 2, 3], [1])


def test_position_is_read_only_and_returns_copies(qmc):
    p = qmc.QuorvelTorsoPosition([0.1, 0.2], [0.3, 0.4], [0.5, 0.6, 0.7], [0.0, 0.1, -0.1])
    for name in ("left_arm", "right_arm", "nose", "neck", "timestamp"):
        with pytest.raises(AttributeError):
            setattr(p, name, [0.0, 0.0])
    with pytest.raises(AttributeError):
        p.extra = 1
    p.left_arm.append(9.0)
    p.neck[0] = 5.0
    assert p.left_arm == [0.1, 0.2] and p.neck == [0.0, 0.1, -0.1]
    assert type(p).neck.__doc__ == "Neck joint positions in rad: [yaw, pitch, roll]."


def test_class_docstrings_carry_the_text_signature(qmc):
    assert qmc.QuorvelTorsoPosition.__text_signature__ == "(left_arm, right_arm, nose, neck)"
    assert qmc.QuorvelTorsoPosition.__doc__ == ""
    assert qmc.ControlLoopStats.__doc__ == ""


def test_stats_cannot_be_created_from_python(qmc):
    with pytest.raises(TypeError):
        qmc.ControlLoopStats()
    with pytest.raises(TypeError):
        qmc.ControlLoopStats.__new__(qmc.ControlLoopStats)


def test_panic_exception_is_not_a_module_attribute(qmc):
    assert not hasattr(qmc, "PanicException")


# ---- arbitrary input never crashes the constructor ----

scalars = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(),
    st.floats(allow_nan=True, allow_infinity=True),
    st.text(max_size=4),
    st.binary(max_size=4),
    st.complex_numbers(),
    st.decimals(allow_nan=False),
    st.fractions(),
)
containers = st.one_of(
    st.lists(scalars, max_size=5),
    st.tuples(scalars, scalars),
    st.tuples(scalars, scalars, scalars),
    st.dictionaries(st.integers(0, 3), scalars, max_size=3),
    st.sets(st.integers(), max_size=3),
    st.binary(max_size=4),
    st.text(max_size=4),
)
anything = st.one_of(scalars, containers, st.lists(st.floats(), min_size=2, max_size=3))


@settings(max_examples=400, deadline=None)
@given(anything, anything, anything, anything)
def test_arbitrary_objects_raise_only_argument_errors(qmc, left, right, nose, neck):
    try:
        p = qmc.QuorvelTorsoPosition(left, right, nose, neck)
    except (TypeError, ValueError, OverflowError):
        return
    for got, given_value in ((p.left_arm, left), (p.right_arm, right), (p.nose, nose), (p.neck, neck)):
        expected = [float(x) for x in given_value]
        assert len(got) == len(expected)
        assert all(g == e or (math.isnan(g) and math.isnan(e)) for g, e in zip(got, expected))
    repr(p)


@settings(max_examples=200, deadline=None)
@given(st.lists(st.floats(), min_size=2, max_size=2), st.lists(st.floats(), min_size=3, max_size=3))
def test_float_values_round_trip_exactly(qmc, arm, three):
    p = qmc.QuorvelTorsoPosition(arm, arm, three, three)
    same = lambda a, b: all(x == y or (math.isnan(x) and math.isnan(y)) for x, y in zip(a, b))
    assert same(p.left_arm, arm) and same(p.nose, three) and same(p.neck, three)


@given(st.integers(min_value=2**1024))
def test_huge_integers_overflow(qmc, big):
    with pytest.raises(OverflowError):
        qmc.QuorvelTorsoPosition([big, 0], [0, 0], [0, 0, 0], [0, 0, 0])
