"""Argument handling shared by every function: TypeError, OverflowError and OSError texts."""
import os
import pathlib

import pytest

import _quorvex as q

BYTES_FUNCTIONS = ["parse_bytes", "parse_all_bytes"]
PATH_FUNCTIONS = ["parse_file", "parse_all_file"]


def raises(exc, call, *args, **kwargs):
    with pytest.raises(BaseException) as info:
        call(*args, **kwargs)
    assert type(info.value) is exc, info.value
    return info.value.args


@pytest.mark.parametrize("name", BYTES_FUNCTIONS)
@pytest.mark.parametrize("value, type_name", [
    (bytearray(b"BUFR"), "bytearray"),
    (memoryview(b"BUFR"), "memoryview"),
    ("BUFR", "str"),
    (None, "NoneType"),
])
def test_data_must_be_bytes(name, value, type_name):
    args = raises(TypeError, getattr(q, name), value)
    assert args == (f"argument 'data': '{type_name}' object cannot be cast as 'bytes'",)


@pytest.mark.parametrize("name", PATH_FUNCTIONS)
@pytest.mark.parametrize("value, type_name", [
    (b"/tmp/x.bufr", "bytes"),
    (pathlib.PurePosixPath("/tmp/x.bufr"), "PurePosixPath"),
    (3, "int"),
])
def test_path_must_be_str(name, value, type_name):
    args = raises(TypeError, getattr(q, name), value)
    assert args == (f"argument 'path': '{type_name}' object cannot be cast as 'str'",)


def test_wrong_type_names_the_qualified_type():
    class Outer:
        class Inner:
            pass
    args = raises(TypeError, q.parse_bytes, Outer.Inner())
    assert args == ("argument 'data': 'test_wrong_type_names_the_qualified_type.<locals>.Outer.Inner' "
                    "object cannot be cast as 'bytes'",)


@pytest.mark.parametrize("name, arg", [(n, "data") for n in BYTES_FUNCTIONS] + [(n, "path") for n in PATH_FUNCTIONS])
def test_argument_count_and_keyword_errors(name, arg):
    fn = getattr(q, name)
    good = b"" if arg == "data" else "/nonexistent"
    assert raises(TypeError, fn) == (f"{name}() missing 1 required positional argument: '{arg}'",)
    assert raises(TypeError, fn, good, good) == (f"{name}() takes 1 positional arguments but 2 were given",)
    assert raises(TypeError, fn, good, good, good) == (f"{name}() takes 1 positional arguments but 3 were given",)
    assert raises(TypeError, fn, good, **{arg: good}) == (f"{name}() got multiple values for argument '{arg}'",)
    assert raises(TypeError, fn, bogus=good) == (f"{name}() got an unexpected keyword argument 'bogus'",)
    assert fn.__text_signature__ == f"({arg})"
    assert fn.__doc__ is None  # the docstring is the signature line alone


def test_arguments_are_checked_before_any_file_is_touched():
    assert raises(TypeError, q.parse_file, "/nonexistent", extra=1) == (
        "parse_file() got an unexpected keyword argument 'extra'",)


@pytest.mark.parametrize("name", PATH_FUNCTIONS)
def test_unreadable_files_raise_oserror(name, tmp_path):
    fn = getattr(q, name)
    missing = raises(OSError, fn, str(tmp_path / "missing.bufr"))
    assert missing == ("No such file or directory (os error 2)",)
    assert raises(OSError, fn, str(tmp_path)) == ("Is a directory (os error 21)",)
    with pytest.raises(OSError) as info:
        fn(str(tmp_path / "missing.bufr"))
    assert info.value.errno is None and info.value.filename is None
    if os.geteuid() != 0:  # root reads anything
        locked = tmp_path / "locked.bufr"
        locked.write_bytes(b"")
        locked.chmod(0)
        assert raises(OSError, fn, str(locked)) == ("Permission denied (os error 13)",)


@pytest.mark.parametrize("args, kwargs, exc, text", [
    ((1.0, 1, 1), {}, TypeError, "argument 'f': 'float' object cannot be interpreted as an integer"),
    ((1, "1", 1), {}, TypeError, "argument 'x': 'str' object cannot be interpreted as an integer"),
    ((1, 1, None), {}, TypeError, "argument 'y': 'NoneType' object cannot be interpreted as an integer"),
    ((256, 0, 0), {}, OverflowError, "out of range integral type conversion attempted"),
    ((0, -1, 0), {}, OverflowError, "out of range integral type conversion attempted"),
    ((0, 0, 1 << 100), {}, OverflowError, None),  # the interpreter's own overflow text
    ((), {}, TypeError, "Descriptor.__new__() missing 3 required positional arguments: 'f', 'x', and 'y'"),
    ((1,), {"y": 2}, TypeError, "Descriptor.__new__() missing 1 required positional argument: 'x'"),
    ((1,), {}, TypeError, "Descriptor.__new__() missing 2 required positional arguments: 'x' and 'y'"),
    ((1, 2, 3, 4), {}, TypeError, "Descriptor.__new__() takes 3 positional arguments but 4 were given"),
    ((1, 2), {"x": 3}, TypeError, "Descriptor.__new__() got multiple values for argument 'x'"),
    ((1, 2, 3), {"z": 3}, TypeError, "Descriptor.__new__() got an unexpected keyword argument 'z'"),
])
def test_descriptor_constructor_errors(args, kwargs, exc, text):
    got = raises(exc, q.Descriptor, *args, **kwargs)
    if text is not None:
        assert got == (text,)


@pytest.mark.parametrize("args, kwargs, exc, text", [
    ((1 << 32,), {}, OverflowError, "out of range integral type conversion attempted"),
    ((1 << 70,), {}, OverflowError, "out of range integral type conversion attempted"),
    ((-1,), {}, OverflowError, "can't convert negative int to unsigned"),
    (("301011",), {}, TypeError, "argument 'code': 'str' object cannot be interpreted as an integer"),
    ((), {}, TypeError, "Descriptor.from_fxy() missing 1 required positional argument: 'code'"),
    ((1, 2), {}, TypeError, "Descriptor.from_fxy() takes 1 positional arguments but 2 were given"),
    ((1,), {"code": 1}, TypeError, "Descriptor.from_fxy() got multiple values for argument 'code'"),
    ((), {"fxy": 1}, TypeError, "Descriptor.from_fxy() got an unexpected keyword argument 'fxy'"),
])
def test_from_fxy_errors(args, kwargs, exc, text):
    assert raises(exc, q.Descriptor.from_fxy, *args, **kwargs) == (text,)
