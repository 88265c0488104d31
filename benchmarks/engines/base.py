"""The interface every engine implements."""

from __future__ import annotations

import importlib
from operator import attrgetter
from typing import Callable, Optional

ALL_FEATURES = frozenset({"keyword", "object_values", "range", "boolean", "dotted", "writes"})


class Engine:
    #: short name used on the command line and in reports
    name = ""
    #: one-line description for reports
    label = ""
    #: "plain" (workload.Item objects) or "indexable" (Corvalex.Indexable)
    object_kind = "plain"
    #: importable modules this engine needs
    packages: tuple = ()

    def __init__(self, schema):
        #: the workload's attributes and how to store them (``schema.Schema``)
        self.schema = schema

    @classmethod
    def unavailable_reason(cls) -> Optional[str]:
        """None when usable, otherwise a short note why the engine is skipped."""
        for pkg in cls.packages:
            try:
                importlib.import_module(pkg)
            except Exception as exc:  # ImportError, or a broken binary wheel
                return f"package '{pkg}' not importable ({type(exc).__name__}: {exc})"
        return None

    def features(self) -> frozenset:
        return ALL_FEATURES

    def version(self) -> str:
        if not self.packages:
            import platform
            return f"Python {platform.python_version()}"
        out = []
        for pkg in self.packages:
            mod = importlib.import_module(pkg)
            ver = getattr(mod, "__version__", None)
            if ver is None:
                try:
                    from importlib.metadata import version
                    ver = version(pkg)
                except Exception:
                    ver = "?"
            out.append(f"{pkg} {ver}")
        return ", ".join(out)

    # -- lifecycle -----------------------------------------------------------
    def build(self, items: list, owners: list) -> None:
        """Index ``items`` (owners are the objects their ``owner`` refers to)."""
        raise NotImplementedError

    def prepare(self, query) -> Callable[[], list]:
        """Translate ``query`` once; the returned callable runs it and returns
        the matching objects as a list in construction order."""
        raise NotImplementedError

    def write(self, batch) -> None:
        """Apply ``batch``: set the attribute on the objects and keep the
        engine's index in sync."""
        raise NotImplementedError

    def close(self) -> None:
        """Drop the index so it can be garbage-collected (objects stay)."""


_SEQ = attrgetter("seq")
