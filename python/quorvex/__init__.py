__path__ = __import__("pkgutil").extend_path(__path__, __name__)

"""quorvex: BUFR (WMO FM-94) messages decoded into Apache Arrow tables and pandas DataFrames."""

from quorvex._engine import TableSet
from quorvex._arrow import BadMessageWarning, iter_batches, read_arrow
from quorvex._file import BufrFile, Message, open
from quorvex._frame import read_dataframe

__all__ = ["BadMessageWarning", "BufrFile", "Message", "TableSet", "iter_batches", "open", "read_arrow",
           "read_dataframe"]
