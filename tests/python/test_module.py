"""The module as the interpreter sees it: its contents, its four classes and
what they refuse (construction, subclassing, new attributes, weak references),
and the one-initialisation-per-process rule."""

import gc
import inspect
import subprocess
import sys
import textwrap
import weakref

import pytest

import _tarnwick
from _tarnwick import FileType, KeyState, RawLevelDb, Record

CLASSES = [KeyState, FileType, Record, RawLevelDb]
CLASS_NAMES = ["KeyState", "FileType", "Record", "RawLevelDb"]
by_class = pytest.mark.parametrize("cls", CLASSES, ids=CLASS_NAMES)


def test_all_lists_the_four_classes_in_order():
    assert _tarnwick.__all__ == CLASS_NAMES
    assert type(_tarnwick.__all__) is list
    assert [getattr(_tarnwick, name) for name in _tarnwick.__all__] == CLASSES


def test_module_holds_nothing_else():
    public = sorted(n for n in vars(_tarnwick) if not n.startswith("_"))
    assert public == sorted(CLASS_NAMES)
    assert _tarnwick.__name__ == "_tarnwick"


def test_module_docstring_is_empty_not_absent():
    assert _tarnwick.__doc__ == ""


@by_class
def test_class_identity(cls):
    name = cls.__name__
    assert name in CLASS_NAMES
    assert cls.__qualname__ == name
    assert cls.__module__ == "builtins"
    assert repr(cls) == f"<class 'builtins.{name}'>"
    assert cls.__bases__ == (object,)
    assert type(cls) is type


@pytest.mark.parametrize(
    ("cls", "public"),
    [
        (KeyState, ["Deleted", "Live", "Unknown"]),
        (FileType, ["Ldb", "Log"]),
        (
            Record,
            ["file_type", "key", "offset", "origin_file", "seq", "state", "user_key", "value", "was_compressed"],
        ),
        (RawLevelDb, ["close", "in_dir_path", "iterate_records_raw"]),
    ],
    ids=CLASS_NAMES,
)
def test_classes_offer_exactly_their_members(cls, public):
    assert sorted(n for n in dir(cls) if not n.startswith("_")) == public


@pytest.mark.parametrize("cls", [KeyState, FileType, Record], ids=CLASS_NAMES[:3])
def test_classes_without_constructor_have_no_docstring(cls):
    assert cls.__doc__ is None


def test_raw_level_db_signatures():
    assert RawLevelDb.__text_signature__ == "(in_dir)"
    assert str(inspect.signature(RawLevelDb)) == "(in_dir)"
    signatures = {
        name: str(inspect.signature(getattr(RawLevelDb, name)))
        for name in ("iterate_records_raw", "close", "__enter__", "__exit__")
    }
    assert signatures == {
        "iterate_records_raw": "(self, /, *, reverse=False)",
        "close": "(self, /)",
        "__enter__": "(self, /)",
        "__exit__": "(self, /, _exc_type, _exc_val, _exc_tb)",
    }
    assert RawLevelDb.in_dir_path.__doc__ == ""


@pytest.mark.parametrize(
    ("args", "kwargs"),
    [((), {}), ((1,), {}), ((b"x", 2, 3), {}), ((), {"value": 1}), ((1,), {"in_dir": "x"})],
    ids=["no-args", "one-arg", "three-args", "keyword", "mixed"],
)
@pytest.mark.parametrize("cls", [KeyState, FileType, Record], ids=CLASS_NAMES[:3])
def test_constructor_refused(cls, args, kwargs):
    message = f"No constructor defined for {cls.__name__}"
    with pytest.raises(TypeError) as caught:
        cls(*args, **kwargs)
    assert str(caught.value) == message
    with pytest.raises(TypeError) as caught:
        cls.__new__(cls, *args, **kwargs)
    assert str(caught.value) == message


@by_class
def test_subclassing_refused(cls):
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Derived", (cls,), {})


def instances(small_db):
    """One instance of each class (a fresh KeyState and FileType from a record)."""
    db = RawLevelDb(str(small_db))
    record = db.iterate_records_raw()[0]
    return {"KeyState": record.state, "FileType": record.file_type, "Record": record, "RawLevelDb": db}


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_instances_take_no_new_attributes(small_db, name):
    instance = instances(small_db)[name]
    assert not hasattr(instance, "__dict__")
    with pytest.raises(AttributeError):
        instance.note = "evidence"
    with pytest.raises(AttributeError):
        instance.__dict__  # noqa: B018


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_instances_refuse_weak_references(small_db, name):
    with pytest.raises(TypeError):
        weakref.ref(instances(small_db)[name])


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_instances_are_not_tracked_by_the_cycle_collector(small_db, name):
    assert not gc.is_tracked(instances(small_db)[name])


@pytest.mark.parametrize("member", ["Live", "Deleted"])
def test_enumeration_members_take_no_new_attributes(member):
    with pytest.raises(AttributeError):
        getattr(KeyState, member).note = 1


@pytest.mark.parametrize(
    ("name", "attribute"),
    [("Record", "key"), ("Record", "seq"), ("Record", "state"), ("RawLevelDb", "in_dir_path")],
)
def test_getters_are_read_only(small_db, name, attribute):
    instance = instances(small_db)[name]
    with pytest.raises(AttributeError):
        setattr(instance, attribute, getattr(instance, attribute))
    with pytest.raises(AttributeError):
        delattr(instance, attribute)


def test_class_objects_accept_attribute_assignment():
    # The types are not immutable; only their instances are closed.
    Record.probe = 1
    try:
        assert Record.probe == 1
    finally:
        del Record.probe
    assert not hasattr(Record, "probe")


def test_second_initialisation_raises_import_error(tmp_path):
    # Runs in a child interpreter: removing the module from sys.modules here
    # would leave this test process with two generations of the classes.
    script = textwrap.dedent(
        f"""
        import sys
        import _tarnwick
        first = _tarnwick
        del sys.modules["_tarnwick"]
        try:
            import _tarnwick
        except ImportError as error:
            assert "once" in str(error), str(error)
        else:
            raise SystemExit("second import succeeded")
        assert "_tarnwick" not in sys.modules
        # The classes of the first import keep working.
        assert first.KeyState.Live == 1 and repr(first.FileType.Log) == "FileType.Log"
        with first.RawLevelDb({str(tmp_path)!r}) as db:
            assert db.iterate_records_raw() == []
        # And a third try fails the same way.
        try:
            import _tarnwick
        except ImportError:
            print("ok")
        """
    )
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"
