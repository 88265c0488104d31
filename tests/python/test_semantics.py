"""Behaviours that the model test does not reach: dotted paths through
values that change or refer back, unions meeting objects stored later, and
every kind of condition as a later operand of an and_."""

import pytest

from Corvalex import Index, Indexable
from Corvalex import PyQueryExpr as Q


def test_dotted_paths_see_the_snapshot_stored_with_the_value():
    bob, ann = Indexable(name="bob", age=40), Indexable(name="ann", age=25.5)
    apple, banana, date = Indexable(owner=bob), Indexable(owner=ann), Indexable(owner=bob)
    index = Index()
    index.add_object_many([apple, banana, date])

    def got(expr):
        return index.reduced_query(expr).collect()

    assert got(Q.bt("owner.age", 25, 26)) == got(Q.in_("owner.name", ["ann", "x"])) == [banana]
    bob.name = "carol"  # writes to a stored value are not seen through paths
    assert got(Q.eq("owner.name", "bob")) == [apple, date] and got(Q.eq("owner.name", "carol")) == []
    apple.owner = ann  # apple no longer holds bob
    assert got(Q.eq("owner.name", "bob")) == [date] and got(Q.eq("owner.name", "ann")) == [apple, banana]
    date.owner = Indexable(name="eve")  # a value new to the index, written over an old one
    assert got(Q.eq("owner.name", "eve")) == [date]
    with pytest.raises(NotImplementedError, match="^not yet implemented$"):
        index.reduced_query(Q.le("owner.age", Indexable()))


def test_an_and_keeps_what_every_operand_matches_whatever_the_operand():
    owners = [Indexable(age=a) for a in (20, 60)]
    objects = [Indexable(a=a, b=b, owner=o) for a in (1, 2) for b in (1, 2) for o in owners]
    index = Index()
    index.add_object_many(objects)
    view = index.reduced_query(Q.ne("b", 2))  # a universe smaller than the index
    later = {
        "eq": (Q.eq("b", 1), lambda o: o.b == 1),
        "ne": (Q.ne("b", 1), lambda o: o.b != 1),
        "in": (Q.in_("b", [1]), lambda o: o.b == 1),
        "range": (Q.lt("b", 2), lambda o: o.b < 2),
        "not": (Q.not_(Q.eq("b", 1)), lambda o: o.b != 1),
        "and": (Q.and_(Q.eq("b", 1)), lambda o: o.b == 1),
        "or": (Q.or_(Q.eq("b", 1)), lambda o: o.b == 1),
        "dotted eq": (Q.eq("owner.age", 60), lambda o: o.owner.age == 60),
        "dotted range": (Q.gt("owner.age", 30), lambda o: o.owner.age > 30),
    }
    for name, (expr, test) in later.items():
        for target, within in ((index, objects), (view, [o for o in objects if o.b != 2])):
            got = target.reduced_query(Q.and_(Q.gt("a", 1), expr)).collect()
            assert got == [o for o in within if o.a > 1 and test(o)], name


def test_what_a_union_carries():
    """The sets of names and values only the other index has, for objects
    both store; nothing of objects stored later: writes made before this
    index stored them never reached it."""
    shared = Indexable(a=7, _p=8)
    index = Index()
    index.add_object(shared)
    index.union_with(index.reduced(a=7).rebase())  # the copy indexes `_p` too
    assert index.get_by_attribute(_p=8) == [shared]
    obj, mine = Indexable(a=1), Indexable(a=5)
    other, index, middle = Index(), Index(), Index()
    other.add_object(obj)
    index.add_object(mine)
    index.union_with(other)
    obj.a = 2
    index.add_object(obj)
    assert index.get_by_attribute(a=1) == [] and index.get_by_attribute(a=2) == [obj]
    middle.add_object(mine)  # nor through a chain: `middle` misses obj's writes
    middle.union_with(other)
    obj.a = 3
    index.union_with(middle)
    assert index.get_by_attribute(a=[1, 2]) == [] and index.get_by_attribute(a=3) == [obj]


def link(objects):
    a, b = objects
    a.me, a.next, b.next = a, b, a


def stored(how, objects):
    """An index of `objects`, which refer back to each other by then."""
    index = Index()
    if how == "write":  # stored first, linked by writes afterwards
        index.add_object_many(objects)
        link(objects)
        return index
    link(objects)
    if how == "add_object":
        for obj in objects:
            index.add_object(obj)
    else:
        index.add_object_many(objects)
    return index.reduced(n=[1, 2]).rebase() if how == "rebase" else index


@pytest.mark.parametrize("how", ["add_object", "add_object_many", "write", "rebase"])
def test_paths_through_values_that_refer_back_to_their_holders(how):
    a, b = Indexable(n=1), Indexable(n=2)
    index = stored(how, [a, b])

    def got(path, value):
        return index.reduced_query(Q.eq(path, value)).collect()

    # One step back into the holder sees its attributes; a chain that would
    # repeat an object is cut there.
    assert got("me.n", 1) == [a] and got("next.next.n", 2) == [b]
    assert got("next.next.next.n", 2) == got("me.me.n", 1) == got("me.next.next.n", 1) == []
    if how == "write":
        # Each snapshot is taken before its write: `me` was not yet stored
        # when `a.me = a` ran, nor `b.next` when `a.next = b` did.
        assert got("me.me", a) == got("next.next.n", 1) == []
    else:  # objects that already referred back when they were stored
        assert got("me.me", a) == [a] and got("next.next.n", 1) == [a]
    assert index.get_by_attribute(next=b) == [a] and index.get_by_attribute(me=a) == [a]


def test_values_that_refer_back_through_derived_indexes():
    a, b = Indexable(n=1), Indexable(n=2)
    link([a, b])
    index = Index()
    index.add_object_many([a, b])
    copy = index.reduced(n=[1, 2]).rebase()  # both objects are registered in the copy
    assert copy.get_by_attribute(next=a) == [b]
    index.reduce(me=a)
    assert index.get_by_attribute(next=b) == [a] and index.get_by_attribute(n=2) == []
    index.union_with(copy)
    assert index.get_by_attribute(n=2) == [b]
    b.next = b
    assert index.get_by_attribute(next=b) == [a, b] and copy.get_by_attribute(next=a) == []


def test_reduce_enters_the_kept_objects_attributes_again():
    a, c = Indexable(colour="red", size=1), Indexable(colour="red", size=2)
    index = Index()
    index.add_object_many([a, c])
    index.reduce(size=2)  # a loses its entries
    a.tag = "x"  # a write enters `tag` only
    index.reduce(tag="x")  # a's current attributes return
    assert index.get_by_attribute(colour="red") == index.get_by_attribute(size=1) == [a]


def test_a_repeated_keyword_lookup_follows_maps_that_go_and_come_back():
    # A one-keyword lookup remembers its attribute's map between calls; each
    # step here frees or makes maps between two lookups of the same keyword.
    a, b = Indexable(tag=1), Indexable(other=5)
    index = Index()
    index.add_object_many([a, b])

    def tag(value):
        return index.get_by_attribute(tag=value)

    assert tag(1) == [a]
    index.reduce(other=5)  # the tag map goes with a
    assert tag(1) == []
    b.fresh = 7  # a new map, where the tag map may have been
    assert tag(7) == [] and index.get_by_attribute(fresh=7) == [b]
    b.tag = 1
    assert tag(1) == [b]
    b.tag = 2  # emptied and made again
    assert tag(1) == [] and tag(2) == [b]
    assert Index().get_by_attribute(tag=2) == [] and tag(2) == [b]
