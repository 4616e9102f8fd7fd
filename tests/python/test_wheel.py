"""The package as a user gets it: build the wheel, install it into a fresh virtual environment
with only its declared dependencies, and run the README's example there with the table
store alone. Slow (a full build the first time; later runs reuse build-wheel/)."""
import importlib.util
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

import _quorvex
import quorvex

ROOT = pathlib.Path(__file__).resolve().parents[2]

pytestmark = [
    pytest.mark.slow,
    pytest.mark.skipif(not hasattr(quorvex, "open") or not hasattr(quorvex, "read_dataframe"),
                       reason="the README example needs quorvex.open and quorvex.read_dataframe"),
]


def readme_example():
    text = (ROOT / "README.md").read_text(encoding="utf-8")
    section = text.split("## Using quorvex", 1)[1].split("\n## ", 1)[0]
    return re.search(r"```python\n(.*?)```", section, re.S).group(1)


def clean_env(**extra):
    """The environment without anything that would find the source tree or a definitions root."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("PYTHONPATH", "VIRTUAL_ENV", "ECCODES_DEFINITION_PATH", "CONDA_PREFIX")}
    env.update(extra)
    return env


def run(cmd, **kwargs):
    result = subprocess.run([str(c) for c in cmd], capture_output=True, text=True, **kwargs)
    assert result.returncode == 0, f"{cmd}\n{result.stdout[-3000:]}\n{result.stderr[-3000:]}"
    return result.stdout


def test_readme_example_in_a_fresh_venv(tmp_path):
    wheels = tmp_path / "wheels"
    run([sys.executable, "-m", "pip", "wheel", "--no-deps", "-q", "-w", wheels, ROOT],
        env=clean_env(CMAKE_BUILD_PARALLEL_LEVEL=os.environ.get("JOBS", "2")))
    (wheel,) = wheels.glob("quorvex-*.whl")

    venv = tmp_path / "venv"
    run([sys.executable, "-m", "venv", venv])
    python = venv / "bin" / "python"
    run([python, "-m", "pip", "install", "-q", wheel], env=clean_env())

    # The example reads examples/... relative to where it runs: a copy, away from the sources.
    work = tmp_path / "work"
    shutil.copytree(ROOT / "examples", work / "examples")
    probe = ("import quorvex, _quorvex, sys\n"
             "print('module', quorvex.__file__, _quorvex.__file__)\n")
    out = run([python, "-c", probe + readme_example()], cwd=work, env=clean_env(QUORVEX_DEFINITIONS=""))
    installed = str(venv)
    paths = out.splitlines()[0].split()[1:]
    assert all(p.startswith(installed) for p in paths), out  # nothing came from the source tree
    assert len(out.splitlines()) > 3, out

    # The table store alone: with it the installed package decodes every message of the
    # examples, and its licence texts are installed beside it.
    check = ("import glob, os, quorvex\n"
             "folder = os.path.dirname(quorvex._engine.__file__)\n"
             "assert os.path.getsize(os.path.join(folder, 'bufr_tables.store')) < 8 << 20\n"
             "assert os.path.isfile(os.path.join(folder, 'bufr_tables_licences', 'eccodes-NOTICE'))\n"
             "for path in sorted(glob.glob('examples/*.bufr')):\n"
             "    with quorvex.open(path) as f:\n"
             "        for m in f:\n"
             "            assert m.tables_source == 'store', m.tables_source\n"
             "            assert m.to_arrow().num_rows > 0\n"
             "print('ok')\n")
    assert run([python, "-c", check], cwd=work, env=clean_env(QUORVEX_DEFINITIONS="")).strip() == "ok"

    # The console script is installed and lists the examples' messages.
    lines = run([venv / "bin" / "quorvex", "ls", "--json", *sorted((work / "examples").glob("*.bufr"))],
                cwd=work, env=clean_env(QUORVEX_DEFINITIONS="")).splitlines()
    listed = [json.loads(line) for line in lines]
    assert [(m["file"].rsplit("/", 1)[-1], m["message"]) for m in listed] == [
        (path.name, i) for path in sorted((ROOT / "examples").glob("*.bufr"))
        for i in range(len(_quorvex.parse_all_file(str(path))))]

    # A user's mypy finds the types of the installed package and of _quorvex (stub package).
    if importlib.util.find_spec("mypy") is not None:
        typed = work / "typed.py"
        typed.write_text("import _quorvex\nimport quorvex\n"
                         "edition: str = _quorvex.parse_file('examples/synop_wigos.bufr').edition\n")
        result = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--python-executable", python, typed],
                                cwd=work, capture_output=True, text=True)
        assert "Cannot find implementation" not in result.stdout, result.stdout
        assert 'expression has type "int", variable has type "str"' in result.stdout, result.stdout
