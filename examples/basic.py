"""A short tour: index a few objects by their attributes and look them up,
then time one lookup on many objects against a list comprehension.

Run with: scripts/run-example.sh [--objects N]
"""

import argparse
import statistics
import time

import Corvalex
from Corvalex import Index, Indexable, PyQueryExpr


class Fruit(Indexable):
    """Any subclass of Indexable can be indexed; its attributes are captured."""

    def describe(self) -> str:
        return f"{self.name} ({self.colour}, {self.weight} g)"


def tour() -> None:
    basket = [
        Fruit(name="apple", colour="red", weight=180),
        Fruit(name="banana", colour="yellow", weight=120),
        Fruit(name="cherry", colour="red", weight=8),
        Fruit(name="lemon", colour="yellow", weight=95),
        Fruit(name="lime", colour="green", weight=60),
    ]
    for fruit in basket:
        print(fruit.describe(), fruit)

    basket[4].weight = 65  # attributes read and write like ordinary ones
    print("lime now weighs", basket[4].weight, "g")
    print("Corvalex exports", Corvalex.__all__)

    index = Index()
    index.add_object_many(basket)
    red = index.get_by_attribute(colour="red")
    print("red:", [fruit.name for fruit in red])
    red_or_green = index.get_by_attribute(colour=["red", "green"])
    print("red or green:", [fruit.name for fruit in red_or_green])
    print("yellow and 95 g:", [f.name for f in index.get_by_attribute(colour="yellow", weight=95)])
    print("everything:", [fruit.name for fruit in index.collect()])

    # Writing an attribute moves the object in every index that holds it.
    basket[1].colour = "brown"
    print("yellow after the banana browned:", [f.name for f in index.get_by_attribute(colour="yellow")])
    print("brown:", [f.name for f in index.get_by_attribute(colour="brown")])

    # Values that are themselves indexable objects can be matched too.
    tree = Indexable(name="old apple tree", planted=1998)
    basket[0].grown_on = tree
    print("grown on the old tree:", [f.name for f in index.get_by_attribute(grown_on=tree)])

    # Query expressions: ranges, boolean trees with negation, dotted paths.
    Q = PyQueryExpr
    medium = index.reduced_query(Q.bt("weight", 60, 150))
    print("60 to 150 g:", [f.name for f in medium.collect()])
    not_red_but_heavy = Q.and_(Q.gt("weight", 50), Q.not_(Q.eq("colour", "red")))
    print("over 50 g and not red:", [f.name for f in index.reduced_query(not_red_but_heavy).collect()])
    print("expression:", Q.not_(Q.eq("colour", "red")))
    old_trees = index.reduced_query(Q.lt("grown_on.planted", 2000))
    print("grown on a tree planted before 2000:", [f.name for f in old_trees.collect()])

    # A view keeps a fixed set of ids over the index's live tables, and can be
    # narrowed further by keywords or expressions.
    red_view = index.reduced(colour="red")
    print("red view:", [fruit.name for fruit in red_view.collect()])
    print("red and under 100 g:", [f.name for f in red_view.reduced_query(Q.lt("weight", 100)).collect()])
    print("60 to 150 g and green:", [f.name for f in medium.reduced(colour="green").collect()])

    # A view can be rebased into an index of its
    # own that follows later attribute writes of its objects.
    light = index.reduced(colour=["red", "green", "brown"]).reduced(weight=[8, 65, 120])
    print("narrowed twice:", [fruit.name for fruit in light.collect()])
    light_index = light.rebase()
    basket[2].weight = 9
    print("rebased, 9 g:", [f.name for f in light_index.get_by_attribute(weight=9)])

    # `reduce` narrows the index itself: lookups find only the kept
    # objects, though every object stays stored. A union with a copy
    # rebased beforehand puts the lookups back.
    copy = index.reduced(colour=["red", "yellow", "green", "brown"]).rebase()
    index.reduce(colour="red")
    print("after reduce, green:", [f.name for f in index.get_by_attribute(colour="green")])
    print("after reduce, stored:", [fruit.name for fruit in index.collect()])
    index.union_with(copy)
    print("after union, green:", [f.name for f in index.get_by_attribute(colour="green")])


def timing(count: int) -> None:
    """One query on `count` objects, against the list comprehension doing the same."""
    colours = ("red", "green", "yellow", "brown", "black")
    objects: list[Indexable] = []
    index = Index()
    step = max(count // 20, 1)
    started = time.perf_counter()
    for first in range(0, count, step):
        chunk = [
            Fruit(name=f"fruit {i}", colour=colours[i % 5], weight=i % 997)
            for i in range(first, min(first + step, count))
        ]
        index.add_object_many(chunk)
        objects.extend(chunk)
        print(f"\rbuilding: {len(objects):,} of {count:,} objects", end="", flush=True)
    print(f"\rbuilt and indexed {count:,} objects in {time.perf_counter() - started:.1f} s")

    Q = PyQueryExpr
    query = Q.and_(Q.bt("weight", 100, 109), Q.eq("colour", "red"))

    def by_index() -> list[Indexable]:
        return index.reduced_query(query).collect()

    def by_scan() -> list[Indexable]:
        return [f for f in objects if 100 <= f.weight <= 109 and f.colour == "red"]

    assert by_index() == by_scan()
    for name, run in (("list comprehension", by_scan), ("Corvalex", by_index)):
        times = []
        for _ in range(5):
            start = time.perf_counter()
            found = run()
            times.append(time.perf_counter() - start)
        print(f"{name}: {len(found):,} red objects of 100 to 109 g "
              f"in {statistics.median(times) * 1000:.2f} ms")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--objects", type=int, default=1_000_000,
                        help="how many objects the timing indexes (default 1,000,000)")
    tour()
    timing(parser.parse_args().objects)


if __name__ == "__main__":
    main()
