"""Argument binding, conversion, re-wrapping and the borrow counter."""

import collections.abc
import pathlib

import pytest

import _quorin
from _quorin import BoundingBox, Forest

Q = _quorin._quaternion_from_axis_angle
B = BoundingBox([0, 0, 0], [1, 1, 1])
OVERFLOW = "out of range integral type conversion attempted"


def fresh():
    return Forest(B, [1, 1, 1])


# (call, exception class, exact text)
ERRORS = [
    # binding
    (lambda: Forest(B), TypeError,
     "Forest.__new__() missing 1 required positional argument: 'base_res'"),
    (lambda: Forest(), TypeError,
     "Forest.__new__() missing 2 required positional arguments: 'bbox' and 'base_res'"),
    (lambda: Forest(base_res=[1, 1, 1]), TypeError,
     "Forest.__new__() missing 1 required positional argument: 'bbox'"),
    (lambda: fresh().refine_by_bbox(), TypeError,
     "Forest.refine_by_bbox() missing 3 required positional arguments: "
     "'min', 'max', and 'target_level'"),
    (lambda: fresh().refine_by_bbox([0, 0, 0], target_level=1), TypeError,
     "Forest.refine_by_bbox() missing 1 required positional argument: 'max'"),
    (lambda: BoundingBox(1, 2, 3), TypeError,
     "BoundingBox.__new__() takes 2 positional arguments but 3 were given"),
    (lambda: fresh().uniform_refinement(1, 2), TypeError,
     "Forest.uniform_refinement() takes 1 positional arguments but 2 were given"),
    (lambda: Q(1, 2, 3), TypeError,
     "_quaternion_from_axis_angle() takes 2 positional arguments but 3 were given"),
    (lambda: Forest(B, [1, 1, 1], level=2), TypeError,
     "Forest.__new__() got an unexpected keyword argument 'level'"),
    (lambda: Forest(B, bbox=B), TypeError,
     "Forest.__new__() got multiple values for argument 'bbox'"),
    # too many positional wins over a bad keyword
    (lambda: Q(1, 2, 3, bogus=1), TypeError,
     "_quaternion_from_axis_angle() takes 2 positional arguments but 3 were given"),
    # keywords are examined in the order given
    (lambda: Forest(B, bogus=1, bbox=B), TypeError,
     "Forest.__new__() got an unexpected keyword argument 'bogus'"),
    # BoundingBox object
    (lambda: Forest([0, 0, 0], [1, 1, 1]), TypeError,
     "argument 'bbox': 'list' object is not an instance of 'BoundingBox'"),
    (lambda: Forest(None, [1, 1, 1]), TypeError,
     "argument 'bbox': 'None' is not an instance of 'BoundingBox'"),
    (lambda: Forest(fresh(), [1, 1, 1]), TypeError,
     "argument 'bbox': 'Forest' object is not an instance of 'BoundingBox'"),
    # float 3-vector
    (lambda: BoundingBox([0, 0], [1, 1, 1]), ValueError, "expected a sequence of length 3 (got 2)"),
    (lambda: BoundingBox([0, 0, 0], [1, 1, 1, 1]), ValueError,
     "expected a sequence of length 3 (got 4)"),
    (lambda: BoundingBox(5, [1, 1, 1]), TypeError,
     "argument 'min': 'int' object is not an instance of 'Sequence'"),
    (lambda: BoundingBox({0: 1, 1: 1, 2: 1}, [1, 1, 1]), TypeError,
     "argument 'min': 'dict' object is not an instance of 'Sequence'"),
    (lambda: BoundingBox([0, 0, 0], None), TypeError,
     "argument 'max': 'None' is not an instance of 'Sequence'"),
    (lambda: BoundingBox([0, 0, 0], [1, None, 1]), TypeError,
     "argument 'max': must be real number, not NoneType"),
    # base resolution
    (lambda: Forest(B, [4, 4, -1]), OverflowError, OVERFLOW),
    (lambda: Forest(B, [4, 4, 2**32]), OverflowError, OVERFLOW),
    (lambda: Forest(B, [4, 4]), ValueError, "expected a sequence of length 3 (got 2)"),
    # unsigned 8-bit
    (lambda: fresh().uniform_refinement(256), OverflowError, OVERFLOW),
    (lambda: fresh().uniform_refinement(-1), OverflowError, OVERFLOW),
    (lambda: fresh().refine_by_bbox([0, 0, 0], [1, 1, 1], 300), OverflowError, OVERFLOW),
    # sequence of bools
    (lambda: fresh().refine_by_flags("abc"), TypeError,
     "argument 'flags': Can't extract `str` to `Vec`"),
    (lambda: fresh().refine_by_flags([1, 0]), TypeError,
     "argument 'flags': 'int' object is not an instance of 'bool'"),
    (lambda: fresh().refine_by_flags([None]), TypeError,
     "argument 'flags': 'None' is not an instance of 'bool'"),
    (lambda: fresh().coarsen_by_flags(x for x in [True]), TypeError,
     "argument 'flags': 'generator' object is not an instance of 'Sequence'"),
    (lambda: fresh().refine_by_flags({True}), TypeError,
     "argument 'flags': 'set' object is not an instance of 'Sequence'"),
    (lambda: fresh().refine_by_flags(None), TypeError,
     "argument 'flags': 'None' is not an instance of 'Sequence'"),
    # length checked after conversion
    (lambda: fresh().refine_by_flags([True, True]), ValueError, "Flags length must match num_cells"),
    (lambda: fresh().coarsen_by_flags([]), ValueError, "Flags length must match num_cells"),
    # quaternion
    (lambda: Q([0, 0], 1.0), ValueError, "expected a sequence of length 3 (got 2)"),
    (lambda: Q([0, 0, 1]), TypeError,
     "_quaternion_from_axis_angle() missing 1 required positional argument: 'angle'"),
    (lambda: Q([0, 0, 1], "x"), TypeError, "argument 'angle': must be real number, not str"),
    (lambda: Q([0, 0, 0], None), TypeError, "argument 'angle': must be real number, not NoneType"),
    (lambda: Q(axis=[0, 0, 1], angle=1.0, extra=3), TypeError,
     "_quaternion_from_axis_angle() got an unexpected keyword argument 'extra'"),
]


@pytest.mark.parametrize("call, exc, text", ERRORS, ids=range(len(ERRORS)))
def test_argument_errors_have_exact_class_and_text(call, exc, text):
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value) is exc
    assert str(info.value) == text


def test_str_as_float_vector_fails_on_its_items_with_the_argument_name():
    with pytest.raises(TypeError) as info:
        BoundingBox("abc", [1, 1, 1])
    assert str(info.value).startswith("argument 'min': ")


def test_base_res_item_without_index_is_a_named_type_error():
    with pytest.raises(TypeError) as info:
        Forest(B, [4.0, 4, 4])
    assert str(info.value).startswith("argument 'base_res': ")


def test_integer_beyond_64_bits_is_the_interpreters_overflow():
    with pytest.raises(OverflowError) as info:
        Forest(B, [4, 4, 2**70])
    assert str(info.value) != OVERFLOW


class _CauseError(TypeError):
    pass


class RaisingFloat:
    """A number whose conversion raises from Python code."""

    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc


def _chained_type_error():
    try:
        raise KeyError("inner")
    except KeyError as inner:
        err = TypeError("outer")
        err.__cause__ = inner
        return err


def test_rewrapping_keeps_the_cause_and_passes_other_classes_unchanged():
    err = _chained_type_error()
    with pytest.raises(TypeError) as info:
        BoundingBox([RaisingFloat(err), 0, 0], [1, 1, 1])
    assert str(info.value) == "argument 'min': outer"
    assert type(info.value.__cause__) is KeyError

    # A TypeError subclass is not re-wrapped.
    sub = _CauseError("sub")
    with pytest.raises(_CauseError) as info:
        Q([RaisingFloat(sub), 0, 0], 1.0)
    assert info.value is sub

    # Nor is any other class, whatever Python code raised it.
    boom = ZeroDivisionError("boom")
    with pytest.raises(ZeroDivisionError) as info:
        Q([0, 0, 1], RaisingFloat(boom))
    assert info.value is boom


def test_axis_errors_stop_before_the_angle_is_converted():
    touched = []

    class Angle:
        def __float__(self):
            touched.append(1)
            return 0.0

    with pytest.raises(ValueError):
        Q([1, 2], Angle())
    assert touched == []


def test_sequence_callbacks_errors_pass_through():
    class BadLen(collections.abc.Sequence):
        def __len__(self):
            raise ArithmeticError("len")

        def __getitem__(self, i):
            return 0.0

    class BadIter(list):
        def __iter__(self):
            raise LookupError("iter")

    with pytest.raises(ArithmeticError):
        BoundingBox(BadLen(), [1, 1, 1])
    # For bool sequences a failing len only sizes the result: the items still come.
    f = fresh()
    with pytest.raises(LookupError):
        f.refine_by_flags(BadIter([True]))

    class LyingLen(list):
        def __len__(self):
            return 2**62

    f.refine_by_flags(LyingLen([True]))
    assert f.num_cells() == 8


def test_tuples_and_lists_and_keywords_are_accepted_alike(unit_box):
    f = Forest(bbox=unit_box, base_res=(2, 1, 1))
    assert f.num_cells() == 2
    f.refine_by_flags(flags=(True, False))
    assert f.num_cells() == 9
    f.refine_by_bbox(min=(0, 0, 0), max=[0.1, 0.1, 0.1], target_level=True)
    assert f.num_cells() == 9  # level 1 already reached everywhere near the box
    assert BoundingBox(max=(2, 2, 2), min=[1, 1, 1]).min == [1.0, 1.0, 1.0]


def test_index_objects_are_integers_and_floats_are_not():
    class Two:
        def __index__(self):
            return 2

    f = fresh()
    f.uniform_refinement(Two())
    assert f.num_cells() == 64
    f = fresh()
    f.uniform_refinement(True)
    assert f.num_cells() == 8
    with pytest.raises(TypeError) as info:
        f.uniform_refinement(1.0)
    assert str(info.value).startswith("argument 'n_times': ")


@pytest.fixture
def np():
    return pytest.importorskip("numpy")


class TestNumpyInputs:
    def test_arrays_and_scalars_are_sequences_and_numbers(self, np):
        b = BoundingBox((0, 0, 0), np.ones(3))
        assert b.max == [1.0, 1.0, 1.0]
        f = Forest(b, np.array([4, 4, 4]))
        assert f.num_cells() == 64
        f.refine_by_flags(np.zeros(64, dtype=bool))
        assert f.num_cells() == 64
        flags = np.zeros(64, dtype=bool)
        flags[3] = True
        f.refine_by_flags(flags)
        assert f.num_cells() == 71
        f.refine_by_flags([np.bool_(False)] * 71)
        f.uniform_refinement(np.uint8(0))
        assert Q(np.array([0.0, 0.0, 2.0]), np.float64(np.pi)) == Q([0, 0, 1], np.pi)

    def test_numpy_non_bool_items_are_refused(self, np):
        with pytest.raises(TypeError) as info:
            fresh().refine_by_flags(np.array([1], dtype=np.int64))
        assert str(info.value) == "argument 'flags': 'int64' object is not an instance of 'bool'"
        with pytest.raises(TypeError) as info:
            BoundingBox(np.zeros((3, 3)), [1, 1, 1])  # three rows, not three numbers
        assert str(info.value).startswith("argument 'min': ")


class TestBorrows:
    def test_reentrant_read_during_exclusive_conversion_is_refused(self, unit_box):
        f = Forest(unit_box, [1, 1, 1])
        seen = []

        class Probe(collections.abc.Sequence):
            def __len__(self):
                return 3

            def __getitem__(self, i):
                try:
                    f.num_cells()
                except RuntimeError as e:
                    seen.append(str(e))
                    raise
                return 0.0

        with pytest.raises(RuntimeError) as info:
            f.refine_by_bbox(Probe(), [1, 1, 1], 1)
        assert str(info.value) == "Already mutably borrowed"
        assert seen == ["Already mutably borrowed"]
        # Released on the error path: the forest is unchanged and usable.
        assert f.num_cells() == 1
        f.refine_by_bbox([0, 0, 0], [1, 1, 1], 1)
        assert f.num_cells() == 8

    def test_reentrant_mutation_is_refused_and_swallowed_error_lets_the_call_finish(self, forest):
        f = forest
        inner = []

        class Flags(list):
            def __iter__(self):
                try:
                    f.uniform_refinement(1)
                except RuntimeError as e:
                    inner.append(str(e))
                return super().__iter__()

        f.refine_by_flags(Flags([True]))
        assert inner == ["Already borrowed"]
        assert f.num_cells() == 8

    def test_borrow_released_after_internal_error_and_value_error(self, unit_box):
        f = Forest(unit_box, [1, 1, 1])
        with pytest.raises(ValueError):
            f.coarsen_by_flags([True, True])
        f.uniform_refinement(1)
        assert f.num_cells() == 8

    def test_bbox_argument_is_shared_borrowed_and_released(self):
        box = BoundingBox([0, 0, 0], [1, 1, 1])
        reads = []

        class Res(collections.abc.Sequence):
            def __len__(self):
                return 3

            def __getitem__(self, i):
                reads.append(box.min)  # a shared read alongside the shared borrow
                return 1

        assert Forest(box, Res()).num_cells() == 1
        assert len(reads) == 3
        assert box.max == [1.0, 1.0, 1.0]


class TestLayerConverters:
    """Kinds whose operations arrive later, reached through the test hooks."""

    def test_argument_count_texts_with_optional_parameters(self, hooks):
        with pytest.raises(TypeError) as info:
            hooks.manager(B, [1, 1, 1], 3, 4)
        assert str(info.value) == (
            "QuorinManager.__new__() takes from 2 to 3 positional arguments but 4 were given")
        with pytest.raises(TypeError) as info:
            hooks.update_ib(1, 2, 3, 4)
        assert str(info.value) == (
            "ApibmSession.update_ib() takes from 0 to 3 positional arguments but 4 were given")
        with pytest.raises(TypeError) as info:
            hooks.manager()
        assert str(info.value) == (
            "QuorinManager.__new__() missing 2 required positional arguments: "
            "'bbox' and 'base_res'")

    def test_defaults(self, hooks):
        assert hooks.manager(B, [1, 2, 3]) == (B, [1, 2, 3], 3)
        assert hooks.manager(B, [1, 2, 3], n_leaf_refinement=0)[2] == 0
        with pytest.raises(TypeError) as info:
            hooks.manager(B, [1, 2, 3], None)
        assert str(info.value).startswith("argument 'n_leaf_refinement': ")
        assert hooks.update_ib() == (None, None, True)
        assert hooks.update_ib(None, None) == (None, None, True)
        assert hooks.update_ib([1, 2, 3], (1, 0, 0, 0), False) == (
            [1.0, 2.0, 3.0], [1.0, 0.0, 0.0, 0.0], False)
        with pytest.raises(TypeError) as info:
            hooks.update_ib(warn_outside_refinement=None)
        assert str(info.value) == (
            "argument 'warn_outside_refinement': 'None' is not an instance of 'bool'")

    CASES = [
        ("float4", [1, 2, 3], ValueError, "expected a sequence of length 4 (got 3)"),
        ("float4", 7, TypeError,
         "argument 'rotation_quaternion': 'int' object is not an instance of 'Sequence'"),
        ("path", pathlib.PurePosixPath("a.stl"), TypeError,
         "argument 'mesh_path': 'PurePosixPath' object is not an instance of 'str'"),
        ("path", b"a.stl", TypeError,
         "argument 'mesh_path': 'bytes' object is not an instance of 'str'"),
        ("flag", 1, TypeError,
         "argument 'warn_outside_refinement': 'int' object is not an instance of 'bool'"),
        ("flag", None, TypeError,
         "argument 'warn_outside_refinement': 'None' is not an instance of 'bool'"),
        ("target_level", 256, OverflowError, OVERFLOW),
        ("target_level", -1, OverflowError, OVERFLOW),
        ("u32", 2**32, OverflowError, OVERFLOW),
        ("u32", -(2**40), OverflowError, OVERFLOW),
        ("regions", "abc", TypeError,
         "argument 'refinement_regions': Can't extract `str` to `Vec`"),
        ("regions", [[[0, 0, 0], [1, 1, 1], 2]], TypeError,
         "argument 'refinement_regions': 'list' object is not an instance of 'tuple'"),
        ("regions", [([0, 0, 0], [1, 1, 1])], ValueError,
         "expected tuple of length 3, but got tuple of length 2"),
        ("regions", [([0, 0, 0], [1, 1, 1], 2, 0)], ValueError,
         "expected tuple of length 3, but got tuple of length 4"),
        ("regions", [([0, 0], [1, 1, 1], 2)], ValueError, "expected a sequence of length 3 (got 2)"),
        ("regions", [([0, 0, 0], [1, 1, 1], 256)], OverflowError, OVERFLOW),
        ("regions", [([0, 0, 0], None, 1)], TypeError,
         "argument 'refinement_regions': 'None' is not an instance of 'Sequence'"),
        ("regions", 3, TypeError,
         "argument 'refinement_regions': 'int' object is not an instance of 'Sequence'"),
    ]

    @pytest.mark.parametrize("hook, value, exc, text", CASES, ids=range(len(CASES)))
    def test_conversion_errors(self, hooks, hook, value, exc, text):
        with pytest.raises(BaseException) as info:
            getattr(hooks, hook)(value)
        assert type(info.value) is exc
        assert str(info.value) == text

    def test_accepted_values(self, hooks):
        assert hooks.float4((1, 2, 3, 4)) == [1.0, 2.0, 3.0, 4.0]
        assert hooks.path(None) is None
        assert hooks.path("dir/ü.stl") == "dir/ü.stl".encode()
        assert hooks.flag(True) is True and hooks.flag(False) is False
        assert hooks.target_level(255) == 255 and hooks.target_level(False) == 0
        assert hooks.u32(2**32 - 1) == 2**32 - 1
        assert hooks.angle(float("inf")) == float("inf")
        assert hooks.angle(-1.0) == -1.0
        assert hooks.regions([]) == []
        assert hooks.regions(
            (((0, 0, 0), [1, 1, 1], 2), ([5, 5, 5], (0.5, 0.5, 0.5), 0))
        ) == [([0.0, 0.0, 0.0], [1.0, 1.0, 1.0], 2), ([5.0, 5.0, 5.0], [0.5, 0.5, 0.5], 0)]

    def test_path_with_lone_surrogate_raises_unicode_encode_error(self, hooks):
        with pytest.raises(UnicodeEncodeError):
            hooks.path("bad\udc80.stl")

    def test_numpy_bool_scalars(self, hooks, np):
        assert hooks.flag(np.bool_(True)) is True
        assert hooks.flags(np.array([True, False])) == [True, False]
        with pytest.raises(TypeError) as info:
            hooks.flag(np.int8(1))
        assert str(info.value) == (
            "argument 'warn_outside_refinement': 'int8' object is not an instance of 'bool'")

    def test_lookalike_bool_types_are_refused(self, hooks):
        fake = type("bool_", (), {"__module__": "numpy", "__bool__": lambda self: 3 > 2})
        assert hooks.flag(fake()) is True
        broken = type("bool_", (), {"__module__": "numpy", "__bool__": lambda self: 1})
        with pytest.raises(TypeError) as info:
            hooks.flag(broken())
        assert str(info.value) == (
            "argument 'warn_outside_refinement': 'int' object is not an instance of 'bool'")
        other = type("bool_", (), {"__module__": "elsewhere"})
        with pytest.raises(TypeError):
            hooks.flag(other())
