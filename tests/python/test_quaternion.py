"""_quaternion_from_axis_angle."""

import math
import struct

import pytest

from _quorin import _quaternion_from_axis_angle as q


def bits(values):
    return [struct.pack("<d", v) for v in values]


def test_pi_about_z_bit_for_bit_and_axis_is_normalised():
    expected = [6.123233995736766e-17, 0.0, 0.0, 1.0]
    for axis in ([0.0, 0.0, 1.0], [0.0, 0.0, 2.0], (0, 0, 1e-3)):
        assert bits(q(axis, math.pi)) == bits(expected)
    assert bits(q(angle=math.pi, axis=[0, 0, 1])) == bits(expected)


@pytest.mark.parametrize("axis", [
    [0.0, 0.0, 0.0],
    [1e200, 0.0, 0.0],     # squared length overflows
    [1e-200, 0.0, 0.0],    # squared length underflows
    [float("nan"), 1.0, 0.0],
    [float("inf"), 0.0, 0.0],
])
@pytest.mark.parametrize("angle", [0.0, 1.0, float("nan")])
def test_degenerate_axes_give_the_identity(axis, angle):
    result = q(axis, angle)
    assert type(result) is list
    assert bits(result) == bits([1.0, 0.0, 0.0, 0.0])


def test_zero_angle_keeps_the_signs_of_the_axis():
    assert bits(q([-1.0, 0.0, 0.0], 0)) == bits([1.0, -0.0, 0.0, 0.0])


def test_values_follow_sincos_of_the_half_angle():
    axis = [1.0, 2.0, 2.0]
    for angle in (-1.0, 3, 0.5, 10.0):
        h = angle * 0.5
        s, c = math.sin(h), math.cos(h)
        inv = 1.0 / math.sqrt((1.0 + 4.0) + 4.0)
        assert bits(q(axis, angle)) == bits([c, (1.0 * inv) * s, (2.0 * inv) * s, (2.0 * inv) * s])


def test_non_finite_angle_with_a_usable_axis_is_all_nan():
    assert all(math.isnan(v) for v in q([0, 1, 0], float("inf")))


def test_angle_is_converted_even_when_the_axis_is_degenerate():
    with pytest.raises(TypeError):
        q([0, 0, 0], "x")


def test_number_like_angles():
    class Angle:
        def __float__(self):
            return math.pi

    assert q([0, 0, 1], Angle()) == q([0, 0, 1], math.pi)
    assert q([0, 0, 1], 3) == q([0, 0, 1], 3.0)
    assert q([0, 0, 1], True) == q([0, 0, 1], 1.0)
