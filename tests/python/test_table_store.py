"""The table store in the package: with it alone the corpus's clean messages decode to the
keys and values they have with Debian's ecCodes definitions (a sample here; the whole corpus
is tools/store_tally.py), and the loader reads the irregular rows ecCodes reads."""
import importlib.util
import pathlib

import pytest

import quorvex
from corpus_location import CORPUS
from quorvex import _engine

DEBIAN = "/usr/share/eccodes/definitions"
ROOT = pathlib.Path(__file__).resolve().parents[2]

pytestmark = [pytest.mark.skipif(CORPUS is None, reason="no corpus"),
              pytest.mark.skipif(not pathlib.Path(DEBIAN).is_dir(), reason="no Debian definitions")]


def load_tally():
    location = importlib.util.spec_from_file_location("store_tally", ROOT / "tools" / "store_tally.py")
    module = importlib.util.module_from_spec(location)
    location.loader.exec_module(module)
    return module


# Old master versions (13, with ECMWF's local tables), edition 3 and 4, compressed and not,
# several centres, and the file whose Debian local table has a short row.
SAMPLE = ["raw/pybufrkit/bssh_178.bufr", "raw/pybufrkit/wavb_134.bufr", "raw/pybufrkit/ahws_139.bufr",
          "raw/eccodes-python/sral_sentinel_3a.bufr", "raw/pdbufr/temp_small.bufr", "raw/pdbufr/syn_new.bufr",
          "derived4/pybufrkit/amse_55.bufr", "raw/eccodes-python/terra-modis-aerosol.bufr",
          "raw/pdbufr/ens_multi_subset_compressed.bufr", "raw/csv2bufr/0-454-2-awsbalaka_2021-11-11_1455.bufr",
          "derived4/earthkit-data/temp_10.bufr"]


@pytest.mark.parametrize("name", SAMPLE)
def test_store_alone_decodes_as_the_debian_definitions(monkeypatch, name):
    path = CORPUS / name
    if not path.is_file():
        pytest.skip(f"{name} not in the corpus")
    tally = load_tally()
    offsets = tally.clean_messages(str(CORPUS)).get(name, set())
    assert offsets, f"{name} has no clean message"
    for variable in ("QUORVEX_DEFINITIONS", "ECCODES_DEFINITION_PATH"):
        monkeypatch.delenv(variable, raising=False)
    store, debian = _engine.Tables(None), _engine.Tables(DEBIAN)
    outcomes = list(tally.compare_file(str(path), offsets, store, debian))
    assert len(outcomes) == len(offsets)
    wrong = [o for o in outcomes if o[2] not in ("same", "code meanings differ")]
    assert wrong == []


def test_short_local_rows_decode_with_a_named_root():
    path = CORPUS / "raw/eccodes-python/sral_sentinel_3a.bufr"
    table = quorvex.read_arrow(path, tables=DEBIAN)
    assert 25201 in set(table.column("descriptor").to_pylist())


@pytest.mark.parametrize("code, key", [(10008, "nonCoordinateGeopotential"), (10009, "nonCoordinateGeopotentialHeight"),
                                       (7004, "pressure"), (10004, "nonCoordinatePressure"),
                                       (4024, "timePeriod"), (12101, "airTemperature")])
def test_keys_are_eccodes_names(code, key):
    assert quorvex.TableSet().get_element(code).abbreviation == key
