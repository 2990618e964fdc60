"""Argument parsing and conversion of the three callables that take
arguments: the RawLevelDb constructor, iterate_records_raw and __exit__.
Messages are checked character for character."""

import os
import pathlib

import numpy
import pytest

from _tarnwick import RawLevelDb

NEW = "RawLevelDb.__new__()"
ITERATE = "RawLevelDb.iterate_records_raw()"
EXIT = "RawLevelDb.__exit__()"


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        ((), {}, f"{NEW} missing 1 required positional argument: 'in_dir'"),
        (("P", "P"), {}, f"{NEW} takes 1 positional arguments but 2 were given"),
        (("P", "P", "P"), {}, f"{NEW} takes 1 positional arguments but 3 were given"),
        (("P", "P"), {"foo": 1}, f"{NEW} takes 1 positional arguments but 2 were given"),
        (("P",), {"in_dir": "P"}, f"{NEW} got multiple values for argument 'in_dir'"),
        (("P",), {"foo": 1}, f"{NEW} got an unexpected keyword argument 'foo'"),
        ((), {"foo": 1}, f"{NEW} got an unexpected keyword argument 'foo'"),
        ((), {"in dir": "P"}, f"{NEW} got an unexpected keyword argument 'in dir'"),
        ((), {"In_dir": "P"}, f"{NEW} got an unexpected keyword argument 'In_dir'"),
    ],
)
def test_constructor_argument_errors(tmp_path, args, kwargs, message):
    path = str(tmp_path)
    args = tuple(path if a == "P" else a for a in args)
    kwargs = {k: path if v == "P" else v for k, v in kwargs.items()}
    with pytest.raises(TypeError) as caught:
        RawLevelDb(*args, **kwargs)
    assert str(caught.value) == message


def test_constructor_accepts_in_dir_by_keyword(small_db):
    by_position = RawLevelDb(str(small_db))
    by_keyword = RawLevelDb(in_dir=str(small_db))
    assert by_keyword.in_dir_path == by_position.in_dir_path == str(small_db)
    assert [r.key for r in by_keyword.iterate_records_raw()] == [r.key for r in by_position.iterate_records_raw()]


ITERATE_ERRORS = [
    ((True,), {}, f"{ITERATE} takes 0 positional arguments but 1 was given"),
    ((False, False), {}, f"{ITERATE} takes 0 positional arguments but 2 were given"),
    ((), {"foo": 1}, f"{ITERATE} got an unexpected keyword argument 'foo'"),
    ((), {"reverse": True, "foo": 1}, f"{ITERATE} got an unexpected keyword argument 'foo'"),
    ((), {"Reverse": True}, f"{ITERATE} got an unexpected keyword argument 'Reverse'"),
    ((), {"reverse": 1}, "argument 'reverse': 'int' object cannot be converted to 'PyBool'"),
]

EXIT_ERRORS = [
    ((), {}, f"{EXIT} missing 3 required positional arguments: '_exc_type', '_exc_val', and '_exc_tb'"),
    ((None,), {}, f"{EXIT} missing 2 required positional arguments: '_exc_val' and '_exc_tb'"),
    ((None, None), {}, f"{EXIT} missing 1 required positional argument: '_exc_tb'"),
    ((None,) * 4, {}, f"{EXIT} takes 3 positional arguments but 4 were given"),
    ((None,), {"_exc_type": None}, f"{EXIT} got multiple values for argument '_exc_type'"),
    ((None,) * 3, {"exc": None}, f"{EXIT} got an unexpected keyword argument 'exc'"),
    ((None,), {"_exc_tb": None}, f"{EXIT} missing 1 required positional argument: '_exc_val'"),
    ((), {"_exc_tb": None}, f"{EXIT} missing 2 required positional arguments: '_exc_type' and '_exc_val'"),
]


# Argument errors come before the closed check, so an open and a closed
# database give the same TypeError.
@pytest.mark.parametrize("closed", [False, True], ids=["open", "closed"])
@pytest.mark.parametrize(
    ("method", "args", "kwargs", "message"),
    [("iterate_records_raw", *case) for case in ITERATE_ERRORS] + [("__exit__", *case) for case in EXIT_ERRORS],
)
def test_method_argument_errors(small_db, closed, method, args, kwargs, message):
    db = RawLevelDb(str(small_db))
    if closed:
        db.close()
    with pytest.raises(TypeError) as caught:
        getattr(db, method)(*args, **kwargs)
    assert str(caught.value) == message
    # A failed call leaves the object as it was.
    if closed:
        with pytest.raises(RuntimeError, match="^Database is closed$"):
            db.in_dir_path  # noqa: B018
    else:
        assert len(db.iterate_records_raw()) == 4


@pytest.mark.parametrize(
    ("args", "kwargs"),
    [((None, None, None), {}), ((), {"_exc_type": 1, "_exc_val": 2, "_exc_tb": 3}), ((ValueError,), {"_exc_tb": None, "_exc_val": None})],
    ids=["positional", "keywords", "mixed"],
)
def test_exit_accepts_positional_and_keyword_arguments(small_db, args, kwargs):
    db = RawLevelDb(str(small_db))
    assert db.__exit__(*args, **kwargs) is False
    with pytest.raises(RuntimeError, match="^Database is closed$"):
        db.iterate_records_raw()


@pytest.mark.parametrize(
    ("method", "args", "kwargs", "message"),
    [
        ("close", (1,), {}, "RawLevelDb.close() takes no arguments (1 given)"),
        ("close", (), {"now": True}, "RawLevelDb.close() takes no keyword arguments"),
        ("__enter__", (1, 2), {}, "RawLevelDb.__enter__() takes no arguments (2 given)"),
    ],
)
def test_no_argument_methods_refuse_arguments(small_db, method, args, kwargs, message):
    # The interpreter's own wording; the object stays open.
    db = RawLevelDb(str(small_db))
    with pytest.raises(TypeError) as caught:
        getattr(db, method)(*args, **kwargs)
    assert str(caught.value) == message
    assert db.in_dir_path == str(small_db)


class _Holder:
    class Nested:
        pass


@pytest.mark.parametrize(
    ("value", "type_name"),
    [
        (5, "int"),
        (None, "NoneType"),
        (b"/tmp", "bytes"),
        (bytearray(b"/tmp"), "bytearray"),
        (pathlib.Path("/tmp"), "PosixPath"),
        (pathlib.PurePosixPath("/tmp"), "PurePosixPath"),
        (["/tmp"], "list"),
        (_Holder.Nested(), "_Holder.Nested"),  # the qualified name, not the bare one
    ],
    ids=lambda v: v if isinstance(v, str) else None,
)
@pytest.mark.parametrize("by_keyword", [False, True], ids=["positional", "keyword"])
def test_in_dir_must_be_str(value, type_name, by_keyword):
    with pytest.raises(TypeError) as caught:
        RawLevelDb(in_dir=value) if by_keyword else RawLevelDb(value)
    assert str(caught.value) == f"argument 'in_dir': '{type_name}' object cannot be converted to 'PyString'"


class PathText(str):
    """A str subclass, as some path-handling libraries hand out."""


def test_str_subclass_is_accepted(small_db):
    db = RawLevelDb(PathText(str(small_db)))
    assert type(db.in_dir_path) is str
    assert db.in_dir_path == str(small_db)
    assert len(db.iterate_records_raw()) == 4


@pytest.mark.parametrize(
    "make_path",
    [
        lambda base: base + "/\udcff",
        lambda base: os.fsdecode(os.fsencode(base) + b"/caf\xe9"),  # surrogateescape of a Latin-1 name
        lambda base: PathText(base + "\ud800"),
    ],
    ids=["lone-surrogate", "fsdecoded-bytes", "str-subclass"],
)
def test_unencodable_in_dir_raises_unicode_encode_error(tmp_path, make_path):
    with pytest.raises(UnicodeEncodeError) as caught:
        RawLevelDb(make_path(str(tmp_path)))
    assert caught.value.encoding == "utf-8"


@pytest.mark.parametrize(
    ("value", "type_name"),
    [
        (1, "int"),
        (0, "int"),
        (None, "NoneType"),
        ("True", "str"),
        (1.0, "float"),
        (numpy.int64(1), "int64"),
        (numpy.array(True), "ndarray"),
    ],
    ids=lambda v: v if isinstance(v, str) else None,
)
def test_reverse_must_be_bool(small_db, value, type_name):
    db = RawLevelDb(str(small_db))
    with pytest.raises(TypeError) as caught:
        db.iterate_records_raw(reverse=value)
    assert str(caught.value) == f"argument 'reverse': '{type_name}' object cannot be converted to 'PyBool'"


def file_order(records):
    order = []
    for record in records:
        name = os.path.basename(record.origin_file)
        if not order or order[-1] != name:
            order.append(name)
    return order


@pytest.mark.parametrize(
    ("reverse", "expected"),
    [
        (False, ["000005.ldb", "000007.log"]),
        (True, ["000007.log", "000005.ldb"]),
        (numpy.bool_(False), ["000005.ldb", "000007.log"]),
        (numpy.bool_(True), ["000007.log", "000005.ldb"]),
    ],
    ids=["False", "True", "numpy-False", "numpy-True"],
)
def test_reverse_accepts_bool_and_numpy_bool(small_db, reverse, expected):
    with RawLevelDb(str(small_db)) as db:
        assert file_order(db.iterate_records_raw(reverse=reverse)) == expected


# A stand-in for numpy's boolean scalar: the type check goes by the type's
# module and name, so this class passes it and lets a test decide what its
# truth value does.
class bool_:  # noqa: N801
    __module__ = "numpy"

    def __init__(self, truth):
        self.truth = truth

    def __bool__(self):
        return self.truth()


def raise_(error):
    def truth():
        raise error

    return truth


def test_numpy_like_bool_type_error_is_renamed_and_keeps_its_cause(small_db):
    cause = KeyError("inner")
    error = TypeError("cannot decide")
    error.__cause__ = cause
    db = RawLevelDb(str(small_db))
    with pytest.raises(TypeError) as caught:
        db.iterate_records_raw(reverse=bool_(raise_(error)))
    assert str(caught.value) == "argument 'reverse': cannot decide"
    assert caught.value.__cause__ is cause


def test_numpy_like_bool_returning_a_non_bool(small_db):
    db = RawLevelDb(str(small_db))
    with pytest.raises(TypeError) as caught:
        db.iterate_records_raw(reverse=bool_(lambda: 1))
    assert str(caught.value) == "argument 'reverse': __bool__ should return bool, returned int"


def test_numpy_like_bool_other_errors_pass_unchanged(small_db):
    error = ValueError("ambiguous")
    db = RawLevelDb(str(small_db))
    with pytest.raises(ValueError) as caught:
        db.iterate_records_raw(reverse=bool_(raise_(error)))
    assert caught.value is error
    assert len(db.iterate_records_raw()) == 4


@pytest.mark.parametrize(
    ("reverse", "error", "message"),
    [
        (1, TypeError, "argument 'reverse': 'int' object cannot be converted to 'PyBool'"),
        (None, TypeError, "argument 'reverse': 'NoneType' object cannot be converted to 'PyBool'"),
        (True, RuntimeError, "Database is closed"),
        (numpy.bool_(True), RuntimeError, "Database is closed"),
    ],
    ids=["int", "None", "True", "numpy-True"],
)
def test_reverse_is_converted_before_the_closed_check(small_db, reverse, error, message):
    db = RawLevelDb(str(small_db))
    db.close()
    with pytest.raises(error) as caught:
        db.iterate_records_raw(reverse=reverse)
    assert str(caught.value) == message
