"""Seeded workload: N items, each with an owner drawn from 1,000 owners.

Column data is generated once; every engine then gets its *own* fresh object
list built from it (``make_plain`` / ``make_indexable``), so attribute writes
made through one engine never leak into another engine's objects.

Plain objects (used by every peer) are ``__slots__`` instances, the cheapest
and fastest attribute containers Python offers.  They carry ``seq``, their
construction position, which peers use to return results in construction
order; Corvalex objects have no such attribute (they are ordered by their own
ids).
"""

from __future__ import annotations

import random
from dataclasses import dataclass, field

from .queries import build_queries
from .schema import Schema, WriteRow

COLOURS = ("red", "green", "blue", "yellow", "black",
           "white", "purple", "orange", "grey", "brown")
N_OWNERS = 1000
SIZE_RANGE = 1000  # size is an int in [0, SIZE_RANGE)

SCHEMA = Schema(
    name="synthetic",
    columns={"colour": "category", "size": "int", "price": "float", "name": "str",
             "flag": "int8"},
    ref="owner",
    ref_table="owners",
    ref_columns={"name": "str", "age": "int"},
    write_rows=(WriteRow("writes", "size", "write `size` (int) on 10% of objects, per write"),
                WriteRow("writes_str", "colour",
                         "write `colour` (str) on 10% of objects, per write")),
    categories={"colour": COLOURS},
)
ATTRS = SCHEMA.attrs
# Attributes the write rows assign: one numeric, one string.
WRITE_ATTRS = tuple(row.attr for row in SCHEMA.write_rows)


class Owner:
    __slots__ = ("name", "age", "oid")

    def __init__(self, name, age, oid):
        self.name = name
        self.age = age
        self.oid = oid

    # ducks requires indexed values to be orderable.
    def __lt__(self, other):
        return self.oid < other.oid

    def __repr__(self):
        return f"Owner({self.name!r}, age={self.age})"


class Item:
    __slots__ = ("colour", "size", "price", "name", "flag", "owner", "seq")

    def __init__(self, colour, size, price, name, flag, owner, seq):
        self.colour = colour
        self.size = size
        self.price = price
        self.name = name
        self.flag = flag
        self.owner = owner
        self.seq = seq

    def __repr__(self):
        return (f"Item(seq={self.seq}, colour={self.colour!r}, size={self.size}, "
                f"price={self.price}, name={self.name!r}, flag={self.flag})")


@dataclass
class Workload:
    n: int
    seed: int
    colour: list = field(repr=False)
    size: list = field(repr=False)
    price: list = field(repr=False)
    name: list = field(repr=False)
    flag: list = field(repr=False)
    owner: list = field(repr=False)       # owner position 0..N_OWNERS-1
    owner_name: list = field(repr=False)
    owner_age: list = field(repr=False)

    schema = SCHEMA

    def queries(self):
        return build_queries(self)

    def write_batch(self, round_no: int, attr: str = "size") -> WriteBatch:
        return write_batch(self, round_no, attr=attr)

    def columns(self):
        return {a: getattr(self, a) for a in ATTRS}

    def make_plain(self):
        """Return (items, owners) as fresh plain Python objects."""
        owners = [Owner(nm, age, i)
                  for i, (nm, age) in enumerate(zip(self.owner_name, self.owner_age))]
        items = [Item(c, s, p, nm, f, owners[o], i)
                 for i, (c, s, p, nm, f, o) in enumerate(zip(
                     self.colour, self.size, self.price, self.name, self.flag, self.owner))]
        return items, owners

    def make_indexable(self, module):
        """Return (items, owners) as fresh ``module.Indexable`` objects.

        Owners are constructed first, then the items in workload order, so the
        items' ids ascend in workload order.
        """
        ind = module.Indexable
        owners = [ind(name=nm, age=age)
                  for nm, age in zip(self.owner_name, self.owner_age)]
        items = [ind(colour=c, size=s, price=p, name=nm, flag=f, owner=owners[o])
                 for c, s, p, nm, f, o in zip(
                     self.colour, self.size, self.price, self.name, self.flag, self.owner)]
        return items, owners


def generate(n: int, seed: int = 42) -> Workload:
    rng = random.Random(seed)
    owner_name = [f"owner-{i:04d}" for i in range(N_OWNERS)]
    owner_age = [rng.randint(18, 90) for _ in range(N_OWNERS)]
    rnd = rng.random
    colour = [COLOURS[int(rnd() * len(COLOURS))] for _ in range(n)]
    size = [int(rnd() * SIZE_RANGE) for _ in range(n)]
    price = [round(rnd() * 1000.0, 2) for _ in range(n)]
    # Mostly unique: drawn from 4n possible names, so ~88% are unique.
    space = max(4 * n, 16)
    name = [f"nm-{int(rnd() * space):x}" for _ in range(n)]
    flag = [1 if rnd() < 0.5 else 0 for _ in range(n)]
    owner = [int(rnd() * N_OWNERS) for _ in range(n)]
    return Workload(n, seed, colour, size, price, name, flag, owner, owner_name, owner_age)


@dataclass
class WriteBatch:
    """Set ``attr`` of the items at ``positions`` to ``values``."""
    attr: str
    positions: list
    values: list


def write_batch(workload: Workload, round_no: int, fraction: float = 0.10,
                attr: str = "size") -> WriteBatch:
    """A deterministic batch of writes of ``attr`` (``size``: a new int;
    ``colour``: one of the colours, possibly the current one) on
    ``fraction`` of the items."""
    salt = WRITE_ATTRS.index(attr)
    rng = random.Random(workload.seed * 1_000_003 + round_no + salt * 7_919)
    k = max(1, int(workload.n * fraction))
    positions = rng.sample(range(workload.n), k)
    if attr == "size":
        values = [rng.randrange(SIZE_RANGE) for _ in range(k)]
    else:
        values = [COLOURS[rng.randrange(len(COLOURS))] for _ in range(k)]
    return WriteBatch(attr, positions, values)
