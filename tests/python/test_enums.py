"""KeyState and FileType: small enumerations that compare with their own
members and with integers, and do nothing else (no order, no hash, no index)."""

import operator

import numpy
import pytest

from _tarnwick import FileType, KeyState

MEMBERS = [
    (KeyState, "Deleted", 0),
    (KeyState, "Live", 1),
    (KeyState, "Unknown", 2),
    (FileType, "Ldb", 1),
    (FileType, "Log", 2),
]
MEMBER_IDS = [f"{cls.__name__}.{name}" for cls, name, _ in MEMBERS]

member_table = pytest.mark.parametrize(("cls", "name", "value"), MEMBERS, ids=MEMBER_IDS)


@pytest.mark.parametrize(
    ("cls", "names"),
    [(KeyState, ["Deleted", "Live", "Unknown"]), (FileType, ["Ldb", "Log"])],
)
def test_public_names_are_the_members_in_table_order(cls, names):
    assert [n for n in vars(cls) if not n.startswith("_")] == names


@member_table
def test_int_repr_and_str(cls, name, value):
    member = getattr(cls, name)
    assert int(member) == value
    assert type(int(member)) is int
    assert repr(member) == f"{cls.__name__}.{name}"
    assert str(member) == repr(member)


@member_table
def test_class_attribute_is_one_object(cls, name, value):
    assert getattr(cls, name) is getattr(cls, name)
    assert vars(cls)[name] is getattr(cls, name)
    assert type(getattr(cls, name)) is cls


@member_table
def test_equals_its_int_from_both_sides(cls, name, value):
    member = getattr(cls, name)
    assert member == value
    assert value == member
    assert not member != value
    assert not value != member
    for other in (value - 1, value + 1):
        assert member != other
        assert other != member
        assert not member == other


@member_table
def test_equality_within_the_class(cls, name, value):
    member = getattr(cls, name)
    for other_name in vars(cls):
        if other_name.startswith("_"):
            continue
        other = getattr(cls, other_name)
        assert (member == other) is (other_name == name)
        assert (member != other) is (other_name != name)


@pytest.mark.parametrize(
    ("left", "right", "equal"),
    [
        (KeyState.Deleted, False, True),
        (KeyState.Live, True, True),
        (KeyState.Unknown, True, False),
        (FileType.Ldb, True, True),
        (FileType.Ldb, 0, False),
        (FileType.Log, 2, True),
    ],
)
def test_bools_are_ints(left, right, equal):
    assert (left == right) is equal
    assert (right == left) is equal
    assert (left != right) is not equal


class IntSubclass(int):
    pass


class Indexable:
    """An object that is not an int but converts to one through __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize(
    "other",
    [IntSubclass(1), Indexable(1), numpy.int64(1), numpy.uint8(1)],
    ids=["int-subclass", "__index__", "numpy.int64", "numpy.uint8"],
)
def test_integer_like_values_compare_by_value(other):
    assert KeyState.Live == other
    assert not KeyState.Live != other
    assert KeyState.Deleted != other


class IndexRaises:
    def __index__(self):
        raise ValueError("no index for you")


class IndexTooBig:
    def __index__(self):
        return 2**64 + 1


@pytest.mark.parametrize(
    "other",
    [
        1.0,
        "Live",
        "1",
        b"\x01",
        None,
        object(),
        [1],
        2**63,
        2**64 + 1,
        -(2**63) - 1,
        -(2**64) + 1,
        10**100,
        IndexRaises(),
        IndexTooBig(),
    ],
    ids=lambda v: type(v).__name__ + ":" + repr(v)[:20],
)
def test_unrelated_values_are_unequal_without_raising(other):
    # Out-of-range integers must not wrap around to 1 either.
    assert not KeyState.Live == other
    assert KeyState.Live != other
    assert not other == KeyState.Live
    assert other != KeyState.Live


@pytest.mark.parametrize(
    ("left", "right"),
    [(KeyState.Live, FileType.Ldb), (KeyState.Unknown, FileType.Log)],
)
def test_members_of_the_two_classes_never_equal(left, right):
    assert int(left) == int(right)
    assert not left == right
    assert left != right
    assert not right == left
    assert right != left


ORDERINGS = [operator.lt, operator.le, operator.gt, operator.ge]


@pytest.mark.parametrize("op", ORDERINGS, ids=lambda op: op.__name__)
@pytest.mark.parametrize(
    ("left", "right"),
    [
        (KeyState.Deleted, KeyState.Live),
        (KeyState.Live, KeyState.Live),
        (FileType.Ldb, FileType.Log),
        (KeyState.Live, 1),
        (1, KeyState.Live),
        (FileType.Log, 5),
    ],
)
def test_no_ordering(op, left, right):
    with pytest.raises(TypeError):
        op(left, right)


@member_table
def test_unhashable(cls, name, value):
    member = getattr(cls, name)
    assert cls.__hash__ is None
    with pytest.raises(TypeError):
        hash(member)
    with pytest.raises(TypeError):
        {member}
    with pytest.raises(TypeError):
        {member: 1}


@member_table
def test_always_true(cls, name, value):
    assert bool(getattr(cls, name)) is True


@member_table
def test_not_an_index(cls, name, value):
    member = getattr(cls, name)
    with pytest.raises(TypeError):
        [10, 11, 12][member]
    with pytest.raises(TypeError):
        operator.index(member)
    with pytest.raises(TypeError):
        range(member)


@member_table
def test_no_arithmetic_and_not_an_int(cls, name, value):
    member = getattr(cls, name)
    assert not isinstance(member, int)
    with pytest.raises(TypeError):
        member + 1
    with pytest.raises(TypeError):
        float(member)
