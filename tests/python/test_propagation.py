"""Attribute writes move objects in every index that holds them."""

import gc

from Corvalex import Index, Indexable


def test_write_moves_the_object_to_its_new_value():
    obj, other = Indexable(a=1, b="x"), Indexable(a=1)
    index = Index()
    index.add_object_many([obj, other])
    obj.a = 2
    assert index.get_by_attribute(a=1) == [other]
    assert index.get_by_attribute(a=2) == [obj]
    obj.a = 1.0  # the same value by hash
    assert index.get_by_attribute(a=1) == [obj, other]
    assert index.get_by_attribute(a=2) == []


def test_last_holder_leaving_a_value_and_new_attributes():
    obj = Indexable(a=1)
    index = Index()
    index.add_object(obj)
    obj.a = 2  # value 1 had no other holder: the attribute's map is rebuilt
    obj.c = "new"  # an attribute the object did not have
    assert index.get_by_attribute(a=1) == []
    assert index.get_by_attribute(a=[1, 2]) == [obj]
    assert index.get_by_attribute(c="new", a=2) == [obj]


def test_private_writes_and_unindexed_objects_change_no_index():
    obj, loose = Indexable(a=1), Indexable(a=1)
    index = Index()
    index.add_object(obj)
    obj._secret = 5
    loose.a = 3
    assert index.get_by_attribute(_secret=5) == []
    assert index.get_by_attribute(a=3) == []
    assert index.get_by_attribute(a=1) == [obj]


def test_both_indexes_follow_a_write_and_dead_indexes_are_skipped():
    obj = Indexable(size=1)
    first, second, doomed = Index(), Index(), Index()
    first.add_object(obj)
    second.add_object_many([obj])
    doomed.add_object(obj)
    view = doomed.reduced(size=1)
    del doomed
    gc.collect()
    obj.size = 3
    assert first.get_by_attribute(size=3) == second.get_by_attribute(size=3) == [obj]
    assert first.get_by_attribute(size=1) == []
    assert view.collect() == [obj]  # the view's ids are fixed; its tables no longer change


def test_object_added_twice_is_moved_once():
    obj = Indexable(k="old")
    index = Index()
    index.add_object(obj)
    index.add_object(obj)
    obj.k = "new"
    assert index.get_by_attribute(k="new") == [obj]
    assert index.get_by_attribute(k="old") == []
    assert index.collect() == [obj]


def test_indexable_values_including_the_object_itself():
    owner, other_owner = Indexable(name="bob"), Indexable(name="ann")
    pet = Indexable(owner=owner)
    index = Index()
    index.add_object(pet)
    pet.owner = other_owner
    assert index.get_by_attribute(owner=owner) == []
    assert index.get_by_attribute(owner=other_owner) == [pet]
    pet.me = pet  # the object is held exclusively while it is written
    assert index.get_by_attribute(me=pet) == [pet]
    owner.friend = pet  # owner is not indexed; pet refers back through it
    pet.owner = owner
    assert index.get_by_attribute(owner=owner) == [pet]


def test_random_writes_keep_lookups_right():
    import random

    rng = random.Random(7)
    values = [0, 1, 2, 1.0, True, "a", "b", None, (1,), [1], -1, -2, 2.5]
    objs = [Indexable(a=rng.choice(values), b=rng.choice(values)) for _ in range(300)]
    model = {id(o): {"a": o.a, "b": o.b} for o in objs}
    position = {id(o): i for i, o in enumerate(objs)}
    index, other = Index(), Index()
    index.add_object_many(objs)
    other.add_object_many(objs[::2])

    def key(v):
        try:
            return hash(v)
        except TypeError:
            return 0

    for step in range(3000):
        obj = rng.choice(objs)
        name = rng.choice("ab")
        value = rng.choice(values)
        setattr(obj, name, value)
        model[id(obj)][name] = value
        if step % 100 == 0:
            for probe in values:
                for name in "ab":
                    expected = [o for o in objs if key(model[id(o)][name]) == key(probe)]
                    wanted = probe if not isinstance(probe, (tuple, list)) else [probe]
                    assert index.get_by_attribute(**{name: wanted}) == expected
                    in_other = [o for o in expected if position[id(o)] % 2 == 0]
                    assert other.get_by_attribute(**{name: wanted}) == in_other
