__path__ = __import__("pkgutil").extend_path(__path__, __name__)

"""quorvex: BUFR (WMO FM-94) messages decoded into Apache Arrow tables."""

from _quorvex import TableSet

from quorvex._arrow import BadMessageWarning, iter_batches, read_arrow

__all__ = ["BadMessageWarning", "TableSet", "iter_batches", "read_arrow"]
