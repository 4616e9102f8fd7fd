__path__ = __import__("pkgutil").extend_path(__path__, __name__)

# quorvex: BUFR (WMO FM-94) decoding for Python.
from _quorvex import TableSet

__all__ = ["TableSet"]
