"""Engine registry, in report order."""

from .base import ALL_FEATURES, Engine
from .corvalex_engine import CorvalexEngine
from .duckdb_engine import DuckDBEngine
from .ducks_engine import DucksEngine
from .littletable_engine import LittletableEngine
from .pandas_engine import PandasEngine
from .pyindex import PyIndexEngine
from .scan import ScanEngine
from .sqlite import SqliteEngine

ENGINES = {e.name: e for e in (
    CorvalexEngine, PyIndexEngine, ScanEngine, SqliteEngine,
    PandasEngine, DuckDBEngine, DucksEngine, LittletableEngine,
)}

__all__ = ["ALL_FEATURES", "ENGINES", "Engine"]
