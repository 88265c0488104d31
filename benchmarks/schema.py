"""What an engine needs to know about a workload's objects to index them.

Every workload has items, each holding one nested object (or None) in its
reference attribute; the nested objects carry ``oid``, their position in the
workload's list of them.  Column kinds tell the table engines how to store
an attribute:

  category  a string with few distinct values (a pandas categorical)
  str       any other string
  int       an int (int64)
  int8      a small int (pandas stores it as int8)
  float     a float (float64)

``missing`` lists the attributes (and dotted paths) that may hold NaN or
None, or, for the reference, None instead of a nested object.  Engines that
would otherwise mishandle those values (SQL's NULL under NOT, a sorted key
list, a B-tree) treat them by the rules in ``queries.matches``.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from operator import attrgetter


def tuple_getter(names):
    """``attrgetter`` that returns a tuple even for a single name."""
    names = tuple(names)
    if len(names) == 1:
        get = attrgetter(names[0])
        return lambda o: (get(o),)
    return attrgetter(*names)


@dataclass(frozen=True)
class WriteRow:
    """A timed row of writes: ``attr`` set on a share of the items."""
    key: str
    attr: str
    label: str


@dataclass(frozen=True)
class Schema:
    name: str
    columns: dict                 # item attribute -> kind (the reference excluded)
    ref: str                      # item attribute holding the nested object
    ref_table: str                # SQL table of the nested objects
    ref_columns: dict             # nested attribute -> kind
    write_rows: tuple             # WriteRow, in report order
    missing: frozenset = frozenset()
    categories: dict = field(default_factory=dict)  # attr -> every value it may take

    @property
    def attrs(self) -> tuple:
        """Every indexed item attribute, the reference last."""
        return (*self.columns, self.ref)

    def may_be_missing(self, path: str) -> bool:
        """Whether ``path`` (an attribute or ``ref.attr``) may be NaN or None."""
        return path in self.missing or path.split(".", 1)[0] in self.missing

    def ref_ids(self, items) -> list:
        """The position of each item's nested object (None where it has none)."""
        if self.ref not in self.missing:
            return list(map(attrgetter(f"{self.ref}.oid"), items))
        get = attrgetter(self.ref)
        return [None if r is None else r.oid for r in map(get, items)]
