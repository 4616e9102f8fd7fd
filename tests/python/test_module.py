"""The module surface: registered names, their order and their kinds."""
import inspect
import subprocess
import sys

import pytest

import _quorvex as q

CLASSES = ["BufrMessage", "DecodedValue", "Descriptor", "ElementDefinition", "SequenceDefinition", "TableSet"]
FUNCTIONS = {
    "parse_bytes": "(data)",
    "parse_file": "(path)",
    "parse_all_bytes": "(data)",
    "parse_all_file": "(path)",
    "expand_descriptors": "(table_dir, descriptors)",
    "decode_values": "(data, table_dir)",
    "decode_values_with_tables": "(data, tables)",
    "decode_values_with_definitions": "(data, definitions_root)",
}


def test_all_lists_the_fourteen_names_in_registration_order():
    assert q.__all__ == CLASSES + list(FUNCTIONS)
    assert q.__doc__ == ""


# Whether each class can be called to make an instance (the others come from the module's
# functions and methods only).
CALLABLE = {"BufrMessage": False, "DecodedValue": False, "Descriptor": True, "ElementDefinition": False,
            "SequenceDefinition": False, "TableSet": True}


@pytest.mark.parametrize("name", CLASSES)
def test_class_shape(name):
    """Every class: named builtins.<Name>, final, immutable, and constructible only where it
    has a constructor."""
    cls = getattr(q, name)
    assert isinstance(cls, type)
    assert (cls.__module__, cls.__name__, cls.__qualname__) == ("builtins", name, name)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    with pytest.raises(TypeError):
        cls.extra = 1
    if not CALLABLE[name]:
        with pytest.raises(TypeError, match=f"cannot create 'builtins.{name}' instances"):
            cls()


def test_functions_are_builtins_with_text_signatures():
    for name, signature in FUNCTIONS.items():
        fn = getattr(q, name)
        assert inspect.isbuiltin(fn)
        assert fn.__text_signature__ == signature
        assert str(inspect.signature(fn)) == signature


def test_import_in_a_fresh_interpreter_is_stable():
    code = ("import _quorvex, sys; a = _quorvex.parse_bytes; import _quorvex as b; assert b.parse_bytes is a; "
            "print(len(b.__all__))")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "14"


def test_sub_interpreters_cannot_import_it():
    # In a child process: a sub-interpreter failure must not take the test run with it.
    code = """
import _xxsubinterpreters as si
for isolated in (True, False):
    interp = si.create(isolated=isolated)
    try:
        si.run_string(interp, "import _quorvex")
    except si.RunFailedError as e:
        print(str(e).split(":")[0])
    finally:
        si.destroy(interp)
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.split() == ["<class", "'ImportError'>"] * 2
