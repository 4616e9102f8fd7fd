"""quorvex: BUFR (WMO FM-94) messages decoded into Apache Arrow tables and pandas DataFrames."""

__path__ = __import__("pkgutil").extend_path(__path__, __name__)

from importlib import metadata as _metadata

from quorvex._arrow import iter_batches, read_arrow
from quorvex._engine import TableSet
from quorvex._errors import BadMessageError, BadMessageWarning, NoMessageError, NoMessageWarning
from quorvex._file import BufrFile, Message, open
from quorvex._frame import read_dataframe
from quorvex._value import Value
from quorvex._write import write_bufr

try:
    __version__ = _metadata.version("quorvex")
except _metadata.PackageNotFoundError:  # run from a source tree that was never installed
    __version__ = "0+unknown"

__all__ = ["BadMessageError", "BadMessageWarning", "BufrFile", "Message", "NoMessageError", "NoMessageWarning",
           "TableSet", "Value", "iter_batches", "open", "read_arrow", "read_dataframe", "write_bufr"]
