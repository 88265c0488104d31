"""Every call of the module as a typed program writes it.

Checked by `mypy --strict` against the installed stubs, and run, so that the
types the stubs promise are the types the module returns.
"""

from typing import assert_type

import Corvalex
from Corvalex import FilteredIndex, Index, Indexable, PyQueryExpr, sum_as_string


class Part(Indexable):
    name: str
    mass: float

    def heavier_than(self, limit: float) -> bool:
        return self.mass > limit


def main() -> None:
    assert_type(sum_as_string(2, 3), str)
    assert Corvalex.__all__ == ["sum_as_string", "Index", "Indexable", "FilteredIndex", "PyQueryExpr"]

    bolt = Part(name="bolt", mass=2.5)
    nut = Part(name="nut", mass=1.0)
    plain = Indexable(kind="plain", tags=("a", "b"))
    assert_type(bolt.name, str)
    assert plain.kind == "plain"  # attributes not declared read as Any
    bolt.mass = 3.0
    assert bolt.heavier_than(2.0)
    assert "kind" in dir(plain)

    index = Index()
    assert_type(index.add_object(bolt), None)
    index.add_object_many([nut, plain])
    index.add_object_many((bolt,))
    found = index.get_by_attribute(name="bolt", mass=[3.0, 4.0])
    assert_type(found, list[Indexable])
    assert found == [bolt]
    assert_type(index.collect(), list[Indexable])

    q = PyQueryExpr
    light = q.and_(q.lt("mass", 2.0), q.not_(q.eq("name", "bolt")), q.ne("kind", "plain"))
    assert_type(light, PyQueryExpr)
    either = q.or_(q.ge("mass", 3), q.le("mass", 0), q.gt("mass", 10), q.bt("mass", 0.5, 1.5))
    in_names = q.in_("name", ["nut", "washer"])
    assert isinstance(repr(either), str)

    view = index.reduced_query(light)
    assert_type(view, FilteredIndex)
    assert view.collect() == [nut]
    narrowed = index.reduced(mass=[1.0, 3.0]).reduced(name="nut").reduced_query(in_names)
    assert_type(narrowed, FilteredIndex)
    rebased = narrowed.rebase()
    assert_type(rebased, Index)
    assert rebased.collect() == [nut]

    assert_type(index.reduce(name="bolt"), None)
    assert_type(index.union_with(rebased), None)
    assert index.get_by_attribute(name="nut") == [nut]


if __name__ == "__main__":
    main()
