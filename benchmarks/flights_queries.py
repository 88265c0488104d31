"""The flights workload's queries: what one asks of a year of departures.

Together they use every operator of the query language (keyword lookups of
one and several values, ==, !=, <, <=, >, >=, closed ranges, in, and, or,
not, and dotted paths into the planes), on attributes that hold NaN and
through flights that have no plane.  Shares are of the full table.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

from .queries import And, Between, Cmp, Eq, In, Not, Or, expr_query, keyword_query

if TYPE_CHECKING:
    from .flights import Flights

WEST_COAST = ["LAX", "SFO", "SEA", "PDX", "SAN"]
SUMMER = (6, 7, 8)


def _a_tailnum(w: Flights) -> str:
    """The tail number of the first flight from the middle on that has one."""
    tails = w.columns["tailnum"]
    return next(t for t in tails[w.n // 2:] + tails if t is not None)


def build_flight_queries(w: Flights) -> list:
    tailnum = _a_tailnum(w)
    return [
        # -- keyword lookups ------------------------------------------------
        keyword_query("tailnum_eq", f"tailnum = '{tailnum}' (one plane's flights)",
                      {"tailnum": tailnum}),
        keyword_query("carrier_eq", "carrier = 'UA' (~17%)", {"carrier": "UA"}),
        keyword_query("route", "origin = 'JFK' and dest = 'LAX' (~3%)",
                      {"origin": "JFK", "dest": "LAX"}),
        keyword_query("dest_in", "dest in 5 West Coast airports (~11%)", {"dest": WEST_COAST}),
        # -- ranges over columns with NaN (cancelled flights) ----------------
        expr_query("dep_delay_gt", "dep_delay > 300 (open, ~0.2%)",
                   Cmp("dep_delay", ">", 300.0), ("range",)),
        expr_query("arr_delay_le", "arr_delay <= -70 (open, 17 flights)",
                   Cmp("arr_delay", "<=", -70.0), ("range",)),
        expr_query("distance_between", "1000 <= distance <= 1200 (closed, ~17%)",
                   Between("distance", 1000, 1200), ("range",)),
        # -- boolean combinations --------------------------------------------
        expr_query("summer_late", "month in (6, 7, 8) and dep_delay >= 60 (~3%)",
                   And((In("month", SUMMER), Cmp("dep_delay", ">=", 60.0))),
                   ("range", "boolean")),
        expr_query("very_late_or", "dep_delay > 180 or arr_delay > 180 (~1.3%)",
                   Or((Cmp("dep_delay", ">", 180.0), Cmp("arr_delay", ">", 180.0))),
                   ("range", "boolean")),
        expr_query("ewr_not_late", "origin = 'EWR' and not arr_delay > 0 (NaN included, ~21%)",
                   And((Eq("origin", "EWR"), Not(Cmp("arr_delay", ">", 0.0)))),
                   ("range", "boolean")),
        expr_query("bos_not_on_time", "dest = 'BOS' and dep_delay != 0 (NaN included, ~4%)",
                   And((Eq("dest", "BOS"), Cmp("dep_delay", "!=", 0.0))),
                   ("range", "boolean")),
        # -- dotted paths into the planes ------------------------------------
        expr_query("airbus_long", "plane.manufacturer = 'AIRBUS' and distance >= 2000 (~4%)",
                   And((Eq("plane.manufacturer", "AIRBUS"), Cmp("distance", ">=", 2000))),
                   ("range", "boolean", "dotted")),
        expr_query("old_planes", "plane.year < 1990 (dotted, NaN years, ~4%)",
                   Cmp("plane.year", "<", 1990.0), ("range", "dotted")),
        expr_query("aa_not_boeing", "carrier = 'AA' and not plane.manufacturer = 'BOEING' "
                   "(flights without a plane included, ~8%)",
                   And((Eq("carrier", "AA"), Not(Eq("plane.manufacturer", "BOEING")))),
                   ("boolean", "dotted")),
    ]
