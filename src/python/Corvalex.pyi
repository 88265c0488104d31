"""Index Python objects by the values of their attributes and select them with compressed bitmaps."""

from collections.abc import Sequence
from typing import Any, SupportsIndex, final

from typing_extensions import disjoint_base

__all__ = ["sum_as_string", "Index", "Indexable", "FilteredIndex", "PyQueryExpr"]

def sum_as_string(a: SupportsIndex, b: SupportsIndex) -> str:
    """Formats the sum of two numbers as string."""

@disjoint_base
class Indexable:
    """An object whose attributes are captured when assigned and kept up to date in every index holding it.

    Subclass it freely. Attributes are given as keywords to the constructor
    and may be read, written and deleted like those of any object.
    """

    def __init__(self, *_args: object, **kwargs: object) -> None: ...
    def __getattribute__(self, name: str, /) -> Any: ...
    def __setattr__(self, name: str, value: object, /) -> None: ...
    def __dir__(self) -> list[str]: ...

@final
class Index:
    """Indexable objects, indexed by every attribute whose name does not begin with `_`."""

    def __init__(self) -> None: ...
    def add_object(self, py_ref: Indexable) -> None: ...
    def add_object_many(self, objs: Sequence[Indexable]) -> None: ...
    def get_by_attribute(self, **kwargs: object) -> list[Indexable]:
        """The objects matching every keyword; a non-`str` iterable value means "any of"."""
    def collect(self) -> list[Indexable]:
        """Every stored object, in ascending id order."""
    def reduced(self, **kwargs: object) -> FilteredIndex:
        """A view of the objects matching the keywords."""
    def reduced_query(self, query: PyQueryExpr) -> FilteredIndex:
        """A view of the objects matching the expression."""
    def reduce(self, **kwargs: object) -> None:
        """Narrows the keyword lookups of this index to the objects matching the keywords."""
    def union_with(self, other: Index) -> None:
        """Adds the other index's per-value id sets into this index's."""

@final
class FilteredIndex:
    """A fixed set of ids over the live tables of an index; made by `reduced` and `reduced_query`."""

    def collect(self) -> list[Indexable]: ...
    def reduced(self, **kwargs: object) -> FilteredIndex: ...
    def reduced_query(self, query: PyQueryExpr) -> FilteredIndex: ...
    def rebase(self) -> Index:
        """A new, independent index of this view's objects."""

@final
class PyQueryExpr:
    """A query expression, built with the static methods and evaluated by `reduced_query`."""

    @staticmethod
    def eq(attr: str, value: object) -> PyQueryExpr: ...
    @staticmethod
    def ne(attr: str, value: object) -> PyQueryExpr: ...
    @staticmethod
    def gt(attr: str, value: object) -> PyQueryExpr: ...
    @staticmethod
    def ge(attr: str, value: object) -> PyQueryExpr: ...
    @staticmethod
    def le(attr: str, value: object) -> PyQueryExpr: ...
    @staticmethod
    def bt(attr: str, lower: object, upper: object) -> PyQueryExpr:
        """Between `lower` and `upper`, both ends included."""
    @staticmethod
    def lt(attr: str, value: object) -> PyQueryExpr: ...
    @staticmethod
    def in_(attr: str, values: Sequence[object]) -> PyQueryExpr: ...
    @staticmethod
    def and_(*exprs: PyQueryExpr) -> PyQueryExpr: ...
    @staticmethod
    def or_(*exprs: PyQueryExpr) -> PyQueryExpr: ...
    @staticmethod
    def not_(exprs: PyQueryExpr) -> PyQueryExpr: ...
