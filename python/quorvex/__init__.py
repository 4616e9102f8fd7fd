"""quorvex: BUFR (WMO FM-94) messages decoded into Apache Arrow tables and pandas DataFrames."""

__path__ = __import__("pkgutil").extend_path(__path__, __name__)

from quorvex._engine import TableSet
from quorvex._arrow import iter_batches, read_arrow
from quorvex._errors import BadMessageError, BadMessageWarning
from quorvex._file import BufrFile, Message, open
from quorvex._frame import read_dataframe

__all__ = ["BadMessageError", "BadMessageWarning", "BufrFile", "Message", "TableSet", "iter_batches", "open",
           "read_arrow", "read_dataframe"]
