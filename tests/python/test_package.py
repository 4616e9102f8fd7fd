"""The package's own surface: its docstring, version and exported names, and a clear error
when an optional extra is missing."""
import importlib
import sys

import pytest

import quorvex


def test_docstring_version_and_names():
    assert quorvex.__doc__ and quorvex.__doc__.startswith("quorvex: BUFR")
    assert isinstance(quorvex.__version__, str) and quorvex.__version__
    assert all(hasattr(quorvex, name) for name in quorvex.__all__)
    assert issubclass(quorvex.BadMessageError, ValueError)


@pytest.mark.parametrize("missing", ["dask", "fsspec"])
def test_dask_module_without_the_extra_names_it(monkeypatch, missing):
    monkeypatch.setitem(sys.modules, missing, None)  # makes `import missing` fail
    monkeypatch.delitem(sys.modules, "quorvex.dask", raising=False)
    with pytest.raises(ModuleNotFoundError, match=rf"quorvex.dask needs {missing}.*quorvex\[dask\]") as raised:
        importlib.import_module("quorvex.dask")
    assert raised.value.name == missing
